#include "../host/scriptedofficeengine.h"
#include "messageconverter.h"
#include "scripteddialogs.h"
#include "stepguard.h"

#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QTemporaryDir>
#include <QtTest>

// The command line's limits on one message: how many pages it may lay out
// as, and how long the renderer may take over them. The page engine is
// scripted to save a real PDF; vexlo is a script that logs its call.
class TestPageLimits : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_work;
    QString m_log;

    static QByteArray pdfOfPages(int pages)
    {
        QBuffer buffer;
        buffer.open(QIODevice::WriteOnly);
        QPdfWriter writer(&buffer);
        writer.setPageSize(QPageSize(QPageSize::A4));
        QPainter painter(&writer);
        for (int page = 0; page < pages; ++page) {
            if (page > 0)
                writer.newPage();
            painter.drawText(100, 100, QStringLiteral("page %1").arg(page + 1));
        }
        painter.end();
        return buffer.data();
    }

    QString writeFile(const QString& name, const QByteArray& bytes)
    {
        const QString path = m_dir.path() + QLatin1Char('/') + name;
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return {};
        file.write(bytes);
        return path;
    }

    QString vexlo(const QByteArray& body)
    {
        const QString path = writeFile(QStringLiteral("vexlo-%1").arg(++m_scripts),
                                       "#!/bin/sh\necho \"$@\" >> \"" + m_log.toUtf8() + "\"\n" + body);
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return path;
    }

    QString message()
    {
        return writeFile(QStringLiteral("long.eml"),
                         "From: Ann <ann@example.org>\r\nTo: Bob <bob@example.org>\r\nSubject: Long\r\n"
                         "Date: Mon, 1 Jan 2024 10:00:00 +0000\r\nContent-Type: text/html\r\n\r\n"
                         "<html><body>Hi</body></html>\r\n");
    }

    bool vexloRan() const { return QFile::exists(m_log); }

    int m_scripts = 0;

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_work = m_dir.path() + QStringLiteral("/work");
        QDir(m_work).removeRecursively();
        QDir().mkpath(m_work);
        m_log = m_dir.path() + QStringLiteral("/vexlo.log");
        QFile::remove(m_log);
    }

    // More pages than the limit: refused with the count before vexlo runs,
    // both when the message is converted whole and when its pages are
    // numbered across workers. The window sets no limit and renders it.
    void aMessageOfTooManyPagesFailsBeforeRasterising()
    {
        ScriptedOfficeEngine engine;
        engine.savedBytes = pdfOfPages(5);
        MessageConverter converter(engine, vexlo("printf 'II*' > \"$2\"\n"), m_work);
        converter.setEnvironmentSource([] { return QMap<QString, QString>(); });
        converter.setPageLimits({3, std::chrono::seconds(60)});
        ScriptedDialogs dialogs;
        StepGuard guard(dialogs, QStringLiteral("test "));
        const QString mail = message();
        const QString output = m_dir.path() + QStringLiteral("/long.tiff");
        const QString expected =
            QStringLiteral("the message lays out as 5 pages, more than the limit of 3 pages (--max-pages)");

        const MessageResult whole =
            converter.convert(guard, mail, FormWorkPaths(mail, m_work), output, nullptr, 1);
        QVERIFY(!whole.converted);
        QCOMPARE(whole.reason, expected);
        QVERIFY(!vexloRan());

        const LaidOutMessage laidOut = converter.layOut(guard, mail, FormWorkPaths(mail, m_work));
        QVERIFY(!laidOut.laidOut);
        QCOMPARE(laidOut.reason, expected);

        converter.setPageLimits({5, std::chrono::seconds(60)});
        QVERIFY(converter.convert(guard, mail, FormWorkPaths(mail, m_work), output, nullptr, 1).converted);
        QVERIFY(vexloRan());
    }

    // A renderer that hangs is stopped after the time the option allows for
    // its pages, not after a fixed ten minutes, and the reason says so.
    void theRendererIsStoppedAfterTheLimitOfItsPages()
    {
        ScriptedOfficeEngine engine;
        MessageConverter converter(engine, vexlo("exec sleep 30\n"), m_work);
        converter.setEnvironmentSource([] { return QMap<QString, QString>(); });
        converter.setPageLimits({2000, std::chrono::seconds(1)});
        ScriptedDialogs dialogs;
        StepGuard guard(dialogs, QStringLiteral("test "));
        const QString pdf = writeFile(QStringLiteral("two.pdf"), pdfOfPages(2));

        QElapsedTimer clock;
        clock.start();
        const MessageResult result =
            converter.render(guard, {pdf}, m_dir.path() + QStringLiteral("/two.tiff"), 0, nullptr, 1);
        QVERIFY(!result.converted);
        QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY2(result.reason.startsWith(QLatin1String(
                     "the page renderer was stopped after 2 s, the limit for 2 pages at this resolution")),
                 qPrintable(result.reason));
    }

    // The page engine's own reason reaches the message's reason, not only
    // the step's report.
    void theEnginesReasonIsTheMessagesReason()
    {
        ScriptedOfficeEngine engine;
        engine.failSave = true;
        MessageConverter converter(engine, vexlo("exit 0\n"), m_work);
        ScriptedDialogs dialogs;
        StepGuard guard(dialogs, QStringLiteral("test "));
        const QString mail = message();
        const MessageResult result = converter.convert(guard, mail, FormWorkPaths(mail, m_work),
                                                       m_dir.path() + QStringLiteral("/x.tiff"), nullptr, 1);
        QVERIFY(!result.converted);
        QCOMPARE(result.reason,
                 QStringLiteral("the page engine laid out no pages for the message: the disk is full"));
    }
};

QTEST_MAIN(TestPageLimits)
#include "test_pagelimits.moc"
