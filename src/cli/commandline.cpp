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
    // For archives and legal productions.
    QCommandLineOption dpi{QStringLiteral("dpi"),
                           QStringLiteral("Resolution of the pages, 72 to 600 (default 200)."),
                           QStringLiteral("n")};
    QCommandLineOption colour{{QStringLiteral("colour"), QStringLiteral("color")},
                              QStringLiteral("auto (grey unless the page has colour; the default), colour, "
                                             "grey, or mono: 1 bit per pixel with CCITT Group 4 "
                                             "compression, text cut sharp, pictures dithered."),
                              QStringLiteral("mode")};
    QCommandLineOption pages{QStringLiteral("pages"),
                             QStringLiteral("single: one TIFF per page, name_0001.tiff, name_0002.tiff ... "
                                            "(all pages of a message appear, or none); multi (the "
                                            "default): one multi-page TIFF per message."),
                             QStringLiteral("files")};
    QCommandLineOption header{QStringLiteral("header"),
                              QStringLiteral("Below the four header lines, a \"Cc: \" line (when the message "
                                             "has one) and an \"Attachments: \" line naming each "
                                             "attachment with its size: cc, attachments, or cc,attachments."),
                              QStringLiteral("lines")};
    QCommandLineOption attachments{
        QStringLiteral("attachments"),
        QStringLiteral("After the message's pages, the pages of each attachment in the order of the "
                       "message: PDFs, pictures, text, HTML, attached messages and office documents; one "
                       "that cannot be laid out gets a page that says so.")};
    QCommandLineOption bates{
        QStringLiteral("bates"),
        QStringLiteral("Stamp a number in the bottom right corner of every page (ABC000001: prefix ABC, "
                       "first number 1, 6 digits), counting on across messages in input order, and write "
                       "the Opticon load file <dir>/PREFIX.opt beside the images. Implies --pages single, "
                       "needs --out; messages are converted one at a time (--jobs 1), and a message that "
                       "fails takes no numbers."),
        QStringLiteral("PREFIX[START]")};

    Options() { worker.setFlags(QCommandLineOption::HiddenFromHelp); }
};

void Configure(QCommandLineParser& parser, Options& options)
{
    parser.setApplicationDescription(kDescription);
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({options.out, options.jobs, options.pageTimeLimit, options.mboxScan, options.report,
                       options.resume, options.shard, options.quiet, options.worker, options.dpi,
                       options.colour, options.pages, options.header, options.attachments, options.bates});
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

// The imaging options into `imaging`; the reason the values make no sense,
// or empty.
QString ReadImagingOptions(const QCommandLineParser& parser, const Options& options, ImagingOptions& imaging)
{
    RenderOptions& render = imaging.render;
    if (parser.isSet(options.dpi)) {
        const std::optional<int> dpi = NumberIn(parser.value(options.dpi), kLeastDpi, kMostDpi);
        if (!dpi)
            return QStringLiteral("--dpi needs a number from %1 to %2").arg(kLeastDpi).arg(kMostDpi);
        render.dpi = *dpi;
    }
    if (parser.isSet(options.colour)) {
        const std::optional<ColourMode> mode = ParseColourMode(parser.value(options.colour));
        if (!mode)
            return QStringLiteral("--colour is auto, colour, grey or mono, not \"%1\"")
                .arg(parser.value(options.colour));
        render.colour = *mode;
    }
    const QString pages = parser.value(options.pages);
    if (parser.isSet(options.pages) && pages != QLatin1String("single") && pages != QLatin1String("multi"))
        return QStringLiteral("--pages is single or multi, not \"%1\"").arg(pages);
    if (pages == QLatin1String("single"))
        render.pages = PageFiles::Single;
    if (parser.isSet(options.header)) {
        for (const QString& item : parser.value(options.header).split(QLatin1Char(','))) {
            const QString line = item.trimmed();
            if (line == QLatin1String("cc"))
                imaging.headerCc = true;
            else if (line == QLatin1String("attachments"))
                imaging.headerAttachments = true;
            else
                return QStringLiteral("--header takes cc, attachments or both (cc,attachments), not \"%1\"")
                    .arg(line);
        }
    }
    imaging.attachments = parser.isSet(options.attachments);
    if (parser.isSet(options.bates)) {
        render.bates = BatesNumbering::parse(parser.value(options.bates));
        if (!render.bates)
            return QStringLiteral(
                "--bates needs a prefix and, if you like, the first number (ABC000001); the "
                "prefix must not hold separators, commas or quotes, nor start with '.' or '-'");
        // Each page gets its own number and its own line in the load file.
        if (pages == QLatin1String("multi"))
            return QStringLiteral("--bates writes one TIFF per page; leave out --pages multi");
        render.pages = PageFiles::Single;
    }
    return {};
}

} // namespace

QStringList ImagingArguments(const ImagingOptions& imaging)
{
    const RenderOptions& render = imaging.render;
    QStringList arguments = PageOptionArguments(render);
    QStringList header;
    if (imaging.headerCc)
        header << QStringLiteral("cc");
    if (imaging.headerAttachments)
        header << QStringLiteral("attachments");
    if (!header.isEmpty())
        arguments << QStringLiteral("--header") << header.join(QLatin1Char(','));
    if (imaging.attachments)
        arguments << QStringLiteral("--attachments");
    if (render.bates)
        arguments << QStringLiteral("--bates") << render.bates->number(render.bates->first);
    return arguments;
}

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
    if (const QString problem = ReadImagingOptions(parser, options, line.imaging); !problem.isEmpty())
        return fail(problem);
    if (line.imaging.render.bates && !line.worker) {
        if (line.outputFolder.isEmpty() && !line.help && !line.version)
            return fail(QStringLiteral("--bates needs --out DIR: the page images and the load file go into "
                                       "one folder"));
        // The numbers follow the input order across the whole input, which
        // neither a part of it nor a second run can know.
        if (parser.isSet(options.shard))
            return fail(QStringLiteral("--bates numbers the whole input in order; it cannot be split with "
                                       "--shard"));
        if (line.resume)
            return fail(QStringLiteral("--bates numbers the whole input in order; convert it again rather "
                                       "than --resume"));
        line.jobs = 1;
    }

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
