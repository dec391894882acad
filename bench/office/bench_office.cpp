// Page to RTF three ways, side by side in one run: one warm office host for
// every document, a new host per document, and soffice --convert-to per
// document. Prints per-document median and 95th percentile, the ratios and
// the host's peak memory. Not a test: it checks nothing.
//
// Usage: bench_office [max documents for soffice, default 20]

#include "mhtmlreader.h"
#include "officehostclient.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>

#include <algorithm>
#include <cstdio>

namespace
{

struct Figures {
    QList<double> ms;
    int failed = 0;
    void add(bool ok, const QElapsedTimer& timer)
    {
        if (ok)
            ms << timer.nsecsElapsed() / 1e6;
        else
            ++failed;
    }
    double median() const { return percentile(0.5); }
    double p95() const { return percentile(0.95); }
    double percentile(double p) const
    {
        if (ms.isEmpty())
            return 0;
        QList<double> sorted = ms;
        std::sort(sorted.begin(), sorted.end());
        return sorted[qMin(sorted.size() - 1, qsizetype(p * (sorted.size() - 1) + 0.5))];
    }
};

QStringList inputMessages()
{
    QStringList messages;
    for (const QString& folder : {QStringLiteral(QM_SOURCE_DIR "/samples"), QStringLiteral(QM_CORPUS_DIR)}) {
        QDirIterator it(folder, {QStringLiteral("*.eml")}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext())
            messages << it.next();
    }
    messages.sort();
    return messages;
}

bool convertThrough(OfficeHostClient& client, const QString& page, const QString& rtf)
{
    try {
        const int handle =
            client.call({{QStringLiteral("op"), QStringLiteral("open")}, {QStringLiteral("path"), page}})
                .value(QStringLiteral("handle"))
                .toInt();
        client.call({{QStringLiteral("op"), QStringLiteral("save")},
                     {QStringLiteral("handle"), handle},
                     {QStringLiteral("path"), rtf},
                     {QStringLiteral("format"), 6}});
        client.call({{QStringLiteral("op"), QStringLiteral("close")}, {QStringLiteral("handle"), handle}});
        return QFile::exists(rtf);
    } catch (const std::exception&) {
        return false;
    }
}

double peakMemoryMb(OfficeHostClient& client)
{
    return client.call({{QStringLiteral("op"), QStringLiteral("ping")}})
               .value(QStringLiteral("peakMemoryKb"))
               .toDouble() /
           1024;
}

void print(const char* name, const Figures& f, int total)
{
    std::printf("%-28s %4lld docs  median %8.1f ms   p95 %8.1f ms   failed %d of %d\n", name,
                static_cast<long long>(f.ms.size()), f.median(), f.p95(), f.failed, total);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int sofficeLimit = argc > 1 ? std::atoi(argv[1]) : 20;
    const QString host = QStringLiteral(QM_PROGRAM_DIR "/quillmark-office");
    const QStringList messages = inputMessages();
    QTemporaryDir work;
    std::printf("%lld messages (samples and corpus)\n", static_cast<long long>(messages.size()));

    // soffice cannot read MHTML (it shows the MIME source), so it gets the
    // HTML our reader extracts; the hosts get the page itself.
    QStringList htmlPages;
    for (int i = 0; i < messages.size(); ++i) {
        const QString folder = work.path() + QStringLiteral("/html%1").arg(i);
        QDir().mkpath(folder);
        try {
            htmlPages << ReadMhtmlPage(messages[i], folder, PageGeometry::a4());
        } catch (const std::exception&) {
            htmlPages << QString();
        }
    }

    Figures warm;
    double warmPeak = 0;
    {
        OfficeHostClient client(host);
        client.setProcessEventsWhileWaiting(false);
        client.ensureStarted(); // start-up is paid once per session, not per document
        QElapsedTimer timer;
        for (int i = 0; i < messages.size(); ++i) {
            timer.start();
            const bool ok =
                convertThrough(client, messages[i], work.path() + QStringLiteral("/warm%1.rtf").arg(i));
            warm.add(ok, timer);
        }
        warmPeak = peakMemoryMb(client);
    }

    Figures perDocument;
    double perDocumentPeak = 0;
    {
        QElapsedTimer timer;
        for (int i = 0; i < messages.size(); ++i) {
            timer.start();
            OfficeHostClient client(host);
            client.setProcessEventsWhileWaiting(false);
            bool ok = false;
            try {
                client.ensureStarted();
                ok = convertThrough(client, messages[i], work.path() + QStringLiteral("/cold%1.rtf").arg(i));
                perDocumentPeak = qMax(perDocumentPeak, peakMemoryMb(client));
            } catch (const std::exception&) {
            }
            client.stop();
            perDocument.add(ok, timer);
        }
    }

    Figures soffice;
    int sofficeTried = 0;
    {
        const QString profile =
            QUrl::fromLocalFile(work.path() + QStringLiteral("/soffice-profile")).toString();
        auto run = [&](const QString& page, const QString& outDir) {
            QProcess process;
            process.start(QStringLiteral("soffice"),
                          {QStringLiteral("-env:UserInstallation=") + profile, QStringLiteral("--headless"),
                           QStringLiteral("--infilter=HTML (StarWriter)"), QStringLiteral("--convert-to"),
                           QStringLiteral("rtf"), QStringLiteral("--outdir"), outDir, page});
            return process.waitForFinished(300000) && process.exitCode() == 0;
        };
        // The first run makes soffice's profile; a user pays that once.
        for (const QString& page : htmlPages)
            if (!page.isEmpty()) {
                run(page, work.path() + QStringLiteral("/soffice-warmup"));
                break;
            }
        QElapsedTimer timer;
        for (int i = 0; i < htmlPages.size() && sofficeTried < sofficeLimit; ++i) {
            if (htmlPages[i].isEmpty())
                continue;
            ++sofficeTried;
            const QString outDir = work.path() + QStringLiteral("/soffice%1").arg(i);
            timer.start();
            const bool ok = run(htmlPages[i], outDir) && QFile::exists(outDir + QStringLiteral("/page.rtf"));
            soffice.add(ok, timer);
        }
    }

    std::printf("\nPage to RTF, per document\n");
    print("warm host (one per session)", warm, int(messages.size()));
    print("new host per document", perDocument, int(messages.size()));
    print("soffice --convert-to", soffice, sofficeTried);
    std::printf("\nRatios of medians: host per document / warm host = %.1f, soffice / warm host = %.1f\n",
                perDocument.median() / qMax(0.001, warm.median()),
                soffice.median() / qMax(0.001, warm.median()));
    std::printf("Ratios of p95:     host per document / warm host = %.1f, soffice / warm host = %.1f\n",
                perDocument.p95() / qMax(0.001, warm.p95()), soffice.p95() / qMax(0.001, warm.p95()));
    std::printf(
        "Host peak memory: warm host after all documents %.0f MB; host per document at most %.0f MB\n",
        warmPeak, perDocumentPeak);
    return 0;
}
