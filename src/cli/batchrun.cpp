#include "batchrun.h"

#include "batchinput.h"
#include "mboxreader.h"
#include "messageconverter.h"
#include "opticon.h"
#include "orderedrun.h"
#include "paths.h"
#include "productionrun.h"
#include "runoutput.h"
#include "runreport.h"
#include "workerpool.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QSet>
#include <QTextStream>
#include <QTimer>

#include <atomic>
#include <cmath>
#include <csignal>
#include <optional>

namespace {

QString ResumeKey(const QString& source, const QString& folder, int number)
{
    return source + QLatin1Char('\n') + folder + QLatin1Char('\n') + QString::number(number);
}

// The folders of a store's TIFFs (<store>/<folder path>/) exist only once
// its items are converted; empty: made or there.
QString MakeOutputFolder(const InputMessage& message)
{
    const QString folder = QFileInfo(message.outputPath).absolutePath();
    if (message.kind != InputKind::Pst || QDir().mkpath(folder))
        return {};
    return QStringLiteral("the output folder %1 cannot be made; check that it can be written").arg(folder);
}

ReportRow RowFor(const InputMessage& message)
{
    ReportRow row;
    row.source = message.source;
    row.message = message.number;
    row.folder = message.folder;
    return row;
}

QString Plural(int count, const char* one, const char* many)
{
    return QStringLiteral("%1 %2").arg(count).arg(QLatin1String(count == 1 ? one : many));
}

QString Duration(double seconds)
{
    const qint64 whole = qint64(std::llround(seconds));
    if (whole < 60)
        return QStringLiteral("%1 s").arg(whole);
    if (whole < 3600)
        return QStringLiteral("%1 min %2 s").arg(whole / 60).arg(whole % 60);
    return QStringLiteral("%1 h %2 min").arg(whole / 3600).arg(whole % 3600 / 60);
}

// Load file lines hold no quoting: a comma in an image's name would split
// its line, a line break would start another.
QString LoadFileSafe(const QString& outputPath)
{
    const qsizetype name = outputPath.lastIndexOf(QLatin1Char('/')) + 1;
    QString safe = outputPath.left(name) + VisibleName(outputPath.mid(name));
    for (qsizetype i = name; i < safe.size(); ++i)
        if (safe.at(i) == QLatin1Char(','))
            safe[i] = QLatin1Char('_');
    return safe;
}

// "out/name_0001.tiff to name_0003.tiff (3 pages, ABC000001 to ABC000003)"
// for a message of several files or numbered pages; the TIFF alone otherwise.
QString ConvertedText(const QString& outputPath, const WorkerAnswer& answer, const ImagingOptions& imaging,
                      qint64 firstNumber)
{
    const QStringList& files = answer.outputPaths;
    QString text = QDir::cleanPath(files.isEmpty() ? outputPath : files.first());
    if (files.size() > 1)
        text += QStringLiteral(" to %1").arg(QFileInfo(files.last()).fileName());
    if (imaging.render.pages == PageFiles::Single || imaging.attachments) {
        text += QStringLiteral(" (%1").arg(Plural(answer.pages, "page", "pages"));
        if (const auto& bates = imaging.render.bates)
            text += QStringLiteral(", %1 to %2")
                        .arg(bates->number(firstNumber), bates->number(firstNumber + answer.pages - 1));
        text += QLatin1Char(')');
    }
    return text;
}

QStringList WorkerArguments(const CommandLine& line)
{
    return QStringList{QStringLiteral("--worker"), QStringLiteral("--page-time-limit"),
                       QString::number(line.pageTimeLimitSeconds), QStringLiteral("--max-pages"),
                       QString::number(line.maxPages)} +
           ImagingArguments(line.imaging);
}

// A report that cannot be written leaves --resume without its record.
const QString kReportCost = QStringLiteral("--resume cannot rely on it");

class Batch : public QObject {
public:
    Batch(const CommandLine& line, QList<InputMessage> messages, QTextStream& out, QTextStream& err,
          Progress progress, const QString& workerProgram)
        : m_line(line), m_messages(std::move(messages)), m_out(out), m_err(err), m_progress(progress),
          m_spool(TempFolder()),
          m_pool(workerProgram, WorkerArguments(line),
                 std::min(line.jobs, int(std::max<qsizetype>(m_messages.size(), 1))), TaskLimit(line)),
          m_report(RunReport::Kind::Conversion, line.reportPath, err, kReportCost)
    {
        m_done.resize(m_messages.size());
        connect(&m_pool, &WorkerPool::answered, this, [this](const WorkerAnswer& answer) { finish(answer); });
        connect(&m_stopCheck, &QTimer::timeout, this, [this] {
            if (StopSignalSeen() != 0)
                stop();
        });
    }

    bool openReport() { return m_report.open(); }

    // A report that cannot be written stops the run as any failure to write.
    int reportFailureStatus() const
    {
        return m_report.refusedAsNoReport() ? kExitBadArguments : kExitSomeFailed;
    }

    int run()
    {
        if (!m_spool.isValid()) {
            m_err << "quillmark-convert: " << m_spool.problem() << Qt::endl;
            return kExitSomeFailed;
        }
        m_clock.start();
        m_stopCheck.start(200);
        dispatch();
        if (m_finished < m_messages.size())
            m_loop.exec();
        m_pool.stop();
        return summary();
    }

private:
    void dispatch()
    {
        while (!m_stopped && m_next < m_messages.size() && m_pool.hasIdleWorker()) {
            const int index = int(m_next++);
            const InputMessage& message = m_messages.at(index);
            WorkerTask task{index, message.source, message.outputPath, 0, {}, {}, 0};
            if (const QString reason = MakeOutputFolder(message); !reason.isEmpty()) {
                WorkerAnswer answer;
                answer.index = index;
                answer.reason = reason;
                finish(answer);
                continue;
            }
            if (message.isInContainer())
                task.messagePath =
                    m_spool.path() + QLatin1Char('/') + WorkName(message.baseName()) + QStringLiteral(".eml");
            if (message.kind == InputKind::Pst) {
                task.pstPath = message.source;
                task.pstItem = message.pstItem;
            } else if (message.isInContainer()) {
                // The worker converts a file; the message is taken out of the
                // mbox only when its turn comes, so a huge mbox is never
                // copied whole.
                try {
                    TakeOutMessage(message, task.messagePath);
                } catch (const std::exception& error) {
                    WorkerAnswer answer;
                    answer.index = index;
                    answer.reason = QString::fromUtf8(error.what());
                    finish(answer);
                    continue;
                }
            }
            m_pool.submit(task);
        }
    }

    void finish(const WorkerAnswer& answer)
    {
        if (m_done.at(answer.index))
            return;
        m_done[answer.index] = true;
        ++m_finished;
        const InputMessage& message = m_messages.at(answer.index);
        if (message.isInContainer())
            QFile::remove(m_spool.path() + QLatin1Char('/') + WorkName(message.baseName()) +
                          QStringLiteral(".eml"));

        ReportRow row = RowFor(message);
        row.output = answer.converted ? answer.outputPaths.value(0, message.outputPath) : QString();
        row.pages = answer.pages;
        row.status = answer.converted ? ReportStatus::Converted : ReportStatus::Failed;
        row.reason = answer.reason;
        row.seconds = answer.seconds;
        m_report.write(row);
        if (!answer.converted)
            m_failed.append(message.displayName());
        printAnswer(message, answer);

        if (m_finished == m_messages.size())
            m_loop.quit();
        else
            // Not from inside the pool's signal: the next task may start a
            // worker, which may answer at once.
            QTimer::singleShot(0, this, [this] { dispatch(); });
    }

    void printAnswer(const InputMessage& message, const WorkerAnswer& answer)
    {
        FinishedMessage line{
            answer.index + 1, int(m_messages.size()), message.displayName(), !answer.converted, {}};
        if (answer.converted) {
            line.text = ConvertedText(message.outputPath, answer, m_line.imaging, 0);
        } else {
            // The first failing step usually says what went wrong; the ones
            // after it fail for the same reason.
            line.text = answer.reason;
            // Unless the reason already says what the step said.
            if (!answer.reports.isEmpty() &&
                !answer.reason.contains(answer.reports.first().section(QStringLiteral(": "), 1)))
                line.text += QStringLiteral(" (%1)").arg(answer.reports.first());
        }
        PrintFinished(m_out, m_progress, line);
        if (m_progress != Progress::Quiet)
            for (const QString& report : answer.reports)
                m_err << "    " << report << Qt::endl;
        PrintProgress(m_out, m_progress, m_finished, int(m_messages.size()), m_clock.nsecsElapsed() / 1e9);
    }

    void stop()
    {
        if (m_stopped)
            return;
        m_stopped = true;
        m_stopCheck.stop();
        m_pool.stop();
        // Every message of the run keeps a row, so the report accounts for
        // all of them; --resume converts these later.
        for (qsizetype i = 0; i < m_messages.size(); ++i) {
            if (m_done.at(i))
                continue;
            ReportRow row = RowFor(m_messages.at(i));
            row.status = ReportStatus::Skipped;
            row.reason = QStringLiteral("the run was stopped before this message was converted");
            m_report.write(row);
        }
        m_loop.quit();
    }

    int summary()
    {
        const int total = int(m_messages.size());
        if (m_progress == Progress::InPlace)
            m_out << "\r\033[K";
        const int converted = m_finished - int(m_failed.size());
        m_out
            << QStringLiteral("%1 of %2 converted").arg(converted).arg(Plural(total, "message", "messages"));
        if (m_stopped)
            m_out << QStringLiteral("; stopped by signal %1, %2 not converted")
                         .arg(StopSignalSeen())
                         .arg(total - m_finished);
        EndSummary(m_out, m_failed);
        if (m_stopped)
            return kExitInterrupted;
        return m_failed.isEmpty() && !m_report.broken() ? kExitAllConverted : kExitSomeFailed;
    }

    const CommandLine& m_line;
    QList<InputMessage> m_messages;
    QTextStream& m_out;
    QTextStream& m_err;
    Progress m_progress;
    RunWorkFolder m_spool;
    WorkerPool m_pool;
    KeptReport m_report;
    QList<bool> m_done;
    qsizetype m_next = 0;
    int m_finished = 0;
    QStringList m_failed;
    bool m_stopped = false;
    QElapsedTimer m_clock;
    QTimer m_stopCheck;
    QEventLoop m_loop;
};

std::atomic<int> stopSignal{0};

extern "C" void RememberStop(int signal)
{
    stopSignal = signal;
}

// A Bates-numbered run: every worker lays messages out and stamps them,
// the numbers follow the input order as with one worker.
class BatesRun final : public OrderedRun {
public:
    BatesRun(const CommandLine& line, QList<InputMessage> messages, QTextStream& out, QTextStream& err,
             Progress progress, const QString& workerProgram)
        : OrderedRun(MakeSetup(line, int(messages.size()), workerProgram)), m_line(line),
          m_messages(std::move(messages)), m_out(out), m_err(err), m_progress(progress),
          m_loadFile(*line.imaging.render.bates, line.outputFolder), m_spool(TempFolder()),
          m_report(RunReport::Kind::Conversion, line.reportPath, err, kReportCost)
    {
    }

    bool openReport() { return m_report.open(); }

    // A report that cannot be written stops the run as any failure to write.
    int reportFailureStatus() const
    {
        return m_report.refusedAsNoReport() ? kExitBadArguments : kExitSomeFailed;
    }

    int execute()
    {
        if (!m_spool.isValid()) {
            m_err << "quillmark-convert: " << m_spool.problem() << Qt::endl;
            return kExitSomeFailed;
        }
        const bool whole = run();
        if (!whole) {
            // Every message of the run keeps a row, so the report accounts
            // for all of them.
            for (int i = sequence().finished(); i < sequence().count(); ++i) {
                ReportRow row = RowFor(m_messages[i]);
                row.status = ReportStatus::Skipped;
                row.reason = QStringLiteral("the run was stopped before this message was converted");
                m_report.write(row);
            }
        }
        return summary(whole);
    }

protected:
    std::optional<WorkerTask> layoutTask(int index) override
    {
        const InputMessage& message = m_messages[index];
        const QString folder = m_spool.path() + QStringLiteral("/m%1").arg(index);
        QDir().mkpath(folder);
        if (const QString reason = MakeOutputFolder(message); !reason.isEmpty()) {
            sequence().failed(index, reason);
            return std::nullopt;
        }
        QString path = message.source;
        if (message.isInContainer())
            path = folder + QLatin1Char('/') + WorkName(message.baseName()) + QStringLiteral(".eml");
        if (message.isInContainer() && message.kind != InputKind::Pst) {
            // Taken out of the mbox only when its turn comes, so a huge mbox
            // is never copied whole.
            try {
                TakeOutMessage(message, path);
            } catch (const std::exception& error) {
                sequence().failed(index, QString::fromUtf8(error.what()));
                return std::nullopt;
            }
        }
        WorkerTask task;
        task.index = index;
        task.production = {{QStringLiteral("op"), QStringLiteral("bates-layout")},
                           {QStringLiteral("message"), path},
                           {QStringLiteral("work"), folder}};
        if (message.kind == InputKind::Pst) {
            task.pstPath = message.source;
            task.pstItem = message.pstItem;
        }
        return task;
    }

    WorkerTask imagingTask(int index) override
    {
        WorkerTask task;
        task.index = index;
        task.production = {
            {QStringLiteral("op"), QStringLiteral("bates-image")},
            {QStringLiteral("documents"), QJsonArray::fromStringList(m_documents.value(index))},
            {QStringLiteral("output"), m_messages[index].outputPath},
            {QStringLiteral("first"), double(sequence().firstNumber(index))}};
        return task;
    }

    Family familyOf(int index, const WorkerAnswer& answer) override
    {
        QStringList documents;
        for (const QJsonValue document : answer.production.value(QLatin1String("documents")).toArray())
            documents.append(document.toString());
        m_documents.insert(index, documents);
        Family family;
        LaidOutDocument whole;
        whole.pages = answer.pages;
        family.documents = {whole};
        return family;
    }

    void imaged(int index, const WorkerAnswer& answer) override
    {
        m_outputs.insert(index, answer.outputPaths);
    }

    void record(int index) override
    {
        const InputMessage& message = m_messages[index];
        ReportRow row = RowFor(message);
        row.seconds = seconds(index);
        WorkerAnswer answer;
        answer.index = index;
        if (sequence().state(index) == ProductionSequence::State::Imaged) {
            answer.converted = true;
            answer.outputPaths = m_outputs.take(index);
            answer.pages = int(answer.outputPaths.size());
            m_loadFile.addDocument(sequence().firstNumber(index), answer.outputPaths);
            row.output = answer.outputPaths.value(0, message.outputPath);
            row.pages = answer.pages;
            row.status = ReportStatus::Converted;
        } else {
            answer.reason = sequence().reason(index);
            row.status = ReportStatus::Failed;
            row.reason = answer.reason;
            m_failed.append(message.displayName());
        }
        m_report.write(row);
        QDir(m_spool.path() + QStringLiteral("/m%1").arg(index)).removeRecursively();
        m_documents.remove(index);
        print(message, answer);
    }

private:
    static Setup MakeSetup(const CommandLine& line, int count, const QString& workerProgram)
    {
        Setup setup;
        setup.count = count;
        setup.firstNumber = line.imaging.render.bates->first;
        setup.workerProgram = workerProgram;
        setup.workerArguments = WorkerArguments(line);
        setup.jobs = line.jobs;
        setup.taskLimit = TaskLimit(line);
        return setup;
    }

    void print(const InputMessage& message, const WorkerAnswer& answer)
    {
        const QString text = answer.converted ? ConvertedText(message.outputPath, answer, m_line.imaging,
                                                              sequence().firstNumber(answer.index))
                                              : answer.reason;
        PrintFinished(
            m_out, m_progress,
            {answer.index + 1, int(m_messages.size()), message.displayName(), !answer.converted, text});
        PrintProgress(m_out, m_progress, sequence().finished(), int(m_messages.size()), elapsedSeconds());
    }

    int summary(bool whole)
    {
        bool loadFileWritten = true;
        try {
            m_loadFile.write();
        } catch (const std::exception& error) {
            m_err << "quillmark-convert: " << error.what() << "; check that the folder can be written"
                  << Qt::endl;
            loadFileWritten = false;
        }
        if (loadFileWritten && m_progress != Progress::Quiet)
            m_out << "Load file: " << m_loadFile.path() << Qt::endl;
        if (m_progress == Progress::InPlace)
            m_out << "\r\033[K";
        const int total = int(m_messages.size());
        const int finished = sequence().finished();
        const int converted = finished - int(m_failed.size());
        m_out
            << QStringLiteral("%1 of %2 converted").arg(converted).arg(Plural(total, "message", "messages"));
        if (!whole)
            m_out << QStringLiteral("; %1, %2 not converted").arg(stopReason()).arg(total - finished);
        EndSummary(m_out, m_failed);
        if (!whole)
            return StopSignalSeen() != 0 ? kExitInterrupted : kExitSomeFailed;
        return m_failed.isEmpty() && !m_report.broken() && loadFileWritten ? kExitAllConverted
                                                                           : kExitSomeFailed;
    }

    const CommandLine& m_line;
    QList<InputMessage> m_messages;
    QTextStream& m_out;
    QTextStream& m_err;
    Progress m_progress;
    OpticonLoadFile m_loadFile;
    RunWorkFolder m_spool;
    KeptReport m_report;
    QHash<int, QStringList> m_documents;
    QHash<int, QStringList> m_outputs;
    QStringList m_failed;
};

} // namespace

void WatchStopSignals(bool on)
{
    stopSignal = 0;
    std::signal(SIGINT, on ? RememberStop : SIG_DFL);
    std::signal(SIGTERM, on ? RememberStop : SIG_DFL);
}

int StopSignalSeen()
{
    return stopSignal;
}

std::chrono::milliseconds TaskLimit(const CommandLine& line)
{
    const std::chrono::seconds pageTime(line.pageTimeLimitSeconds);
    // The page engine may take its limit for the message's page, and as
    // long again to start and for the office host's grace.
    return std::chrono::minutes(1) + 2 * pageTime +
           RenderTimeLimit(pageTime, line.maxPages, line.imaging.render.dpi);
}

QString ProgressLine(int done, int total, double elapsedSeconds)
{
    const double percent = total > 0 ? 100.0 * done / total : 100.0;
    QString line = QStringLiteral("%1/%2 %3%").arg(done).arg(total).arg(int(percent));
    if (done > 0 && elapsedSeconds > 0) {
        const double rate = done / elapsedSeconds;
        line += QStringLiteral(", %1 messages/s, %2 left")
                    .arg(rate, 0, 'f', rate < 10 ? 2 : 1)
                    .arg(Duration((total - done) / rate));
    }
    return line;
}

Progress ChooseProgress(bool quiet, bool terminal)
{
    if (quiet)
        return Progress::Quiet;
    return terminal ? Progress::InPlace : Progress::Lines;
}

int RunBatch(const CommandLine& line, const QString& workerProgram, QTextStream& out, QTextStream& err,
             Progress progress)
{
    if (!line.verifyFolder.isEmpty())
        return RunVerify(line.verifyFolder, out, err);
    if (line.production)
        return RunProduction(line, workerProgram, out, err, progress);
    CollectedInput input =
        CollectInput(line.paths, InputOptions{line.mboxScan, line.maildirScan, workerProgram});
    for (const QString& problem : std::as_const(input.problems))
        err << "quillmark-convert: " << problem << Qt::endl;
    if (input.messages.isEmpty()) {
        err << "quillmark-convert: no .eml files or mbox messages found in the paths given, nor PST, "
               "EMLX or Maildir messages"
            << Qt::endl;
        return kExitSomeFailed;
    }
    // Names come from the whole input, so every shard names alike.
    AssignOutputPaths(input.messages, line.outputFolder);
    if (line.imaging.render.bates)
        for (InputMessage& message : input.messages)
            message.outputPath = LoadFileSafe(message.outputPath);

    QSet<QString> converted;
    if (line.resume) {
        QString error;
        const QList<ReportRow> rows = ReadReport(line.reportPath, &error);
        if (!error.isEmpty()) {
            err << "quillmark-convert: " << error << Qt::endl;
            return kExitBadArguments;
        }
        for (const ReportRow& row : rows)
            if (row.status == ReportStatus::Converted && QFileInfo(row.output).isFile())
                converted.insert(ResumeKey(row.source, row.folder, row.message));
    }
    QList<InputMessage> todo;
    int skipped = 0;
    for (const InputMessage& message : std::as_const(input.messages)) {
        if (!InShard(message, line.shard))
            continue;
        if (converted.contains(ResumeKey(message.source, message.folder, message.number)))
            ++skipped;
        else
            todo.append(message);
    }
    if (skipped > 0 && progress != Progress::Quiet)
        out << QStringLiteral("%1 already converted (by the run of %2), skipped.")
                   .arg(Plural(skipped, "message", "messages"), line.reportPath)
            << Qt::endl;
    if (todo.isEmpty()) {
        out << "0 of 0 messages converted." << Qt::endl;
        return kExitAllConverted;
    }

    WatchStopSignals(true);
    if (line.imaging.render.bates) {
        BatesRun run(line, std::move(todo), out, err, progress, workerProgram);
        const int status = run.openReport() ? run.execute() : run.reportFailureStatus();
        WatchStopSignals(false);
        return status;
    }
    Batch batch(line, std::move(todo), out, err, progress, workerProgram);
    if (!batch.openReport()) {
        WatchStopSignals(false);
        return batch.reportFailureStatus();
    }
    const int status = batch.run();
    WatchStopSignals(false);
    return status;
}
