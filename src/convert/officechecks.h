#pragma once

class Dialogs;
class OfficeEngine;

// Makes sure a new instance of the office engine can be created. When it
// cannot, shows the advice (OK only, the application title) and returns false:
// the caller ends the program at once. True means start-up goes on.
bool CheckWordCanStart(Dialogs& dialogs, OfficeEngine& engine);

// True when a running instance answers with the name "Microsoft Word".
bool IsWordRunning(OfficeEngine& engine);

// Asks whether to go on when the application is already running. True means
// the run must stop; false means go on.
bool WarnIfWordRunning(Dialogs& dialogs, OfficeEngine& engine);

// The texts shown, joined as the user sees them.
extern const char* const kWordCannotStartAdvice;
extern const char* const kWordRunningPrompt;
