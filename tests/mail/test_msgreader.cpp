#include "mapimessage.h"
#include "messagefields.h"
#include "mimebuilder.h"
#include "msgreader.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString CorpusFile(const QString& name)
{
    return QStringLiteral(QM_SOURCE_DIR "/../shared/corpus/archives/msg/") + name;
}

} // namespace

class TestMsgReader : public QObject {
    Q_OBJECT

private slots:
    void dump()
    {
        const QString folder = CorpusFile(QString());
        if (!QFileInfo::exists(folder))
            QSKIP("the shared corpus is not on this machine");
        const QString only = qEnvironmentVariable("QM_MSG_DUMP");
        QDirIterator it(folder, {u"*.msg"_qs}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (!only.isEmpty() && !path.contains(only))
                continue;
            QString reason;
            const std::optional<QByteArray> bytes = ReadOutlookMessageFile(path, &reason);
            if (!bytes) {
                qInfo().noquote() << path << "FAILED" << reason;
                continue;
            }
            const MessageFields fields = ReadMessageFields(*bytes);
            qInfo().noquote() << QFileInfo(path).fileName() << "|" << fields.from << "|" << fields.to << "|"
                              << fields.subject << "|" << fields.date << "| bytes" << bytes->size();
            if (!only.isEmpty())
                qInfo().noquote() << bytes->left(6000);
        }
    }
};

QTEST_GUILESS_MAIN(TestMsgReader)
#include "test_msgreader.moc"
