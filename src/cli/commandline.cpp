#include "commandline.h"

#include "consoledialogs.h"
#include "conversionrun.h"
#include "folderscan.h"
#include "messageconverter.h"
#include "paths.h"
#include "stepguard.h"

#include <QDir>
#include <QFileInfo>
#include <QTextStream>

std::optional<CommandLine> ParseCommandLine(const QStringList& arguments, QString* error)
{
    CommandLine line;
    bool optionsEnded = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        if (optionsEnded || !argument.startsWith(QLatin1Char('-')) || argument == QLatin1String("-")) {
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
    return line;
}

QString UsageText()
{
    return QStringLiteral("Usage: quillmark-convert [--out DIR] [--page-time-limit SECONDS] PATH...\n"
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
    const int total = int(messages.size());
    QStringList failed;
    for (int i = 0; i < total; ++i) {
        const QString& messagePath = messages.at(i);
        StepGuard guard(dialogs, QString::fromLatin1(kConversionRunLocation));
        const WorkPaths work = FormWorkPaths(messagePath, workFolder.path());
        const QString folder = outputFolder.isEmpty() ? GetFolderPart(messagePath) : outputFolder;
        const QString outputPath = outputNames.claim(OutputPathFor(messagePath, folder), messagePath);

        const MessageResult result = converter.convert(guard, messagePath, work, outputPath, nullptr, total);
        const QString counter = QStringLiteral("[%1/%2] ").arg(i + 1).arg(total);
        const QStringList reports = dialogs.takeMessages();
        if (result.converted) {
            outputNames.markWritten(outputPath);
            out << counter << messagePath << " -> " << QDir::cleanPath(outputPath) << Qt::endl;
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

    out << QStringLiteral("%1 of %2 %3 converted")
               .arg(total - failed.size())
               .arg(total)
               .arg(total == 1 ? QStringLiteral("message") : QStringLiteral("messages"));
    if (failed.isEmpty()) {
        out << "." << Qt::endl;
        return total > 0 ? kExitAllConverted : kExitSomeFailed;
    }
    out << QStringLiteral("; %1 failed:").arg(failed.size()) << Qt::endl;
    for (const QString& path : std::as_const(failed))
        out << "  " << path << Qt::endl;
    return kExitSomeFailed;
}
