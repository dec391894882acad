// Speed of a whole conversion run, side by side with the hand-made pipeline
// and with the floor of the warm engine's own stages; archives (PST) against
// the same messages as .eml files. Prints figures; judges nothing.
//   bench_run PROGRAM_DIR HAND_LIMIT PATH...

#include "batchinput.h"
#include "commandline.h"
#include "consoledialogs.h"
#include "messagepage.h"
#include "officeengine.h"
#include "officehostclient.h"
#include "officestep.h"
#include "paths.h"
#include "pstreader.h"
#include "stepguard.h"
#include "vexlotool.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <tiffio.h>

#include <algorithm>
#include <cstdio>

namespace {

QTextStream out(stdout);

double Percentile(QList<double> values, double share)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const qsizetype index = std::min(values.size() - 1, qsizetype(share * double(values.size() - 1) + 0.5));
    return values.at(index);
}

double Sum(const QList<double>& values)
{
    double total = 0;
    for (const double v : values)
        total += v;
    return total;
}

int TiffPages(const QString& path)
{
    TIFFSetWarningHandler(nullptr);
    TIFFSetErrorHandler(nullptr);
    TIFF* tiff = TIFFOpen(path.toLocal8Bit().constData(), "r");
    if (!tiff)
        return 0;
    const int pages = TIFFNumberOfDirectories(tiff);
    TIFFClose(tiff);
    return pages;
}

// Resident memory of a process and all its descendants, in kB.
qint64 TreeResidentKb(qint64 rootPid)
{
    QHash<qint64, qint64> parentOf;
    QHash<qint64, qint64> rssOf;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid)
            continue;
        QFile status(QStringLiteral("/proc/%1/status").arg(pid));
        if (!status.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("PPid:"))
                parentOf[pid] = line.mid(5).trimmed().toLongLong();
            else if (line.startsWith("VmRSS:"))
                rssOf[pid] = line.mid(6).trimmed().split(' ').first().toLongLong();
        }
    }
    qint64 total = 0;
    for (auto it = parentOf.cbegin(); it != parentOf.cend(); ++it) {
        for (qint64 p = it.key(); p > 1; p = parentOf.value(p, 0)) {
            if (p == rootPid) {
                total += rssOf.value(it.key());
                break;
            }
        }
    }
    return total;
}

// Runs a program to its end while sampling the memory of its process tree.
struct Watched {
    int exitCode = -1;
    qint64 peakKb = 0;
    QList<double> lineTimes; // seconds from the start, one per "[" line
    QString output;
};

Watched RunWatched(const QString& program, const QStringList& arguments)
{
    Watched result;
    QProcess process;
    QElapsedTimer clock;
    QEventLoop loop;
    QTimer sampler;
    QByteArray pending;
    sampler.setInterval(25);
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        if (process.processId() > 0)
            result.peakKb = std::max(result.peakKb, TreeResidentKb(process.processId()));
    });
    QObject::connect(&process, &QProcess::readyReadStandardOutput, [&] {
        pending += process.readAllStandardOutput();
        qsizetype end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(pending.left(end));
            pending.remove(0, end + 1);
            result.output += line + QLatin1Char('\n');
            if (line.startsWith(QLatin1Char('[')))
                result.lineTimes << clock.nsecsElapsed() / 1e9;
        }
    });
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.setStandardErrorFile(QProcess::nullDevice());
    clock.start();
    process.start(program, arguments);
    if (!process.waitForStarted()) {
        result.output = QStringLiteral("cannot start %1").arg(program);
        return result;
    }
    sampler.start();
    loop.exec();
    sampler.stop();
    result.exitCode = process.exitCode();
    return result;
}

void PrintTimes(const QString& title, const QList<double>& perMessage, double wall, qint64 peakKb)
{
    out << title << Qt::endl;
    out << QStringLiteral("  messages            %1").arg(perMessage.size()) << Qt::endl;
    out << QStringLiteral("  wall time           %1 s").arg(wall, 0, 'f', 1) << Qt::endl;
    out << QStringLiteral("  messages per minute %1").arg(perMessage.size() / wall * 60, 0, 'f', 1)
        << Qt::endl;
    out << QStringLiteral("  median per message  %1 s").arg(Percentile(perMessage, 0.5), 0, 'f', 3)
        << Qt::endl;
    out << QStringLiteral("  95th percentile     %1 s").arg(Percentile(perMessage, 0.95), 0, 'f', 3)
        << Qt::endl;
    if (peakKb > 0)
        out << QStringLiteral("  peak memory, all processes %1 MB").arg(peakKb / 1024.0, 0, 'f', 0)
            << Qt::endl;
}

// One message the way a user would script it: soffice prints it to PDF,
// pdftoppm makes one TIFF per page, convert joins them. Returns seconds.
double HandMade(const QString& message, const QString& folder, const QString& profile, qint64* peakKb)
{
    QDir(folder).removeRecursively();
    QDir().mkpath(folder);
    QElapsedTimer clock;
    clock.start();
    const QString base = QFileInfo(message).completeBaseName();
    const Watched office = RunWatched(QStringLiteral("soffice"),
                                      {QStringLiteral("-env:UserInstallation=file://") + profile,
                                       QStringLiteral("--headless"), QStringLiteral("--convert-to"),
                                       QStringLiteral("pdf"), QStringLiteral("--outdir"), folder, message});
    const QString pdf = folder + QLatin1Char('/') + base + QStringLiteral(".pdf");
    const Watched pages = RunWatched(QStringLiteral("pdftoppm"),
                                     {QStringLiteral("-r"), QStringLiteral("200"), QStringLiteral("-tiff"),
                                      QStringLiteral("-tiffcompression"), QStringLiteral("deflate"), pdf,
                                      folder + QStringLiteral("/page")});
    QStringList joined;
    for (const QString& name : QDir(folder).entryList({QStringLiteral("page*.tif")}, QDir::Files, QDir::Name))
        joined << folder + QLatin1Char('/') + name;
    joined << folder + QLatin1Char('/') + base + QStringLiteral(".tiff");
    const Watched join = RunWatched(QStringLiteral("convert"), joined);
    *peakKb = std::max({*peakKb, office.peakKb, pages.peakKb, join.peakKb});
    return clock.nsecsElapsed() / 1e9;
}

struct FloorPaths {
    QString mht, pdf, tiff;
};

struct Stages {
    double page = 0;
    double raster = 0;
    double total() const { return page + raster; }
};

// The warm engine's own work for one message, stage by stage, in this
// process: the page laid out and printed as PDF, the PDF rasterised and
// written as TIFF. No process is started per message.
Stages Floor(const QString& message, const QString& folder)
{
    ConsoleDialogs dialogs;
    StepGuard guard(dialogs, QStringLiteral("bench "));
    const FloorPaths paths{folder + QStringLiteral("/m.mht"), folder + QStringLiteral("/m.pdf"),
                           folder + QStringLiteral("/m.tiff")};
    for (const QString& path : {paths.mht, paths.pdf, paths.tiff})
        QFile::remove(path);
    Stages stages;
    QElapsedTimer clock;
    clock.start();
    CopyFileChecked(message, paths.mht);
    PrepareMessagePage(paths.mht, dialogs);
    ConvertPageToRtf(paths.mht, paths.pdf, guard, ProgramOfficeEngine());
    stages.page = clock.nsecsElapsed() / 1e9;
    if (!QFile::exists(paths.pdf))
        return stages;
    clock.restart();
    try {
        TiffDocumentInfo info;
        info.documentName = QStringLiteral("m.pdf");
        info.dpi = kPageDpi;
        ConvertPdfToTiff(paths.pdf, paths.tiff, info);
        stages.raster = clock.nsecsElapsed() / 1e9;
    } catch (const std::exception&) {
    }
    return stages;
}

} // namespace

int OpticonPages(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? int(file.readAll().count('\n')) : 0;
}

// A whole production of the messages with one worker and with two, side by
// side: pages per second from start to the check at the end, and whether
// the two volumes are the same.
void BenchProduction(const QString& programDir, const QStringList& messages, const QTemporaryDir& dir)
{
    out << Qt::endl
        << "production: the same messages with --production --jobs 1 and --jobs 2 (300 dpi, black and white)"
        << Qt::endl;
    double perSecond[2] = {0, 0};
    QByteArray load[2];
    for (const int jobs : {1, 2}) {
        const QString volume = dir.filePath(QStringLiteral("production-%1").arg(jobs));
        QElapsedTimer wall;
        wall.start();
        const Watched timed = RunWatched(
            programDir + QStringLiteral("/quillmark-convert"),
            QStringList{QStringLiteral("--production"), volume, QStringLiteral("--bates"),
                        QStringLiteral("BENCH-000000001"), QStringLiteral("--jobs"), QString::number(jobs)} +
                messages);
        const double seconds = wall.nsecsElapsed() / 1e9;
        const QString opt = volume + QStringLiteral("/DATA/VOL001.opt");
        const int pages = OpticonPages(opt);
        QFile file(opt);
        if (file.open(QIODevice::ReadOnly))
            load[jobs - 1] = file.readAll();
        perSecond[jobs - 1] = pages / seconds;
        out << QStringLiteral(
                   "  --jobs %1: %2 messages, %3 pages in %4 s, %5 pages per second, peak memory %6 MB, "
                   "exit %7")
                   .arg(jobs)
                   .arg(timed.lineTimes.size())
                   .arg(pages)
                   .arg(seconds, 0, 'f', 1)
                   .arg(perSecond[jobs - 1], 0, 'f', 2)
                   .arg(timed.peakKb / 1024.0, 0, 'f', 0)
                   .arg(timed.exitCode)
            << Qt::endl;
    }
    out << QStringLiteral("  ratio, --jobs 2 / --jobs 1 pages per second %1 x; the same .opt: %2")
               .arg(perSecond[1] / perSecond[0], 0, 'f', 2)
               .arg(load[0] == load[1] ? QStringLiteral("yes") : QStringLiteral("no"))
        << Qt::endl;
}

// The PSTs read in place against the same items written out as .eml files
// beforehand, one worker each, and the peak memory of the run over the
// largest store: a run reads one item at a time, whatever the store's size.
void BenchArchives(const QString& programDir, const QStringList& stores, const QTemporaryDir& dir)
{
    out << Qt::endl
        << "archives: PST items read in the worker against the same messages as .eml files" << Qt::endl;
    const QString emlDir = dir.filePath(QStringLiteral("pst-as-eml"));
    QDir().mkpath(emlDir);
    int items = 0;
    QString largest;
    for (const QString& store : stores) {
        if (largest.isEmpty() || QFileInfo(store).size() > QFileInfo(largest).size())
            largest = store;
        try {
            for (const PstItem& item : ListPst(store).items) {
                ExtractPstItem(
                    store, item.identifier,
                    emlDir +
                        QStringLiteral("/%1-%2.eml").arg(items, 5, 10, QLatin1Char('0')).arg(item.number));
                ++items;
            }
        } catch (const std::exception& error) {
            out << "  " << store << ": " << error.what() << Qt::endl;
        }
    }
    if (items == 0) {
        out << "  no PST items to time" << Qt::endl;
        return;
    }
    const auto timed = [&](const QString& label, const QStringList& inputs) {
        QElapsedTimer wall;
        wall.start();
        const Watched run = RunWatched(programDir + QStringLiteral("/quillmark-convert"),
                                       QStringList{QStringLiteral("--jobs"), QStringLiteral("1"),
                                                   QStringLiteral("--out"), dir.filePath(label)} +
                                           inputs);
        const double seconds = wall.nsecsElapsed() / 1e9;
        out << QStringLiteral("  %1: %2 messages in %3 s, %4 messages per second, peak memory %5 MB, exit %6")
                   .arg(label, -10)
                   .arg(run.lineTimes.size())
                   .arg(seconds, 0, 'f', 1)
                   .arg(run.lineTimes.size() / seconds, 0, 'f', 2)
                   .arg(run.peakKb / 1024.0, 0, 'f', 0)
                   .arg(run.exitCode)
            << Qt::endl;
    };
    timed(QStringLiteral("pst"), stores);
    timed(QStringLiteral("eml"), {emlDir});
    out << QStringLiteral("  largest store %1 (%2 kB):")
               .arg(QFileInfo(largest).fileName())
               .arg(QFileInfo(largest).size() / 1024)
        << Qt::endl;
    timed(QStringLiteral("largest"), {largest});
}

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 4) {
        out << "usage: bench_run PROGRAM_DIR HAND_LIMIT PATH..." << Qt::endl;
        return 2;
    }
    const QString programDir = args.at(1);
    const int handLimit = args.at(2).toInt();
    QStringList messages;
    for (const InputMessage& message : CollectInput(args.mid(3), false).messages)
        messages << message.source;
    QTemporaryDir dir;
    const QString outDir = dir.filePath(QStringLiteral("out"));
    if (qEnvironmentVariableIsSet("PRODUCTION_ONLY")) {
        BenchProduction(programDir, messages, dir);
        return 0;
    }
    QStringList stores;
    for (const QString& store : qEnvironmentVariable("PST_FILES").split(QLatin1Char(':'), Qt::SkipEmptyParts))
        stores << store;
    if (qEnvironmentVariableIsSet("ARCHIVES_ONLY")) {
        BenchArchives(programDir, stores, dir);
        return 0;
    }

    // 1. The run as a user starts it.
    QElapsedTimer wall;
    wall.start();
    // One worker, so each line's time is one message's.
    const Watched run = RunWatched(
        programDir + QStringLiteral("/quillmark-convert"),
        QStringList{QStringLiteral("--jobs"), QStringLiteral("1"), QStringLiteral("--out"), outDir} +
            messages);
    const double runWall = wall.nsecsElapsed() / 1e9;
    QList<double> perMessage;
    QList<double> onePage;
    double previous = 0;
    int converted = 0;
    const QStringList lines = run.output.split(QLatin1Char('\n'));
    qsizetype lineIndex = 0;
    for (const double t : run.lineTimes) {
        perMessage << t - previous;
        while (lineIndex < lines.size() && !lines.at(lineIndex).startsWith(QLatin1Char('[')))
            ++lineIndex;
        const QString line = lineIndex < lines.size() ? lines.at(lineIndex++) : QString();
        const qsizetype arrow = line.indexOf(QLatin1String(" -> "));
        if (arrow >= 0) {
            ++converted;
            if (TiffPages(line.mid(arrow + 4)) == 1 && previous > 0)
                onePage << t - previous;
        }
        previous = t;
    }
    PrintTimes(QStringLiteral("quillmark-convert (first message includes starting the office host)"),
               perMessage, runWall, run.peakKb);
    if (!perMessage.isEmpty())
        out << QStringLiteral("  first message       %1 s").arg(perMessage.first(), 0, 'f', 3) << Qt::endl;
    out << QStringLiteral("  converted           %1 of %2").arg(converted).arg(messages.size()) << Qt::endl;
    out << QStringLiteral("  median, one-page messages %1 s (%2 messages)")
               .arg(Percentile(onePage, 0.5), 0, 'f', 3)
               .arg(onePage.size())
        << Qt::endl;
    const double warmRun = perMessage.isEmpty() ? 0 : Sum(perMessage) - perMessage.first();
    int defaultPages = 0;
    for (const QString& line : lines)
        if (const qsizetype arrow = line.indexOf(QLatin1String(" -> ")); arrow >= 0)
            defaultPages += TiffPages(line.mid(arrow + 4));

    // 1b. The archival choice: black and white at 300 dpi, against the default,
    // with one worker like the default run.
    const QString monoDir = dir.filePath(QStringLiteral("mono"));
    wall.restart();
    const Watched mono =
        RunWatched(programDir + QStringLiteral("/quillmark-convert"),
                   QStringList{QStringLiteral("--jobs"), QStringLiteral("1"), QStringLiteral("--out"),
                               monoDir, QStringLiteral("--colour"), QStringLiteral("mono"),
                               QStringLiteral("--dpi"), QStringLiteral("300")} +
                       messages);
    const double monoWall = wall.nsecsElapsed() / 1e9;
    int monoPages = 0;
    qint64 monoBytes = 0;
    for (const QString& line : mono.output.split(QLatin1Char('\n')))
        if (const qsizetype arrow = line.indexOf(QLatin1String(" -> ")); arrow >= 0) {
            monoPages += TiffPages(line.mid(arrow + 4));
            monoBytes += QFileInfo(line.mid(arrow + 4)).size();
        }
    qint64 defaultBytes = 0;
    for (const QString& name : QDir(outDir).entryList({QStringLiteral("*.tiff")}, QDir::Files))
        defaultBytes += QFileInfo(outDir + QLatin1Char('/') + name).size();
    out << Qt::endl
        << "time per page, whole run (first message includes starting the office host)" << Qt::endl;
    out << QStringLiteral("  default (auto colour, 200 dpi, LZW)  %1 s per page, %2 pages, %3 kB per page")
               .arg(defaultPages ? runWall / defaultPages : 0, 0, 'f', 3)
               .arg(defaultPages)
               .arg(defaultPages ? defaultBytes / 1024.0 / defaultPages : 0, 0, 'f', 0)
        << Qt::endl;
    out << QStringLiteral("  --colour mono --dpi 300 (Group 4)     %1 s per page, %2 pages, %3 kB per page")
               .arg(monoPages ? monoWall / monoPages : 0, 0, 'f', 3)
               .arg(monoPages)
               .arg(monoPages ? monoBytes / 1024.0 / monoPages : 0, 0, 'f', 0)
        << Qt::endl;

    // 2. By hand, on the same messages.
    const QStringList handMessages = handLimit > 0 ? messages.mid(0, handLimit) : messages;
    const QString profile = dir.filePath(QStringLiteral("profile"));
    qint64 handPeak = 0;
    HandMade(handMessages.first(), dir.filePath(QStringLiteral("hand")), profile,
             &handPeak); // makes the profile
    QList<double> hand;
    wall.restart();
    for (const QString& message : handMessages)
        hand << HandMade(message, dir.filePath(QStringLiteral("hand")), profile, &handPeak);
    const double handWall = wall.nsecsElapsed() / 1e9;
    out << Qt::endl;
    PrintTimes(QStringLiteral("by hand: soffice --convert-to pdf, pdftoppm -tiff, convert"), hand, handWall,
               handPeak);
    const QList<double> sameRun = perMessage.mid(0, handMessages.size());
    out << QStringLiteral("  ratio, median by hand / median of the run      %1 x")
               .arg(Percentile(hand, 0.5) / Percentile(sameRun, 0.5), 0, 'f', 1)
        << Qt::endl;
    out << QStringLiteral("  ratio, total by hand / total of the run        %1 x")
               .arg(Sum(hand) / Sum(sameRun), 0, 'f', 1)
        << Qt::endl;

    // 3. The floor: the warm engine's stages, nothing else.
    SetOfficeHostProgram(programDir + QStringLiteral("/quillmark-office"));
    const QString floorDir = dir.filePath(QStringLiteral("floor"));
    QDir().mkpath(floorDir);
    Floor(messages.first(), floorDir); // starts and warms the host
    qputenv(kOfficeSocketVariable, OfficeHostSocketName().toUtf8());
    Floor(messages.first(), floorDir);
    Stages sum;
    QList<double> floorPerMessage;
    for (const QString& message : messages.mid(1)) {
        const Stages s = Floor(message, floorDir);
        sum.page += s.page;
        sum.raster += s.raster;
        floorPerMessage << s.total();
    }
    out << Qt::endl << "floor: the warm engine's own stages, messages 2.." << messages.size() << Qt::endl;
    out << QStringLiteral("  page -> PDF         %1 s").arg(sum.page, 0, 'f', 1) << Qt::endl;
    out << QStringLiteral("  rasterise + write   %1 s").arg(sum.raster, 0, 'f', 1) << Qt::endl;
    out << QStringLiteral("  sum                 %1 s (median %2 s per message)")
               .arg(sum.total(), 0, 'f', 1)
               .arg(Percentile(floorPerMessage, 0.5), 0, 'f', 3)
        << Qt::endl;
    out << QStringLiteral("  the run, messages 2..%1: %2 s = %3 x the floor")
               .arg(messages.size())
               .arg(warmRun, 0, 'f', 1)
               .arg(warmRun / sum.total(), 0, 'f', 2)
        << Qt::endl;

    // 4. Workers: the same messages with one and with two, side by side.
    out << Qt::endl << "workers: the same messages with --jobs 1 and --jobs 2" << Qt::endl;
    double perMinute[2] = {0, 0};
    for (const int jobs : {1, 2}) {
        const QString jobsOut = dir.filePath(QStringLiteral("jobs-%1").arg(jobs));
        wall.restart();
        const Watched timed = RunWatched(
            programDir + QStringLiteral("/quillmark-convert"),
            QStringList{QStringLiteral("--jobs"), QString::number(jobs), QStringLiteral("--out"), jobsOut} +
                messages);
        const double seconds = wall.nsecsElapsed() / 1e9;
        perMinute[jobs - 1] = double(timed.lineTimes.size()) / seconds * 60;
        out << QStringLiteral("  --jobs %1: %2 messages in %3 s, %4 messages per minute, peak memory %5 MB")
                   .arg(jobs)
                   .arg(timed.lineTimes.size())
                   .arg(seconds, 0, 'f', 1)
                   .arg(perMinute[jobs - 1], 0, 'f', 1)
                   .arg(timed.peakKb / 1024.0, 0, 'f', 0)
            << Qt::endl;
    }
    out << QStringLiteral("  ratio, --jobs 2 / --jobs 1 messages per minute %1 x")
               .arg(perMinute[1] / perMinute[0], 0, 'f', 2)
        << Qt::endl;
    BenchProduction(programDir, messages, dir);
    if (!stores.isEmpty())
        BenchArchives(programDir, stores, dir);
    return 0;
}
