// Installs this build tree into a temporary prefix, as `cmake --install` does
// for a user or a package, and checks that the installed program works from
// there: the folder is complete, the commands in bin/ lead to it, the menu
// entry names what is installed, and the installed tools run.
#include "paths.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

namespace {

const QStringList kExecutables = {QStringLiteral("quillmark"), QStringLiteral("quillmark-office"),
                                  QStringLiteral("vexlo"), QStringLiteral("quillmark-convert")};
const QStringList kCommands = {QStringLiteral("quillmark"), QStringLiteral("quillmark-convert")};

QByteArray bytesOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable " + path.toUtf8() + '>');
}

struct Finished {
    int exitCode = -1;
    QByteArray output;
};

// Runs a program to its end with standard error folded into the output, which
// the failing check shows.
Finished runToEnd(const QString& program, const QStringList& arguments,
                  const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment(),
                  const QString& workingFolder = QString(), int seconds = 120)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    if (!workingFolder.isEmpty())
        process.setWorkingDirectory(workingFolder);
    process.start(program, arguments);
    Finished result;
    if (!process.waitForFinished(seconds * 1000)) {
        process.kill();
        process.waitForFinished();
        result.output = "did not finish in time: " + process.readAll();
        return result;
    }
    result.output = process.readAll();
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return result;
}

// A user's environment with a home of its own: no settings, office profile or
// office host of the developer's session leaks in. The work folder is apart
// from the home, so what a run leaves there is not taken for its result.
QProcessEnvironment userEnvironment(const QString& home, const QString& work)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString& name : environment.keys()) {
        if (name.startsWith(QStringLiteral("QUILLMARK_")) || name.startsWith(QStringLiteral("XDG_")))
            environment.remove(name);
    }
    environment.insert(QStringLiteral("HOME"), home);
    environment.insert(QStringLiteral("TEMP"), work);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return environment;
}

// Width and height from a PNG's header, so the check needs no image library.
QSize pngSize(const QByteArray& png)
{
    if (png.size() < 24 || !png.startsWith("\x89PNG\r\n\x1a\n"))
        return {};
    const auto be32 = [&](int at) {
        return (uchar(png[at]) << 24) | (uchar(png[at + 1]) << 16) | (uchar(png[at + 2]) << 8) |
               uchar(png[at + 3]);
    };
    return QSize(be32(16), be32(20));
}

bool isTiff(const QByteArray& bytes)
{
    return bytes.startsWith(QByteArray("II*\0", 4)) || bytes.startsWith(QByteArray("MM\0*", 4));
}

QMap<QString, QString> desktopEntry(const QString& path)
{
    QMap<QString, QString> keys;
    bool inEntry = false;
    for (const QByteArray& raw : bytesOf(path).split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(u'['))
            inEntry = line == QStringLiteral("[Desktop Entry]");
        else if (inEntry && line.contains(u'=') && !line.startsWith(u'#'))
            keys.insert(line.section(u'=', 0, 0), line.section(u'=', 1));
    }
    return keys;
}

} // namespace

class TestInstall : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_prefix;
    QString m_programFolder;
    QString m_installOutput;

    QString at(const QString& relative) const { return m_prefix.path() + u'/' + relative; }
    QString installed(const QString& name) const { return m_programFolder + u'/' + name; }
    bool built(const QString& executable) const
    {
        return QFileInfo(QStringLiteral(QM_PROGRAM_DIR "/") + executable).isExecutable();
    }

    void install(const QString& prefix)
    {
        const Finished done = runToEnd(
            QStringLiteral(QM_CMAKE_COMMAND),
            {QStringLiteral("--install"), QStringLiteral(QM_BUILD_DIR), QStringLiteral("--prefix"), prefix});
        m_installOutput = QString::fromLocal8Bit(done.output);
        QVERIFY2(done.exitCode == 0, qPrintable(m_installOutput));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_prefix.isValid());
        QVERIFY2(built(QStringLiteral("quillmark")), "build the project before this test");
        install(m_prefix.path());
        m_programFolder = QFileInfo(at(QStringLiteral("lib/quillmark"))).canonicalFilePath();
        QVERIFY2(!m_programFolder.isEmpty(), "no lib/quillmark in the installed tree");
    }

    void programFolderHoldsEveryBuiltProgramAndFile()
    {
        for (const QString& executable : kExecutables) {
            if (!built(executable))
                continue;
            QVERIFY2(QFileInfo(installed(executable)).isExecutable(),
                     qPrintable(executable + " is not installed"));
        }
        // The window reads these by name from its folder.
        for (const QString& file :
             {QStringLiteral("x/o.cjs"), QStringLiteral("HAND-M.CUR"), QStringLiteral("drag.ico")})
            QCOMPARE(bytesOf(installed(file)), bytesOf(QStringLiteral(QM_SOURCE_DIR "/resources/") + file));

        const QStringList samples =
            QDir(QStringLiteral(QM_SOURCE_DIR "/samples")).entryList({QStringLiteral("*.eml")}, QDir::Files);
        QVERIFY(!samples.isEmpty());
        QCOMPARE(QDir(installed(QStringLiteral("Samples"))).entryList(QDir::Files | QDir::NoDotAndDotDot),
                 samples);
        for (const QString& sample : samples)
            QCOMPARE(bytesOf(installed(QStringLiteral("Samples/") + sample)),
                     bytesOf(QStringLiteral(QM_SOURCE_DIR "/samples/") + sample));
    }

    void commandsAreRelativeLinksIntoTheProgramFolder()
    {
        QStringList expected;
        for (const QString& command : kCommands) {
            if (!built(command))
                continue;
            expected << command;
            const QFileInfo link(at(QStringLiteral("bin/") + command));
            QVERIFY2(link.isSymLink(), qPrintable(command + " in bin/ is not a link"));
            // Relative, so the tree works wherever it is unpacked.
            const QByteArray target = QFile::encodeName(link.filePath());
            char buffer[4096];
            const ssize_t length = ::readlink(target.constData(), buffer, sizeof buffer - 1);
            QVERIFY(length > 0);
            QVERIFY2(buffer[0] != '/', "the link in bin/ must be relative");
            QCOMPARE(link.canonicalFilePath(), installed(command));
        }
        // The office host and the renderer are the program's own tools, not commands.
        QCOMPARE(
            QDir(at(QStringLiteral("bin"))).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot),
            expected);
    }

    void installingAgainReplacesTheLinks()
    {
        install(m_prefix.path());
        QVERIFY(QFileInfo(at(QStringLiteral("bin/quillmark"))).isSymLink());
        QCOMPARE(QFileInfo(at(QStringLiteral("bin/quillmark"))).canonicalFilePath(),
                 installed(QStringLiteral("quillmark")));
    }

    void programsFindTheirFolderThroughLinks()
    {
        // The helper computes the folder with the programs' own function; it
        // sits in the installed folder and is started only through links.
        const QString copy = installed(QStringLiteral("qm_print_program_folder"));
        QFile::remove(copy);
        QVERIFY(QFile::copy(QStringLiteral(QM_PRINT_PROGRAM_FOLDER), copy));
        QVERIFY(QDir().mkpath(at(QStringLiteral("menu/bin"))));
        const QString relativeLink = at(QStringLiteral("menu/bin/print-folder"));
        QVERIFY(QFile::link(QStringLiteral("../../lib/quillmark/qm_print_program_folder"), relativeLink));
        QTemporaryDir elsewhere;
        const QString linkToLink = elsewhere.path() + QStringLiteral("/print-folder");
        QVERIFY(QFile::link(relativeLink, linkToLink));

        for (const QString& start : {relativeLink, linkToLink}) {
            const Finished done =
                runToEnd(start, {}, QProcessEnvironment::systemEnvironment(), elsewhere.path());
            QVERIFY2(done.exitCode == 0, done.output.constData());
            const QStringList lines = QString::fromUtf8(done.output).split(u'\n', Qt::SkipEmptyParts);
            QCOMPARE(lines, QStringList({m_programFolder, m_programFolder}));
        }
        QFile::remove(copy);
    }

    void installedBinariesCarryNoBuildPaths()
    {
        for (const QString& executable : kExecutables) {
            if (!built(executable))
                continue;
            const Finished done =
                runToEnd(QStringLiteral("readelf"), {QStringLiteral("-d"), installed(executable)});
            if (done.exitCode != 0 && done.output.isEmpty())
                QSKIP("readelf is not available");
            QVERIFY2(!done.output.contains("(RPATH)") && !done.output.contains("(RUNPATH)"),
                     qPrintable(executable + QStringLiteral(" keeps a library search path:\n") +
                                QString::fromUtf8(done.output)));
        }
    }

    void menuEntryStartsTheInstalledWindow()
    {
        const QMap<QString, QString> entry =
            desktopEntry(at(QStringLiteral("share/applications/quillmark.desktop")));
        QCOMPARE(entry.value(QStringLiteral("Type")), QStringLiteral("Application"));
        QCOMPARE(entry.value(QStringLiteral("Name")), QStringLiteral("Quillmark Converter"));
        const QStringList categories =
            entry.value(QStringLiteral("Categories")).split(u';', Qt::SkipEmptyParts);
        QVERIFY(categories.contains(QStringLiteral("Office")) &&
                categories.contains(QStringLiteral("Utility")));
        // The menu runs Exec through PATH, which holds <prefix>/bin.
        const QString exec = entry.value(QStringLiteral("Exec")).section(u' ', 0, 0);
        QCOMPARE(QFileInfo(at(QStringLiteral("bin/") + exec)).canonicalFilePath(),
                 installed(QStringLiteral("quillmark")));

        const QString icon = entry.value(QStringLiteral("Icon"));
        QCOMPARE(icon, QStringLiteral("quillmark"));
        for (const int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
            const QString path =
                at(QStringLiteral("share/icons/hicolor/%1x%1/apps/%2.png").arg(size).arg(icon));
            QCOMPARE(pngSize(bytesOf(path)), QSize(size, size));
        }
        QVERIFY(
            bytesOf(at(QStringLiteral("share/icons/hicolor/scalable/apps/quillmark.svg"))).contains("<svg"));
        // The window shows the picture the menu shows.
        QCOMPARE(bytesOf(QStringLiteral(QM_SOURCE_DIR "/resources/quillmark.png")),
                 bytesOf(at(QStringLiteral("share/icons/hicolor/256x256/apps/quillmark.png"))));
    }

    void installedRendererRunsOnItsOwn()
    {
        if (!built(QStringLiteral("vexlo")))
            QSKIP("vexlo is not built in this tree");
        QTemporaryDir home;
        QTemporaryDir work;
        const QString rtf = home.path() + QStringLiteral("/note.rtf");
        const QString tiff = home.path() + QStringLiteral("/note.tiff");
        QFile file(rtf);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(
            "{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0 Liberation Serif;}}\\f0\\fs24 Installed renderer.\\par}");
        file.close();
        const Finished done = runToEnd(installed(QStringLiteral("vexlo")), {rtf, tiff},
                                       userEnvironment(home.path(), work.path()), home.path(), 240);
        QVERIFY2(done.exitCode == 0, done.output.constData());
        QVERIFY(isTiff(bytesOf(tiff)));
    }

    void installedCommandConvertsASample()
    {
        if (!QFileInfo::exists(at(QStringLiteral("bin/quillmark-convert"))))
            QSKIP("quillmark-convert is not built in this tree");
        // Started through the link from an unrelated folder: the tools and the
        // office host are found only if it finds its real folder.
        QTemporaryDir home;
        QTemporaryDir work;
        const QString mail = home.path() + QStringLiteral("/mail");
        QVERIFY(QDir().mkpath(mail));
        const QStringList samples =
            QDir(installed(QStringLiteral("Samples"))).entryList({QStringLiteral("*.eml")}, QDir::Files);
        QVERIFY(!samples.isEmpty());
        QVERIFY(QFile::copy(installed(QStringLiteral("Samples/") + samples.first()),
                            mail + u'/' + samples.first()));

        const Finished done =
            runToEnd(at(QStringLiteral("bin/quillmark-convert")), {mail + u'/' + samples.first()},
                     userEnvironment(home.path(), work.path()), home.path(), 300);
        QVERIFY2(done.exitCode == 0, done.output.constData());
        // Beside the message or in the default destination; either way under the home.
        QStringList images;
        QDirIterator it(home.path(), {QStringLiteral("*.tiff"), QStringLiteral("*.tif")}, QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            images << it.next();
        QVERIFY2(images.size() == 1, qPrintable(images.join(u',') + u'\n' + QString::fromUtf8(done.output)));
        QVERIFY(QFileInfo(images.first()).fileName().startsWith(StripExtension(samples.first())));
        QVERIFY(isTiff(bytesOf(images.first())));
    }
};

QTEST_GUILESS_MAIN(TestInstall)
#include "test_install.moc"
