// How long it takes to put a big folder tree into the list, and how long the
// window goes without a chance to draw meanwhile. Prints figures; not a test.
//
//   bench_add [files]      (default 100000)

#include "dialogs.h"
#include "filelisttarget.h"
#include "filelistview.h"
#include "folderscan.h"
#include "listfilling.h"
#include "settingsstore.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <unistd.h>

namespace {

class PlainList : public FileListTarget {
public:
    QStringList paths;
    bool busy = false;
    void appendItems(const QStringList& items) override { paths += items; }
    QStringList items() const override { return paths; }
    int itemCount() const override { return int(paths.size()); }
    void setBusy(bool value) override { busy = value; }
    bool isBusy() const override { return busy; }
};

// The real list widget behind the same interface the window offers.
class ViewList : public FileListTarget {
public:
    FileListView view;
    bool busy = false;
    void appendItems(const QStringList& items) override { view.appendPaths(items); }
    QStringList items() const override { return view.paths(); }
    int itemCount() const override { return view.topLevelItemCount(); }
    void setBusy(bool value) override { busy = value; }
    bool isBusy() const override { return busy; }
};

// Answers the extension box and the folder picker, says nothing else.
class AnsweringDialogs : public Dialogs {
public:
    QString extension;
    QString folder;
    int messageBox(const QString& text, int, const QString&) override
    {
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
        return AnswerOk;
    }
    QString inputBox(const QString&, const QString&, const QString&) override { return extension; }
    QStringList openFiles(const QString&, const QString&, const QString&) override { return {}; }
    QString pickFolder(const QString&, const QString&) override { return folder; }
    void openInShell(const QString&) override {}
};

// 10 x 10 x 10 folders, the files spread over the deepest ones; one in ten
// is a .txt and one in fifty a "~" lock file, as real mail folders have.
int makeTree(const QString& root, int files)
{
    const int leaves = 1000;
    int made = 0;
    for (int leaf = 0; leaf < leaves; ++leaf) {
        const QString folder =
            QStringLiteral("%1/d%2/d%3/d%4").arg(root).arg(leaf / 100).arg(leaf / 10 % 10).arg(leaf % 10);
        QDir().mkpath(folder);
        const int here = files / leaves + (leaf < files % leaves ? 1 : 0);
        for (int i = 0; i < here; ++i) {
            const char* ext = i % 10 == 9 ? ".txt" : ".eml";
            const QString name =
                (i % 50 == 7 ? QStringLiteral("~m%1") : QStringLiteral("m%1")).arg(i) + QLatin1String(ext);
            const int fd = ::open(QFile::encodeName(folder + u'/' + name).constData(),
                                  O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0 && ::write(fd, "x", 1) == 1)
                ++made;
            if (fd >= 0)
                ::close(fd);
        }
    }
    return made;
}

struct Figure {
    double seconds = 0;
    double longestStallMs = 0;
};

// Runs the work with a 1 ms timer ticking in the window's event loop; the
// longest gap between ticks is how long the window could not react.
Figure measure(const std::function<void()>& work)
{
    QElapsedTimer sinceTick;
    double longest = 0;
    QTimer ticker;
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        longest = std::max(longest, sinceTick.nsecsElapsed() / 1e6);
        sinceTick.restart();
    });
    ticker.start();
    QCoreApplication::processEvents();
    sinceTick.start();
    QElapsedTimer clock;
    clock.start();
    work();
    const double seconds = clock.nsecsElapsed() / 1e9;
    longest = std::max(longest, sinceTick.nsecsElapsed() / 1e6);
    ticker.stop();
    return {seconds, longest};
}

void print(const char* what, const Figure& f, qsizetype items)
{
    std::printf("%-44s %8.2f s  %9lld items  longest stall %7.1f ms\n", what, f.seconds,
                static_cast<long long>(items), f.longestStallMs);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int files = argc > 1 ? std::atoi(argv[1]) : 100000;

    QTemporaryDir tmp;
    const QString root = tmp.path() + QStringLiteral("/tree");
    QElapsedTimer clock;
    clock.start();
    const int made = makeTree(root, files);
    std::printf("tree: %d files in 1000 folders under %s, made in %.2f s\n", made, qPrintable(root),
                clock.nsecsElapsed() / 1e9);
    std::fflush(stdout);

    AnsweringDialogs dialogs;
    {
        FolderList folders{root + u'/'};
        const Figure f = measure([&] { GetSubDirectories2016(dialogs, folders, true); });
        print("scan folders only", f, folders.size());
    }
    {
        PlainList list;
        const Figure f = measure([&] { AddDroppedPaths(dialogs, {root}, list); });
        print("drop the tree, plain list", f, list.paths.size());
    }
    {
        QTemporaryDir store;
        SettingsStore settings(store.filePath(QStringLiteral("bench.ini")));
        dialogs.extension = QStringLiteral("eml");
        dialogs.folder = root;
        PlainList list;
        const Figure f = measure([&] { AddAllFilesInFolder(dialogs, settings, list); });
        print("add all *.eml in folder, plain list", f, list.paths.size());
    }

    QStringList all;
    {
        ViewList list;
        list.view.resize(800, 600);
        list.view.show();
        const Figure f = measure([&] { AddDroppedPaths(dialogs, {root}, list); });
        print("drop the tree, list widget", f, list.itemCount());
        all = list.items();
    }
    {
        // Side by side on the same first 5000 paths: into the widget in runs
        // of 2000 with a yield after each run (what the fillers do), and one
        // by one with a yield after each path. The second grows with the
        // list, so it is measured on a part only.
        const QStringList some = all.mid(0, 5000);
        ViewList batched;
        batched.view.show();
        const Figure b = measure([&] {
            for (qsizetype i = 0; i < some.size(); i += 2000) {
                batched.appendItems(some.mid(i, 2000));
                QCoreApplication::processEvents();
            }
        });
        print("list widget, 5000 paths in runs of 2000", b, batched.itemCount());
        ViewList single;
        single.view.show();
        const Figure s = measure([&] {
            for (const QString& path : some) {
                single.appendItems({path});
                QCoreApplication::processEvents();
            }
        });
        print("list widget, 5000 paths one by one", s, single.itemCount());
        std::printf("one by one / runs of 2000: %.0fx\n", b.seconds > 0 ? s.seconds / b.seconds : 0.0);
    }
    return 0;
}
