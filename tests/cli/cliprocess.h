#pragma once

#include "tiffwriter.h" // TiffPageCount

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <tiffio.h>

#include <algorithm>
#include <vector>

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

// 'r', 'g' or 'b' for the colour that most of the first page's coloured
// pixels lean to; ' ' when the page has none or cannot be read.
inline QChar DominantColour(const QString& path)
{
    TIFF* tiff = TIFFOpen(path.toLocal8Bit().constData(), "r");
    if (!tiff)
        return QLatin1Char(' ');
    uint32_t width = 0;
    uint32_t height = 0;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    std::vector<uint32_t> pixels(size_t(width) * height);
    const bool read = TIFFReadRGBAImage(tiff, width, height, pixels.data(), 0) != 0;
    TIFFClose(tiff);
    if (!read)
        return QLatin1Char(' ');
    long counts[3] = {0, 0, 0};
    for (const uint32_t pixel : pixels) {
        const int channel[3] = {int(TIFFGetR(pixel)), int(TIFFGetG(pixel)), int(TIFFGetB(pixel))};
        for (int c = 0; c < 3; ++c)
            if (channel[c] > 150 && channel[(c + 1) % 3] < 100 && channel[(c + 2) % 3] < 100)
                ++counts[c];
    }
    const long most = std::max({counts[0], counts[1], counts[2]});
    if (most == 0)
        return QLatin1Char(' ');
    return QLatin1Char(most == counts[0] ? 'r' : most == counts[1] ? 'g' : 'b');
}
