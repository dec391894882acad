#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <tiffio.h>

// One run of quillmark-convert from the program folder, as a shell would
// start it, with its work files in a folder of the test's own.
struct CliRun {
    int exitCode = -1;
    QString out;
    QString err;

    // The output lines that report a message ("[i/n] ...").
    QStringList messageLines() const
    {
        QStringList lines;
        for (const QString& line : out.split(QLatin1Char('\n')))
            if (line.startsWith(QLatin1Char('[')))
                lines << line;
        return lines;
    }
};

inline CliRun RunCli(const QStringList& arguments, const QString& workFolder = {}, int timeoutMs = 600000)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!workFolder.isEmpty())
        environment.insert(QStringLiteral("TEMP"), workFolder);
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(QM_PROGRAM_DIR "/quillmark-convert"), arguments);
    CliRun run;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        run.err = QStringLiteral("quillmark-convert did not finish in time");
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

// The number of pages of a TIFF file; 0 when it cannot be read.
inline int TiffPageCount(const QString& path)
{
    TIFF* tiff = TIFFOpen(path.toLocal8Bit().constData(), "r");
    if (!tiff)
        return 0;
    const int pages = TIFFNumberOfDirectories(tiff);
    TIFFClose(tiff);
    return pages;
}
