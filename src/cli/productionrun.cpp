#include "productionrun.h"

#include "pstlisting.h"

#include "batchinput.h"
#include "journal.h"
#include "loadfiles.h"
#include "mboxreader.h"
#include "messageconverter.h"
#include "orderedrun.h"
#include "outputfolder.h"
#include "paths.h"
#include "productionsequence.h"
#include "pstlisting.h"
#include "runoutput.h"
#include "runreport.h"
#include "verify.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QRegularExpression>
#include <QSet>
#include <QTextStream>

#include <optional>

namespace {

QString Plural(qint64 count, const char* one, const char* many)
{
    return QStringLiteral("%1 %2").arg(count).arg(QLatin1String(count == 1 ? one : many));
}

QString Md5Of(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (!hash.addData(&file))
        return {};
    return QString::fromLatin1(hash.result().toHex());
}

// The name a message goes by as a document: its file's, or for a message
// inside a mail folder the name it would be saved under.
QString DocumentFileName(const InputMessage& message)
{
    if (!message.isInContainer())
        return GetFileName(message.source);
    return message.baseName() + QStringLiteral(".eml");
}

QJsonObject Settings(const CommandLine& line)
{
    const ProductionOptions& production = *line.production;
    const BatesNumbering& bates = *line.imaging.render.bates;
    return {{QStringLiteral("prefix"), bates.prefix},
            {QStringLiteral("first"), double(bates.first)},
            {QStringLiteral("digits"), bates.digits},
            {QStringLiteral("volume"), production.volume},
            {QStringLiteral("custodian"), production.custodian},
            {QStringLiteral("natives"), production.natives.text()},
            {QStringLiteral("dedupe"), production.dedupe},
            {QStringLiteral("ocr"), production.ocr},
            {QStringLiteral("dpi"), line.imaging.render.dpi},
            {QStringLiteral("colour"), ColourModeName(line.imaging.render.colour)}};
}

class Production;

// The scheduling of OrderedRun with a production's tasks.
class ProductionPipeline final : public OrderedRun {
public:
    ProductionPipeline(Setup setup, Production& production)
        : OrderedRun(std::move(setup)), m_production(production)
    {
    }

protected:
    std::optional<WorkerTask> layoutTask(int index) override;
    WorkerTask imagingTask(int index) override;
    Family familyOf(int index, const WorkerAnswer& answer) override;
    void record(int index) override;

private:
    Production& m_production;
};

class Production {
public:
    Production(const CommandLine& line, QList<InputMessage> messages, QTextStream& out, QTextStream& err,
               Progress progress, const QString& workerProgram)
        : m_line(line), m_options(*line.production), m_messages(std::move(messages)), m_out(out), m_err(err),
          m_progress(progress), m_workerProgram(workerProgram),
          m_layout(line.production->folder, *line.imaging.render.bates, line.production->volume),
          m_loadFiles(m_layout), m_report(RunReport::Kind::Production, line.reportPath, err),
          m_spool(TempFolder())
    {
    }

    // Reads what an earlier run of the production finished and starts the
    // load files from it. Returns an exit status, or -1 to go on.
    int prepare()
    {
        if (!m_spool.isValid()) {
            m_err << "quillmark-convert: " << m_spool.problem() << Qt::endl;
            return kExitSomeFailed;
        }
        QString error;
        if (!m_journal.open(m_layout.absolute(m_layout.journalPath()), Settings(m_line), m_line.resume,
                            &error)) {
            m_err << "quillmark-convert: " << error << Qt::endl;
            return kExitBadArguments;
        }
        const QList<JournalEntry>& done = m_journal.entries();
        if (done.size() > m_messages.size()) {
            m_err << "quillmark-convert: the production holds " << done.size() << " messages, the input only "
                  << m_messages.size() << "; resume it with the input it was begun with" << Qt::endl;
            return kExitBadArguments;
        }
        OrderedRun::Setup setup;
        setup.firstNumber = m_layout.numbering().first;
        for (qsizetype i = 0; i < done.size(); ++i) {
            if (done[i].key != m_messages[i].displayName()) {
                m_err << "quillmark-convert: the input is not the one the production was begun with: its "
                         "message "
                      << i + 1 << " was " << done[i].key << ", now " << m_messages[i].displayName()
                      << "; resume it with the same paths in the same order" << Qt::endl;
                return kExitBadArguments;
            }
            if (done[i].status == JournalEntry::Status::Produced && !done[i].documents.isEmpty()) {
                if (!setup.produced.contains(done[i].md5))
                    setup.produced.insert(done[i].md5, done[i].documents.first().begin);
                setup.firstNumber = done[i].endNumber() + 1;
            }
        }
        m_resumed = int(done.size());
        if (!m_report.open())
            return m_report.refusedAsNoReport() ? kExitBadArguments : kExitSomeFailed;
        try {
            QDir(m_layout.absolute(QStringLiteral(".quillmark/work"))).removeRecursively();
            m_loadFiles.start();
            for (const JournalEntry& entry : done)
                for (const JournalEntry::Document& document : entry.documents)
                    m_loadFiles.add(document.values, document.begin, document.pages);
        } catch (const std::exception& failure) {
            m_err << "quillmark-convert: " << failure.what() << Qt::endl;
            return kExitSomeFailed;
        }
        m_messages = m_messages.mid(m_resumed);
        if (m_resumed > 0 && m_progress != Progress::Quiet)
            m_out << QStringLiteral("%1 of the production already finished, resumed after %2.")
                         .arg(Plural(m_resumed, "message", "messages"), done.last().key)
                  << Qt::endl;

        setup.count = int(m_messages.size());
        setup.dedupe = m_options.dedupe;
        setup.workerProgram = m_workerProgram;
        setup.workerArguments = {QStringLiteral("--worker"), QStringLiteral("--page-time-limit"),
                                 QString::number(m_line.pageTimeLimitSeconds)};
        setup.jobs = m_line.jobs;
        setup.taskLimit = TaskLimit(m_line);
        m_pipeline = std::make_unique<ProductionPipeline>(setup, *this);
        return -1;
    }

    int run()
    {
        const bool whole = m_pipeline->run();
        return finish(whole);
    }

    std::optional<WorkerTask> layoutTask(int index)
    {
        ProductionSequence& sequence = m_pipeline->sequence();
        const InputMessage& message = m_messages[index];
        const QString folder = workFolder(index);
        QDir().mkpath(folder);
        QString path = message.source;
        if (message.kind == InputKind::Pst) {
            // Written out here, not in a worker, for its bytes decide whether
            // it is a duplicate; in a child, so a damaged store costs only
            // this message.
            path = folder + QStringLiteral("/message.eml");
            try {
                ExtractPstIsolated(m_workerProgram, message.source, message.pstItem, path);
            } catch (const std::exception& error) {
                sequence.failed(index, QStringLiteral("the message could not be read from the PST: %1")
                                           .arg(QString::fromUtf8(error.what())));
                return std::nullopt;
            }
        } else if (message.isInContainer()) {
            path = folder + QStringLiteral("/message.eml");
            try {
                TakeOutMessage(message, path);
            } catch (const std::exception& error) {
                sequence.failed(index, QString::fromUtf8(error.what()));
                return std::nullopt;
            }
        }
        const QString md5 = Md5Of(path);
        sequence.setMd5(index, md5);
        if (sequence.producedCopy(md5)) {
            sequence.skipAsDuplicate(index);
            return std::nullopt;
        }
        WorkerTask task;
        task.index = index;
        task.production = {
            {QStringLiteral("op"), QStringLiteral("layout")},        {QStringLiteral("message"), path},
            {QStringLiteral("fileName"), DocumentFileName(message)}, {QStringLiteral("work"), folder},
            {QStringLiteral("natives"), m_options.natives.text()},   {QStringLiteral("ocr"), m_options.ocr}};
        return task;
    }

    WorkerTask imagingTask(int index)
    {
        const ProductionSequence& sequence = m_pipeline->sequence();
        const BatesNumbering& numbering = m_layout.numbering();
        WorkerTask task;
        task.index = index;
        task.production = {{QStringLiteral("op"), QStringLiteral("image")},
                           {QStringLiteral("family"), sequence.family(index).toJson()},
                           {QStringLiteral("first"), double(sequence.firstNumber(index))},
                           {QStringLiteral("root"), m_layout.root()},
                           {QStringLiteral("prefix"), numbering.prefix},
                           {QStringLiteral("origin"), double(numbering.first)},
                           {QStringLiteral("digits"), numbering.digits},
                           {QStringLiteral("volume"), m_layout.volume()},
                           {QStringLiteral("dpi"), m_line.imaging.render.dpi},
                           {QStringLiteral("colour"), ColourModeName(m_line.imaging.render.colour)},
                           {QStringLiteral("work"), workFolder(index)}};
        return task;
    }

    void record(int index)
    {
        const ProductionSequence& sequence = m_pipeline->sequence();
        const InputMessage& message = m_messages[index];
        JournalEntry entry;
        entry.key = message.displayName();
        entry.md5 = sequence.md5(index);
        entry.reason = sequence.reason(index);
        ReportRow row;
        row.source = message.source;
        row.message = message.number;
        row.folder = message.folder;
        row.seconds = m_pipeline->seconds(index);
        row.reason = entry.reason;
        const BatesNumbering& numbering = m_layout.numbering();
        QString shown;
        switch (sequence.state(index)) {
        case ProductionSequence::State::Imaged: {
            entry.status = JournalEntry::Status::Produced;
            const Family& family = sequence.family(index);
            const QList<NumberedDocument> numbers = NumberFamily(family, sequence.firstNumber(index));
            for (qsizetype i = 0; i < family.documents.size(); ++i) {
                const LaidOutDocument& document = family.documents[i];
                RowContext context;
                context.custodian = m_options.custodian;
                context.sourcePath = message.displayName();
                context.textLink = m_layout.textPath(numbers[i].begin);
                if (document.isNative())
                    context.nativeLink = m_layout.nativePath(numbers[i].begin, document.extension());
                const QStringList values = DocumentValues(document, numbers[i], numbering, context);
                m_loadFiles.add(values, numbers[i].begin, document.pages);
                entry.documents.append({values, numbers[i].begin, document.pages});
                if (!document.notice.isEmpty())
                    m_notices.append(QStringLiteral("%1: %2 is shown by a notice page: %3")
                                         .arg(message.displayName(), document.fileName, document.notice));
            }
            const qint64 last = entry.endNumber();
            row.status = ReportStatus::Converted;
            row.pages = family.pageCount();
            row.output = m_layout.absolute(m_layout.imagePath(numbers.first().begin));
            row.bates = QStringLiteral("%1 to %2")
                            .arg(numbering.number(numbers.first().begin), numbering.number(last));
            shown = QStringLiteral("%1 (%2, %3)")
                        .arg(row.bates, Plural(family.documents.size(), "document", "documents"),
                             Plural(row.pages, "page", "pages"));
            ++m_produced;
            m_documents += family.documents.size();
            m_pages += row.pages;
            m_last = last;
            break;
        }
        case ProductionSequence::State::Duplicate:
            entry.status = JournalEntry::Status::Duplicate;
            entry.duplicateOf = numbering.number(sequence.duplicateOf(index));
            row.status = ReportStatus::Duplicate;
            row.duplicateOf = entry.duplicateOf;
            row.reason = QStringLiteral("the same message as %1, which stands for it").arg(entry.duplicateOf);
            shown = QStringLiteral("duplicate of %1, left out").arg(entry.duplicateOf);
            ++m_duplicates;
            break;
        default:
            entry.status = JournalEntry::Status::Failed;
            row.status = ReportStatus::Failed;
            m_failed.append(message.displayName());
            break;
        }
        m_journal.append(entry);
        m_report.write(row);
        QDir(workFolder(index)).removeRecursively();
        print(index, message, row, shown);
    }

private:
    QString workFolder(int index) const
    {
        return m_spool.path() + QStringLiteral("/m%1").arg(index + m_resumed);
    }

    void print(int index, const InputMessage& message, const ReportRow& row, const QString& shown)
    {
        const bool failed = row.status == ReportStatus::Failed;
        PrintFinished(m_out, m_progress,
                      {index + m_resumed + 1, int(m_messages.size()) + m_resumed, message.displayName(),
                       failed, failed ? row.reason : shown});
        PrintProgress(m_out, m_progress, m_pipeline->sequence().finished(), int(m_messages.size()),
                      m_pipeline->elapsedSeconds());
    }

    // Images, texts and natives that no row lists: pages a killed run or a
    // renumbering left under numbers the volume does not use (now or any
    // more). Only names of this production's form are touched.
    void prune()
    {
        const BatesNumbering& numbering = m_layout.numbering();
        const QRegularExpression form(QStringLiteral("^%1(\\d{%2,})(\\.[A-Za-z0-9]+)?$")
                                          .arg(QRegularExpression::escape(numbering.prefix))
                                          .arg(numbering.digits));
        QSet<qint64> begins;
        qint64 last = numbering.first - 1;
        for (const JournalEntry& entry : m_journal.entries())
            for (const JournalEntry::Document& document : entry.documents) {
                begins.insert(document.begin);
                last = std::max(last, document.begin + document.pages - 1);
            }
        for (const char* part : {"IMAGES", "TEXT", "NATIVES"}) {
            QDirIterator files(m_layout.absolute(QLatin1String(part)), QDir::Files,
                               QDirIterator::Subdirectories);
            while (files.hasNext()) {
                const QString path = files.next();
                const QRegularExpressionMatch match = form.match(QFileInfo(path).fileName());
                if (!match.hasMatch())
                    continue;
                const qint64 number = match.captured(1).toLongLong();
                const bool image = qstrcmp(part, "IMAGES") == 0;
                if (image ? number > last : !begins.contains(number))
                    QFile::remove(path);
            }
        }
    }

    int finish(bool whole)
    {
        if (m_progress == Progress::InPlace)
            m_out << "\r\033[K";
        bool written = true;
        try {
            m_loadFiles.sync();
        } catch (const std::exception& failure) {
            m_err << "quillmark-convert: " << failure.what() << Qt::endl;
            written = false;
        }
        if (whole)
            prune();
        for (const QString& notice : std::as_const(m_notices))
            if (m_progress != Progress::Quiet)
                m_err << "    " << notice << Qt::endl;

        const int total = int(m_messages.size()) + m_resumed;
        const int finished = m_pipeline->sequence().finished() + m_resumed;
        m_out
            << QStringLiteral("%1 of %2 produced").arg(m_produced).arg(Plural(total, "message", "messages"));
        if (m_produced > 0)
            m_out << QStringLiteral(" as %1 and %2, %3 to %4")
                         .arg(Plural(m_documents, "document", "documents"), Plural(m_pages, "page", "pages"),
                              m_layout.numbering().number(m_last - m_pages + 1),
                              m_layout.numbering().number(m_last));
        if (m_duplicates > 0)
            m_out << QStringLiteral("; %1 left out").arg(Plural(m_duplicates, "duplicate", "duplicates"));
        if (!whole)
            m_out << QStringLiteral("; %1, %2 not finished (--resume goes on)")
                         .arg(m_pipeline->stopReason())
                         .arg(total - finished);
        EndSummary(m_out, m_failed);
        if (!whole)
            return StopSignalSeen() != 0 ? kExitInterrupted : kExitSomeFailed;
        const bool verified = RunVerify(m_layout.root(), m_out, m_err) == 0;
        return m_failed.isEmpty() && written && verified && !m_report.broken() ? kExitAllConverted
                                                                               : kExitSomeFailed;
    }

    const CommandLine& m_line;
    const ProductionOptions& m_options;
    QList<InputMessage> m_messages;
    QTextStream& m_out;
    QTextStream& m_err;
    Progress m_progress;
    QString m_workerProgram;
    VolumeLayout m_layout;
    Journal m_journal;
    LoadFiles m_loadFiles;
    KeptReport m_report;
    RunWorkFolder m_spool;
    std::unique_ptr<ProductionPipeline> m_pipeline;
    QStringList m_notices;
    QStringList m_failed;
    int m_resumed = 0;
    int m_produced = 0;
    qint64 m_documents = 0;
    qint64 m_pages = 0;
    qint64 m_last = 0;
    int m_duplicates = 0;
};

std::optional<WorkerTask> ProductionPipeline::layoutTask(int index)
{
    return m_production.layoutTask(index);
}

WorkerTask ProductionPipeline::imagingTask(int index)
{
    return m_production.imagingTask(index);
}

Family ProductionPipeline::familyOf(int, const WorkerAnswer& answer)
{
    return Family::fromJson(answer.production.value(QLatin1String("family")).toObject());
}

void ProductionPipeline::record(int index)
{
    m_production.record(index);
}

} // namespace

int RunProduction(const CommandLine& line, const QString& workerProgram, QTextStream& out, QTextStream& err,
                  Progress progress)
{
    CollectedInput input =
        CollectInput(line.paths, InputOptions{line.mboxScan, line.maildirScan, workerProgram});
    for (const QString& problem : std::as_const(input.problems))
        err << "quillmark-convert: " << problem << Qt::endl;
    if (input.messages.isEmpty()) {
        err << "quillmark-convert: no .eml files or mbox messages found in the paths given" << Qt::endl;
        return kExitSomeFailed;
    }
    if (const FolderProblem problem =
            MakeRunFolder(line.production->folder, QStringLiteral("the production folder"));
        !problem.reason.isEmpty()) {
        err << "quillmark-convert: " << problem.reason << Qt::endl;
        return problem.badArgument ? kExitBadArguments : kExitSomeFailed;
    }
    WatchStopSignals(true);
    Production production(line, std::move(input.messages), out, err, progress, workerProgram);
    int status = production.prepare();
    if (status < 0)
        status = production.run();
    WatchStopSignals(false);
    return status;
}

int RunVerify(const QString& folder, QTextStream& out, QTextStream& err)
{
    const VerifyResult result = VerifyProduction(folder);
    if (result.problems.isEmpty()) {
        out << QStringLiteral("Verified %1: %2 and %3 as the load files list them, nothing wrong.")
                   .arg(folder, Plural(result.documents, "document", "documents"),
                        Plural(result.pages, "page", "pages"))
            << Qt::endl;
        return kExitAllConverted;
    }
    err << "quillmark-convert: the production in " << folder << " has "
        << Plural(result.problems.size(), "problem", "problems") << ":" << Qt::endl;
    for (const QString& problem : result.problems)
        err << "  " << problem << Qt::endl;
    return kExitSomeFailed;
}
