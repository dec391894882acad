#include "commandline.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>

namespace {

constexpr int kMostJobs = 64;

const QString kDescription =
    QStringLiteral("Converts e-mail messages (.eml, .msg and .emlx files, mbox files, Outlook\n"
                   "PST/OST stores, Maildirs) into multi-page TIFF images, one per message,\n"
                   "with the From, To, Subject and Date lines above the body.\n"
                   "\n"
                   "A path is a message file, an mbox file, a PST or a folder; a folder stands\n"
                   "for every .eml, .msg, .emlx, .pst and .ost file in its whole tree (any\n"
                   "letter case), with --mbox-scan also for its mbox files and with\n"
                   "--maildir-scan for its Maildirs; a folder that is a Maildir stands for its\n"
                   "messages. Each message of an mbox becomes <mbox name>-00001.tiff,\n"
                   "-00002.tiff ... in mbox order; each item of a PST\n"
                   "<store name>/<folder path>/00001.tiff ... in folder order.\n"
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
    QCommandLineOption maxPages{QStringLiteral("max-pages"),
                                QStringLiteral("Fail a message that lays out as more than <n> pages, "
                                               "attachments included, before any is rasterised (1 to "
                                               "100000, default 2000)."),
                                QStringLiteral("n")};
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
                                             "and whose TIFF is still there; convert the rest. With "
                                             "--production, go on with the production in its folder."),
                              QString()};
    QCommandLineOption shard{
        QStringLiteral("shard"),
        QStringLiteral("Convert only part <k> of <n> disjoint parts of the input (k from "
                       "0 to n-1); the parts together are the whole input."),
        QStringLiteral("k/n")};
    QCommandLineOption quiet{{QStringLiteral("q"), QStringLiteral("quiet")},
                             QStringLiteral("Print only failures and the summary."),
                             QString()};
    QCommandLineOption maildirScan{QStringLiteral("maildir-scan"),
                                   QStringLiteral("In folders, also convert Maildirs (folders with cur, new "
                                                  "and tmp): the messages in their cur and new."),
                                   QString()};
    QCommandLineOption worker{QStringLiteral("worker"), QStringLiteral("Internal: serve a run as a worker.")};
    QCommandLineOption listPst{QStringLiteral("list-pst"), QStringLiteral("Internal: list a PST's items.")};
    QCommandLineOption extractPst{QStringLiteral("extract-pst"),
                                  QStringLiteral("Internal: write one item of a PST as a message."),
                                  QStringLiteral("item")};
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
                       "first number 1, 6 digits; ABC-000000001: prefix ABC-, 9 digits), counting on across "
                       "messages in input order, and write the Opticon load file <dir>/PREFIX.opt beside "
                       "the images. Implies --pages single, needs --out or --production; a message that "
                       "fails takes no numbers."),
        QStringLiteral("PREFIX[START]")};
    QCommandLineOption production{
        QStringLiteral("production"),
        QStringLiteral("Make a production volume in <dir>: single-page black and white TIFFs at 300 dpi "
                       "named by their --bates numbers (IMAGES), one text per document (TEXT), natives "
                       "with slip sheets (NATIVES), and the load files DATA/<volume>.opt, .dat and .csv; "
                       "each attachment is a document of its own after its message; exact duplicates are "
                       "left out; the volume is checked at the end."),
        QStringLiteral("dir")};
    QCommandLineOption volume{QStringLiteral("volume"),
                              QStringLiteral("The volume's name in the load files and their names (default "
                                             "VOL001): letters, digits, '.', '_' and '-'."),
                              QStringLiteral("name")};
    QCommandLineOption custodian{QStringLiteral("custodian"),
                                 QStringLiteral("The CUSTODIAN field of every document of the production."),
                                 QStringLiteral("name")};
    QCommandLineOption natives{
        QStringLiteral("natives"),
        QStringLiteral("Which attachments a production hands over as they came, with a slip sheet: any of "
                       "spreadsheets, media, archives, presentations (only where LibreOffice Impress is "
                       "missing), comma-separated, or none (default: all of them)."),
        QStringLiteral("kinds")};
    QCommandLineOption noDedupe{QStringLiteral("no-dedupe"),
                                QStringLiteral("Produce exact duplicates too; by default a production leaves "
                                               "out a message whose bytes it has produced already.")};
    QCommandLineOption dedupe{QStringLiteral("dedupe"),
                              QStringLiteral("Leave out exact duplicates (the default of a production).")};
    QCommandLineOption ocr{QStringLiteral("ocr"),
                           QStringLiteral("Read the text of pictures and of PDF pages without text with "
                                          "Tesseract (English) for a production's text files.")};
    QCommandLineOption verify{QStringLiteral("verify"),
                              QStringLiteral("Check the production in <dir> through its load files and list "
                                             "what is wrong; converts nothing."),
                              QStringLiteral("dir")};

    Options()
    {
        worker.setFlags(QCommandLineOption::HiddenFromHelp);
        listPst.setFlags(QCommandLineOption::HiddenFromHelp);
        extractPst.setFlags(QCommandLineOption::HiddenFromHelp);
    }
};

void Configure(QCommandLineParser& parser, Options& options)
{
    parser.setApplicationDescription(kDescription);
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({options.out,         options.jobs,        options.pageTimeLimit, options.mboxScan,
                       options.report,      options.resume,      options.shard,         options.quiet,
                       options.worker,      options.dpi,         options.colour,        options.pages,
                       options.header,      options.attachments, options.bates,         options.production,
                       options.volume,      options.custodian,   options.natives,       options.dedupe,
                       options.noDedupe,    options.ocr,         options.verify,        options.maxPages,
                       options.maildirScan, options.listPst,     options.extractPst});
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

bool SafeVolumeName(const QString& name)
{
    static const QRegularExpression form(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9._-]{0,63}$"));
    return form.match(name).hasMatch();
}

QString ReadProductionOptions(const QCommandLineParser& parser, const Options& options, CommandLine& line)
{
    line.verifyFolder = parser.value(options.verify);
    if (parser.isSet(options.verify) && line.verifyFolder.isEmpty())
        return QStringLiteral("--verify needs the folder of a production");
    const bool productionOnly = parser.isSet(options.volume) || parser.isSet(options.custodian) ||
                                parser.isSet(options.natives) || parser.isSet(options.dedupe) ||
                                parser.isSet(options.noDedupe) || parser.isSet(options.ocr);
    if (!parser.isSet(options.production)) {
        if (productionOnly)
            return QStringLiteral(
                "--volume, --custodian, --natives, --dedupe, --no-dedupe and --ocr belong to "
                "--production DIR");
        return {};
    }
    ProductionOptions production;
    production.folder = parser.value(options.production);
    if (production.folder.isEmpty())
        return QStringLiteral("--production needs a folder");
    if (parser.isSet(options.volume)) {
        production.volume = parser.value(options.volume);
        if (!SafeVolumeName(production.volume))
            return QStringLiteral("--volume takes a name of letters, digits, '.', '_' and '-' (at most 64, "
                                  "starting with a letter or digit), not \"%1\"")
                .arg(production.volume);
    }
    production.custodian = parser.value(options.custodian);
    if (parser.isSet(options.natives)) {
        const std::optional<NativeKinds> kinds = NativeKinds::parse(parser.value(options.natives));
        if (!kinds)
            return QStringLiteral("--natives takes spreadsheets, media, archives, presentations (comma-"
                                  "separated) or none, not \"%1\"")
                .arg(parser.value(options.natives));
        production.natives = *kinds;
    }
    if (parser.isSet(options.dedupe) && parser.isSet(options.noDedupe))
        return QStringLiteral("--dedupe and --no-dedupe contradict each other");
    production.dedupe = !parser.isSet(options.noDedupe);
    production.ocr = parser.isSet(options.ocr);
    // What a production protocol asks for, unless told otherwise.
    RenderOptions& render = line.imaging.render;
    if (!parser.isSet(options.dpi))
        render.dpi = 300;
    if (!parser.isSet(options.colour))
        render.colour = ColourMode::Mono;
    render.pages = PageFiles::Single;
    line.production = production;
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
    if (parser.isSet(options.maxPages)) {
        const std::optional<int> pages = NumberIn(parser.value(options.maxPages), 1, kMostMaxPages);
        if (!pages)
            return fail(
                QStringLiteral("--max-pages needs a number of pages from 1 to %1").arg(kMostMaxPages));
        line.maxPages = *pages;
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
    line.maildirScan = parser.isSet(options.maildirScan);
    line.listPst = parser.isSet(options.listPst);
    if (parser.isSet(options.extractPst)) {
        bool ok = false;
        const uint item = parser.value(options.extractPst).toUInt(&ok);
        if (!ok || line.paths.size() != 2)
            return fail(QStringLiteral("--extract-pst needs an item number, the PST and the destination"));
        line.extractPst = quint32(item);
    }
    if (line.listPst && line.paths.size() != 1)
        return fail(QStringLiteral("--list-pst needs one PST"));
    line.reportPath = parser.value(options.report);
    if (parser.isSet(options.report) && line.reportPath.isEmpty())
        return fail(QStringLiteral("--report needs a file"));
    line.resume = parser.isSet(options.resume);
    if (line.resume && line.reportPath.isEmpty() && !parser.isSet(options.production))
        return fail(QStringLiteral("--resume needs --report FILE: the report of the run to resume"));
    line.quiet = parser.isSet(options.quiet);
    if (const QString problem = ReadImagingOptions(parser, options, line.imaging); !problem.isEmpty())
        return fail(problem);
    if (const QString problem = ReadProductionOptions(parser, options, line); !problem.isEmpty())
        return fail(problem);
    if (line.production && !line.help && !line.version) {
        if (!line.imaging.render.bates)
            return fail(
                QStringLiteral("--production needs --bates PREFIX[START], the producing party's numbers "
                               "(ABC-000000001)"));
        if (!line.outputFolder.isEmpty())
            return fail(QStringLiteral("--production writes into its own folder; leave out --out"));
        if (parser.isSet(options.shard))
            return fail(QStringLiteral("--production numbers the whole input in order; to split one over "
                                       "machines, see \"Productions on many machines\" in the README"));
        if (parser.isSet(options.pages) || parser.isSet(options.header) || parser.isSet(options.attachments))
            return fail(
                QStringLiteral("--production lays out single pages with each attachment as a document "
                               "of its own; leave out --pages, --header and --attachments"));
    } else if (line.imaging.render.bates && !line.worker) {
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
    }

    if (!line.verifyFolder.isEmpty())
        return line;
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
