#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class Dialogs;
class MessageConverter;
class RunView;

inline constexpr const char* kConversionRunLocation = "in Quillmark2021/08/31.Form1.PushButton2_Click ";

// A message of a run that produced no TIFF: its file name and why.
struct MessageFailure {
    QString name;
    QString reason;
};

// The messages of one finished run, and those that produced no TIFF.
struct RunSummary {
    int messages = 0;
    QList<MessageFailure> failures;
};

// The closing message lists at most this many failures, then how many more.
inline constexpr int kMostFailuresListed = 20;

// "Done.", followed by the count of the messages that produced no TIFF and
// one line for each with its reason when there are any, so a failure never
// reads as success and the user knows what to put right.
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
