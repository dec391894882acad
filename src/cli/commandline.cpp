#include "commandline.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>

namespace {

constexpr int kMostJobs = 64;

const QString kDescription =
    QStringLiteral("Converts e-mail messages (.eml files and mbox files) into multi-page TIFF\n"
                   "images, one per message, with the From, To, Subject and Date lines above\n"
                   "the body.\n"
                   "\n"
                   "A path is a message file, an mbox file or a folder; a folder stands for\n"
                   "every .eml file in its whole tree (any letter case), and with --mbox-scan\n"
                   "also for its mbox files. Each message of an mbox becomes\n"
                   "<mbox name>-00001.tiff, -00002.tiff ... in mbox order.\n"
                   "\n"
                   "A TIFF file of an earlier run is replaced only by a complete new one; two\n"
                   "messages of one run with the same name get \"name.tiff\", \"name (2).tiff\".\n"
                   "\n"
                   "Exit status: 0 every message converted, 1 any message failed or none was\n"
                   "found, 2 bad arguments, 130 stopped by Ctrl-C or SIGTERM.");

struct Options {
    QCommandLineOption out{
        {QStringLiteral("o"), QStringLiteral("out")},
        QStringLiteral("Write the TIFF files into <dir> (made when missing); without it each "
                       "TIFF goes beside its message."),
        QStringLiteral("dir")};
    QCommandLineOption jobs{{QStringLiteral("j"), QStringLiteral("jobs")},
                            QStringLiteral("Convert <n> messages at a time, each worker with its own page "
                                           "engine (default: the number of processor cores)."),
                            QStringLiteral("n")};
    QCommandLineOption pageTimeLimit{QStringLiteral("page-time-limit"),
                                     QStringLiteral("Give up on a message whose page does not load and print "
                                                    "within <seconds> (1 to 3600, default 60); the next "
                                                    "message gets a fresh page engine."),
                                     QStringLiteral("seconds")};
    QCommandLineOption mboxScan{QStringLiteral("mbox-scan"),
                                QStringLiteral("In folders, also convert mbox files: files named *.mbox and "
                                               "files whose content starts like an mbox (Thunderbird's "
                                               "Inbox)."),
                                QString()};
    QCommandLineOption report{
        QStringLiteral("report"),
        QStringLiteral("Add one row per message to <file> as soon as it finishes: CSV, or "
                       "JSON Lines when the name ends in .jsonl."),
        QStringLiteral("file")};
    QCommandLineOption resume{QStringLiteral("resume"),
                              QStringLiteral("Skip the messages that the --report file records as converted "
                                             "and whose TIFF is still there; convert the rest."),
                              QString()};
    QCommandLineOption shard{
        QStringLiteral("shard"),
        QStringLiteral("Convert only part <k> of <n> disjoint parts of the input (k from "
                       "0 to n-1); the parts together are the whole input."),
        QStringLiteral("k/n")};
    QCommandLineOption quiet{{QStringLiteral("q"), QStringLiteral("quiet")},
                             QStringLiteral("Print only failures and the summary."),
                             QString()};
    QCommandLineOption worker{QStringLiteral("worker"), QStringLiteral("Internal: serve a run as a worker.")};

    Options() { worker.setFlags(QCommandLineOption::HiddenFromHelp); }
};

void Configure(QCommandLineParser& parser, Options& options)
{
    parser.setApplicationDescription(kDescription);
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({options.out, options.jobs, options.pageTimeLimit, options.mboxScan, options.report,
                       options.resume, options.shard, options.quiet, options.worker});
    parser.addPositionalArgument(QStringLiteral("paths"), QStringLiteral("Messages, mbox files or folders."),
                                 QStringLiteral("PATH..."));
}

std::optional<int> NumberIn(const QString& text, int lowest, int highest)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < lowest || value > highest)
        return std::nullopt;
    return value;
}

std::optional<Shard> ShardIn(const QString& text)
{
    static const QRegularExpression form(QStringLiteral("^(\\d+)/(\\d+)$"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    const std::optional<int> count = NumberIn(match.captured(2), 1, 1000000);
    if (!count)
        return std::nullopt;
    const std::optional<int> index = NumberIn(match.captured(1), 0, *count - 1);
    if (!index)
        return std::nullopt;
    return Shard{*index, *count};
}

} // namespace

std::optional<CommandLine> ParseCommandLine(const QStringList& arguments, QString* error, int defaultJobs)
{
    QCommandLineParser parser;
    Options options;
    Configure(parser, options);
    if (!parser.parse(QStringList{QStringLiteral("quillmark-convert")} + arguments)) {
        *error = parser.errorText();
        return std::nullopt;
    }
    const auto fail = [&](const QString& reason) {
        *error = reason;
        return std::nullopt;
    };

    CommandLine line;
    line.help = parser.isSet(QStringLiteral("help"));
    line.version = parser.isSet(QStringLiteral("version"));
    line.worker = parser.isSet(options.worker);
    line.paths = parser.positionalArguments();
    line.jobs = std::clamp(defaultJobs, 1, kMostJobs);
    if (parser.isSet(options.out)) {
        line.outputFolder = parser.value(options.out);
        if (line.outputFolder.isEmpty())
            return fail(QStringLiteral("--out needs a folder"));
    }
    if (parser.isSet(options.pageTimeLimit)) {
        const std::optional<int> seconds = NumberIn(parser.value(options.pageTimeLimit), 1, 3600);
        if (!seconds)
            return fail(QStringLiteral("--page-time-limit needs a number of seconds from 1 to 3600"));
        line.pageTimeLimitSeconds = *seconds;
    }
    if (parser.isSet(options.jobs)) {
        const std::optional<int> jobs = NumberIn(parser.value(options.jobs), 1, kMostJobs);
        if (!jobs)
            return fail(QStringLiteral("--jobs needs a number of workers from 1 to %1").arg(kMostJobs));
        line.jobs = *jobs;
    }
    if (parser.isSet(options.shard)) {
        const std::optional<Shard> shard = ShardIn(parser.value(options.shard));
        if (!shard)
            return fail(QStringLiteral("--shard needs K/N with N at least 1 and K from 0 to N-1, like 0/4"));
        line.shard = *shard;
    }
    line.mboxScan = parser.isSet(options.mboxScan);
    line.reportPath = parser.value(options.report);
    if (parser.isSet(options.report) && line.reportPath.isEmpty())
        return fail(QStringLiteral("--report needs a file"));
    line.resume = parser.isSet(options.resume);
    if (line.resume && line.reportPath.isEmpty())
        return fail(QStringLiteral("--resume needs --report FILE: the report of the run to resume"));
    line.quiet = parser.isSet(options.quiet);

    if (!line.help && !line.version && !line.worker && line.paths.isEmpty())
        return fail(QStringLiteral("no messages or folders given"));
    return line;
}

QString UsageText()
{
    QCommandLineParser parser;
    Options options;
    Configure(parser, options);
    // Qt names the program as it was started (a path, a link); the usage
    // line names it as the user types it.
    const QString text = parser.helpText();
    const qsizetype optionsAt = text.indexOf(QLatin1String(" [options]"));
    return optionsAt < 0 ? text : QStringLiteral("Usage: quillmark-convert") + text.mid(optionsAt);
}

QString VersionText()
{
    return QCoreApplication::applicationName() + QLatin1Char(' ') + QCoreApplication::applicationVersion() +
           QLatin1Char('\n');
}
