#include "commandline.h"

#include "consoledialogs.h"
#include "conversionrun.h"
#include "folderscan.h"
#include "messageconverter.h"
#include "opticon.h"
#include "paths.h"
#include "stepguard.h"

#include <QDir>
#include <QFileInfo>
#include <QTextStream>

namespace {

// Reads one imaging option and its value into `imaging`; false with the
// reason in *error when the value makes no sense.
bool ParseImagingOption(const QString& name, const QString& value, ImagingOptions& imaging, QString* error)
{
    RenderOptions& render = imaging.render;
    if (name == QLatin1String("--dpi")) {
        bool ok = false;
        const int dpi = value.toInt(&ok);
        if (!ok || dpi < kLeastDpi || dpi > kMostDpi) {
            *error = QStringLiteral("--dpi needs a number from %1 to %2").arg(kLeastDpi).arg(kMostDpi);
            return false;
        }
        render.dpi = dpi;
    } else if (name == QLatin1String("--colour") || name == QLatin1String("--color")) {
        const auto mode = ParseColourMode(value);
        if (!mode) {
            *error = QStringLiteral("%1 is auto, colour, grey or mono, not \"%2\"").arg(name, value);
            return false;
        }
        render.colour = *mode;
    } else if (name == QLatin1String("--pages")) {
        if (value != QLatin1String("single") && value != QLatin1String("multi")) {
            *error = QStringLiteral("--pages is single or multi, not \"%1\"").arg(value);
            return false;
        }
        render.pages = value == QLatin1String("single") ? PageFiles::Single : PageFiles::Multi;
    } else if (name == QLatin1String("--header")) {
        for (const QString& item : value.split(QLatin1Char(','))) {
            const QString line = item.trimmed();
            if (line == QLatin1String("cc")) {
                imaging.headerCc = true;
            } else if (line == QLatin1String("attachments")) {
                imaging.headerAttachments = true;
            } else {
                *error = QStringLiteral("--header takes cc, attachments or both (cc,attachments), not \"%1\"")
                             .arg(line);
                return false;
            }
        }
    } else if (name == QLatin1String("--bates")) {
        const auto numbering = BatesNumbering::parse(value);
        if (!numbering) {
            *error = QStringLiteral("--bates needs a prefix and, if you like, the first number (ABC000001); "
                                    "the prefix must not hold separators, commas or quotes, nor start with "
                                    "'.' or '-'");
            return false;
        }
        render.bates = numbering;
    } else {
        return false;
    }
    return true;
}

const QStringList kImagingOptions = {QStringLiteral("--dpi"),    QStringLiteral("--colour"),
                                     QStringLiteral("--color"),  QStringLiteral("--pages"),
                                     QStringLiteral("--header"), QStringLiteral("--bates")};

} // namespace

std::optional<CommandLine> ParseCommandLine(const QStringList& arguments, QString* error)
{
    CommandLine line;
    bool optionsEnded = false;
    bool pagesGiven = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        const QString optionName = argument.section(QLatin1Char('='), 0, 0);
        if (!optionsEnded && kImagingOptions.contains(optionName)) {
            QString value;
            if (argument.contains(QLatin1Char('='))) {
                value = argument.section(QLatin1Char('='), 1);
            } else if (i + 1 < arguments.size()) {
                value = arguments.at(++i);
            } else {
                *error = QStringLiteral("%1 needs a value").arg(optionName);
                return std::nullopt;
            }
            if (!ParseImagingOption(optionName, value, line.imaging, error))
                return std::nullopt;
            pagesGiven = pagesGiven || optionName == QLatin1String("--pages");
        } else if (!optionsEnded && argument == QLatin1String("--attachments")) {
            line.imaging.attachments = true;
        } else if (optionsEnded || !argument.startsWith(QLatin1Char('-')) || argument == QLatin1String("-")) {
            line.paths.append(argument);
        } else if (argument == QLatin1String("--")) {
            optionsEnded = true;
        } else if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            line.help = true;
        } else if (argument == QLatin1String("--out") || argument == QLatin1String("-o")) {
            if (i + 1 >= arguments.size() || arguments.at(i + 1).isEmpty()) {
                *error = QStringLiteral("%1 needs a folder").arg(argument);
                return std::nullopt;
            }
            line.outputFolder = arguments.at(++i);
        } else if (argument == QLatin1String("--page-time-limit")) {
            bool ok = false;
            const int seconds = i + 1 < arguments.size() ? arguments.at(i + 1).toInt(&ok) : 0;
            if (!ok || seconds < 1 || seconds > 3600) {
                *error = QStringLiteral("--page-time-limit needs a number of seconds from 1 to 3600");
                return std::nullopt;
            }
            line.pageTimeLimitSeconds = seconds;
            ++i;
        } else if (argument.startsWith(QLatin1String("--out="))) {
            line.outputFolder = argument.mid(6);
            if (line.outputFolder.isEmpty()) {
                *error = QStringLiteral("--out needs a folder");
                return std::nullopt;
            }
        } else {
            *error = QStringLiteral("unknown option %1").arg(argument);
            return std::nullopt;
        }
    }
    if (!line.help && line.paths.isEmpty()) {
        *error = QStringLiteral("no messages or folders given");
        return std::nullopt;
    }
    if (line.imaging.render.bates) {
        // Each page gets its own number and its own line in the load file.
        if (pagesGiven && line.imaging.render.pages == PageFiles::Multi) {
            *error = QStringLiteral("--bates writes one TIFF per page; leave out --pages multi");
            return std::nullopt;
        }
        line.imaging.render.pages = PageFiles::Single;
        if (line.outputFolder.isEmpty() && !line.help) {
            *error = QStringLiteral(
                "--bates needs --out DIR: the page images and the load file go into one folder");
            return std::nullopt;
        }
    }
    return line;
}

QString UsageText()
{
    return QStringLiteral(
        "Usage: quillmark-convert [--out DIR] [--page-time-limit SECONDS] [OPTIONS] PATH...\n"
        "\n"
        "Converts e-mail messages (.eml) into multi-page TIFF images, one per\n"
        "message, with the From, To, Subject and Date lines above the body.\n"
        "\n"
        "PATH is a message file or a folder; a folder stands for every .eml file\n"
        "in its whole tree (any letter case).\n"
        "\n"
        "  -o, --out DIR   write the TIFF files into DIR (made when missing);\n"
        "                  without it each TIFF goes beside its message\n"
        "  --page-time-limit SECONDS\n"
        "                  give up on a message whose page does not load and\n"
        "                  print within SECONDS (default 60); the next message\n"
        "                  gets a fresh page engine\n"
        "  -h, --help      show this text\n"
        "\n"
        "Imaging options, for archives and legal productions (the defaults write\n"
        "what the window writes):\n"
        "  --dpi N         resolution, 72 to 600 (default 200)\n"
        "  --colour MODE   auto (grey unless the page has colour; the default),\n"
        "                  colour, grey, or mono: 1 bit per pixel with CCITT\n"
        "                  Group 4 compression, text cut sharp, pictures dithered\n"
        "  --pages single  one TIFF per page: name_0001.tiff, name_0002.tiff, ...\n"
        "                  (all pages of a message appear, or none); multi, the\n"
        "                  default, writes one multi-page TIFF per message\n"
        "  --header cc,attachments\n"
        "                  below the four header lines, a \"Cc: \" line (when the\n"
        "                  message has one) and an \"Attachments: \" line naming\n"
        "                  each attachment with its size; either or both\n"
        "  --attachments   after the message's pages, the pages of each attachment,\n"
        "                  in the order of the message: PDFs, pictures, text, HTML,\n"
        "                  attached messages and office documents; an attachment\n"
        "                  that cannot be laid out gets a page that says so\n"
        "  --bates PREFIX[START]\n"
        "                  stamp a number (ABC000001: prefix ABC, first number 1,\n"
        "                  6 digits) in the bottom right corner of every page,\n"
        "                  counting on across messages in the order given, and\n"
        "                  write the Opticon load file DIR/PREFIX.opt (volume\n"
        "                  PREFIX); implies --pages single and needs --out DIR.\n"
        "                  Messages are converted one at a time; a message that\n"
        "                  fails takes no numbers\n"
        "\n"
        "A TIFF file of an earlier run is replaced; two messages of one run with\n"
        "the same name get \"name.tiff\", \"name (2).tiff\", ...\n"
        "\n"
        "Exit status: 0 every message converted, 1 any message failed or none was\n"
        "found, 2 bad arguments.\n");
}

QStringList CollectMessages(const QStringList& paths, QStringList* unreadable)
{
    ConsoleDialogs dialogs;
    QStringList messages;
    for (const QString& path : paths) {
        const QFileInfo info(path);
        const QString absolute = QDir::cleanPath(info.absoluteFilePath());
        if (!info.isDir()) {
            messages.append(absolute);
            continue;
        }
        FolderList folders{absolute.endsWith(QLatin1Char('/')) ? absolute : absolute + QLatin1Char('/')};
        FolderList skipped;
        GetSubDirectories2016(dialogs, folders, true, &skipped);
        for (const QString& folder : std::as_const(folders)) {
            try {
                for (const QString& name : ListFilesInFolder(folder, QStringLiteral("*.eml")))
                    if (!IsHiddenName(name))
                        messages.append(folder + name);
            } catch (const std::exception&) {
                skipped.append(folder);
            }
        }
        if (unreadable) {
            *unreadable += skipped;
            *unreadable += dialogs.takeMessages();
        }
    }
    return messages;
}

namespace {

// Load file lines hold no quoting: a comma in an image's name would split
// its line.
QString LoadFileSafe(const QString& outputPath)
{
    QString safe = outputPath;
    const qsizetype slash = safe.lastIndexOf(QLatin1Char('/'));
    for (qsizetype i = slash + 1; i < safe.size(); ++i)
        if (safe.at(i) == QLatin1Char(','))
            safe[i] = QLatin1Char('_');
    return safe;
}

QString ConvertedText(const MessageResult& result, const ImagingOptions& imaging)
{
    QString text = QDir::cleanPath(result.outputPaths.value(0));
    if (result.outputPaths.size() > 1)
        text += QStringLiteral(" to %1").arg(QFileInfo(result.outputPaths.last()).fileName());
    if (imaging.render.pages == PageFiles::Single || imaging.attachments || imaging.render.bates) {
        text += QStringLiteral(" (%1 %2)").arg(result.pages).arg(result.pages == 1 ? "page" : "pages");
        if (const auto& bates = imaging.render.bates) {
            text.chop(1);
            text += QStringLiteral(", %1 to %2)")
                        .arg(bates->number(result.firstBatesNumber),
                             bates->number(result.firstBatesNumber + result.pages - 1));
        }
    }
    return text;
}

} // namespace

int ConvertMessages(const QStringList& messages, const QString& outputFolder, MessageConverter& converter,
                    QTextStream& out, QTextStream& err)
{
    ConsoleDialogs dialogs;
    OutputNames outputNames;
    const RunWorkFolder workFolder(converter.workParent());
    if (!workFolder.isValid()) {
        err << "quillmark-convert: " << workFolder.problem() << Qt::endl;
        return kExitSomeFailed;
    }
    const ImagingOptions& imaging = converter.imagingOptions();
    std::optional<OpticonLoadFile> loadFile;
    if (imaging.render.bates)
        loadFile.emplace(*imaging.render.bates, outputFolder);
    const int total = int(messages.size());
    QStringList failed;
    for (int i = 0; i < total; ++i) {
        const QString& messagePath = messages.at(i);
        StepGuard guard(dialogs, QString::fromLatin1(kConversionRunLocation));
        const WorkPaths work = FormWorkPaths(messagePath, workFolder.path());
        const QString folder = outputFolder.isEmpty() ? GetFolderPart(messagePath) : outputFolder;
        QString outputPath = OutputPathFor(messagePath, folder);
        if (loadFile)
            outputPath = LoadFileSafe(outputPath);
        outputPath = outputNames.claim(outputPath, messagePath);

        const MessageResult result = converter.convert(guard, messagePath, work, outputPath, nullptr, total);
        const QString counter = QStringLiteral("[%1/%2] ").arg(i + 1).arg(total);
        const QStringList reports = dialogs.takeMessages();
        if (result.converted) {
            outputNames.markWritten(outputPath);
            if (loadFile)
                loadFile->addDocument(result.firstBatesNumber, result.outputPaths);
            out << counter << messagePath << " -> " << ConvertedText(result, imaging) << Qt::endl;
        } else {
            failed.append(messagePath);
            // The first failing step usually says what went wrong; the ones
            // after it fail for the same reason.
            out << counter << messagePath << ": failed: " << result.reason;
            if (!reports.isEmpty())
                out << " (" << reports.first() << ")";
            out << Qt::endl;
        }
        for (const QString& report : reports)
            err << "    " << report << Qt::endl;
    }

    bool loadFileWritten = true;
    if (loadFile) {
        try {
            loadFile->write();
            out << "Load file: " << loadFile->path() << Qt::endl;
        } catch (const std::exception& error) {
            err << "quillmark-convert: " << error.what() << "; check that the folder can be written"
                << Qt::endl;
            loadFileWritten = false;
        }
    }
    out << QStringLiteral("%1 of %2 %3 converted")
               .arg(total - failed.size())
               .arg(total)
               .arg(total == 1 ? QStringLiteral("message") : QStringLiteral("messages"));
    if (failed.isEmpty()) {
        out << "." << Qt::endl;
        return total > 0 && loadFileWritten ? kExitAllConverted : kExitSomeFailed;
    }
    out << QStringLiteral("; %1 failed:").arg(failed.size()) << Qt::endl;
    for (const QString& path : std::as_const(failed))
        out << "  " << path << Qt::endl;
    return kExitSomeFailed;
}
