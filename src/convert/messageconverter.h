#pragma once

#include "imagingoptions.h"
#include "workfolder.h"

#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <optional>

class AttachmentPages;
class OfficeEngine;
class ProgressBar;
class StepGuard;

// Where one message's work files go: `<work folder>/<BaseName>.mht` and the
// laid-out pages `.pdf` (rtfPath keeps the run's name for the work document).
// BaseName is the file name without its folder and last extension.
struct WorkPaths {
    QString baseName;
    QString mhtPath;
    QString rtfPath;
};
WorkPaths FormWorkPaths(const QString& messagePath, const QString& workFolder);

// The TIFF for a message: the folder, a separator, BaseName and ".tiff",
// with doubled separators collapsed.
QString OutputPathFor(const QString& messagePath, const QString& folder);

// The output names of one run. A name that this run has already written, or
// that is the message itself, gets " (2)", " (3)" ... before ".tiff", so one
// message never replaces another's result or its own source. Files left by
// earlier runs are replaced.
class OutputNames {
public:
    QString claim(const QString& outputPath, const QString& messagePath) const;
    void markWritten(const QString& outputPath) { m_written.insert(outputPath); }

private:
    QSet<QString> m_written;
};

struct MessageResult {
    bool converted = false;
    // Why no TIFF was made; empty when converted.
    QString reason;
    // The pages of the TIFF made; 0 when none was.
    int pages = 0;
    // The files written: the TIFF, or with one file per page the pages in order.
    QStringList outputPaths = {};
    // The Bates number of the first page, when pages are numbered.
    qint64 firstBatesNumber = 0;
};

// A message laid out but not yet rasterised: the PDFs of its pages (the
// message's own first, then its attachments') and how many pages they hold,
// so that a run can number its pages before any worker stamps them.
struct LaidOutMessage {
    bool laidOut = false;
    QString reason;
    QStringList documents;
    int pages = 0;
};

// The limits of the command line. Without them (the window) a message may
// have any number of pages and the renderer has its fixed time limit.
struct PageLimits {
    // Most pages a message may lay out as; 0 for no limit.
    int mostPages = 0;
    // How long one page may take to load and print; the renderer's limit
    // grows from it with the page count.
    std::chrono::seconds pageTime{60};
};

// How long vexlo may take over `pages` pages at `dpi`: the page time for its
// start and the documents' loading, and a share for each page that grows
// with the square of the resolution.
std::chrono::milliseconds RenderTimeLimit(std::chrono::seconds pageTime, int pages, int dpi);

// Why a message of `pages` pages is refused under `mostPages`; empty when not.
QString PageCountProblem(int pages, int mostPages);

// The steps of one message, shared by the window and the command line:
// delete the old work files, copy the message, write the page with the header
// block, have the page engine lay it out as PDF, and run vexlo on that PDF.
// An earlier TIFF at the output path stays until vexlo puts the complete new
// one in its place, so a failed conversion never costs the user a result. Every step runs under the caller's
// guard with its step number, so a failing step is reported and the next one runs.
class MessageConverter {
public:
    // The renderer's environment names the office host, so vexlo lays out with
    // the engine that is already warm instead of starting its own.
    using EnvironmentSource = std::function<QMap<QString, QString>()>;

    // Each run makes its own work folder inside `workParent`.
    MessageConverter(OfficeEngine& engine, QString vexloPath, QString workParent);

    void setEnvironmentSource(EnvironmentSource source) { m_environment = std::move(source); }
    void setRenderTimeLimit(std::chrono::milliseconds limit) { m_renderTimeLimit = limit; }
    // With a page limit, a message's laid-out pages are counted before any is
    // rasterised, and the renderer's time limit follows their count.
    void setPageLimits(const PageLimits& limits) { m_pageLimits = limits; }
    // Options of the command line; the window keeps the defaults. With Bates
    // numbers, each converted message's pages take the next numbers, so the
    // messages of a run must go through one converter, in order.
    void setImagingOptions(const ImagingOptions& options);
    const ImagingOptions& imagingOptions() const { return m_imaging; }
    qint64 nextBatesNumber() const { return m_nextBatesNumber; }
    // A worker of a run is told each message's first number.
    void setNextBatesNumber(qint64 number) { m_nextBatesNumber = number; }

    const QString& workParent() const { return m_workParent; }
    const QString& vexloPath() const { return m_vexloPath; }

    // Steps 150 to 220. With one file per page, `outputPath` names the
    // message's files: PageFilePath(outputPath, 1), ... `bar`, when given, is the bar the renderer's wait
    // advances; `itemCount` is the list's size for that wait.
    MessageResult convert(StepGuard& guard, const QString& messagePath, const WorkPaths& work,
                          const QString& outputPath, ProgressBar* bar, int itemCount);

    // The two halves of convert() for a run that numbers pages across
    // workers: steps 150 to 214 and the attachments' layout, leaving every
    // work file in the work folder for the caller to remove; then steps 216
    // to 220 with the number of the first page given.
    LaidOutMessage layOut(StepGuard& guard, const QString& messagePath, const WorkPaths& work);
    MessageResult render(StepGuard& guard, const QStringList& documents, const QString& outputPath,
                         qint64 firstBatesNumber, ProgressBar* bar, int itemCount);

private:
    // `pages` is the count of the documents' pages, or 0 when not counted.
    MessageResult renderPages(StepGuard& guard, const QStringList& documents, int pages,
                              const QString& outputPath, qint64 firstBatesNumber, ProgressBar* bar,
                              int itemCount);
    LaidOutMessage layOutSteps(StepGuard& guard, const QString& messagePath, const WorkPaths& work,
                               AttachmentPages& attachmentPages);

    OfficeEngine& m_engine;
    QString m_vexloPath;
    QString m_workParent;
    EnvironmentSource m_environment;
    std::chrono::milliseconds m_renderTimeLimit;
    std::optional<PageLimits> m_pageLimits;
    ImagingOptions m_imaging;
    qint64 m_nextBatesNumber = 0;
};

// The reason to refuse a file before converting it: empty, or binary data
// rather than message text. Empty when the file may be a message.
QString RefusalReason(const QString& path);
