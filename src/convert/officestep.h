#pragma once

#include <QString>

class OfficeEngine;
class StepGuard;

// Has the office engine lay out the page at mhtPath and save its pages as the
// work document at rtfPath (a PDF, whatever the name says: the name is the
// run's, which once saved RTF here): create (step 206), open (208), save
// (210), quit (212). Each
// failing call is reported through the run's guard and the next call still
// runs. Afterwards a file exists at rtfPath exactly when the conversion
// succeeded: the engine writes a temporary file beside it, which is renamed
// into place only once the save went through.
void ConvertPageToRtf(const QString& mhtPath, const QString& rtfPath, StepGuard& guard, OfficeEngine& engine);

// The same with the program's engine.
void ConvertPageToRtf(const QString& mhtPath, const QString& rtfPath, StepGuard& guard);
