#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class Dialogs;
class MessageConverter;
class RunView;

inline constexpr const char* kConversionRunLocation = "in Quillmark2021/08/31.Form1.PushButton2_Click ";

// The messages of one finished run that produced no TIFF, by file name.
struct RunSummary {
    int messages = 0;
    QStringList failedNames;
};

// "Done.", followed by the count and names of the messages that produced no
// TIFF when there are any, so a failure never reads as success.
QString DoneMessage(const RunSummary& summary);

// "Start Converting": every listed message becomes a TIFF beside the message
// or in the chosen folder. One object lives as long as its window, so a click
// during a run (the run yields to the window) is recognised and ignored.
class ConversionRun {
public:
    // Asks whether to go on when the user's own office application may be
    // open; true means stop.
    using OfficeRunningWarning = std::function<bool(Dialogs&)>;

    ConversionRun(MessageConverter& converter, OfficeRunningWarning warnIfOfficeRunning = {});

    void PushButton2_Click(RunView& view);
    bool IsConverting() const { return m_converting; }

    // What the last run that went through the list found.
    const RunSummary& lastSummary() const { return m_summary; }

private:
    MessageConverter& m_converter;
    OfficeRunningWarning m_warnIfOfficeRunning;
    bool m_converting = false;
    RunSummary m_summary;
};
