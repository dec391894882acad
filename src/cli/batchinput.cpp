#include "batchinput.h"

#include "consoledialogs.h"
#include "folderscan.h"
#include "mboxreader.h"
#include "messageconverter.h"
#include "paths.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QtEndian>

#include <exception>

namespace {

bool HasSuffix(const QString& path, const char* suffix)
{
    return QFileInfo(path).suffix().compare(QLatin1String(suffix), Qt::CaseInsensitive) == 0;
}

// A .eml file is a message even when it starts with an mbox separator line,
// as many saved messages do; anything else is an mbox when it is named one or
// reads like one.
bool IsMbox(const QString& path)
{
    if (HasSuffix(path, "eml"))
        return false;
    return HasSuffix(path, "mbox") || LooksLikeMbox(path);
}

class Collector {
public:
    explicit Collector(CollectedInput& into) : m_into(into) {}

    void addMessage(const QString& path, const QString& key)
    {
        InputMessage message;
        message.source = path;
        message.shardKey = key;
        m_into.messages.append(message);
    }

    void addMbox(const QString& path, const QString& key)
    {
        try {
            const QList<MboxEntry> entries = ScanMbox(path);
            const int width = std::max(5, int(QString::number(entries.size()).size()));
            for (qsizetype i = 0; i < entries.size(); ++i) {
                InputMessage message;
                message.source = path;
                message.mboxNumber = int(i + 1);
                message.begin = entries.at(i).begin;
                message.end = entries.at(i).end;
                message.numberWidth = width;
                message.shardKey = key;
                m_into.messages.append(message);
            }
        } catch (const std::exception& error) {
            m_into.problems.append(QStringLiteral("skipped, cannot be read as mbox: %1: %2")
                                       .arg(path, QString::fromUtf8(error.what())));
        }
    }

    void addFolder(const QString& root, bool mboxScan)
    {
        ConsoleDialogs dialogs;
        FolderList folders{root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/')};
        FolderList skipped;
        GetSubDirectories2016(dialogs, folders, true, &skipped);
        const QDir base(root);
        for (const QString& folder : std::as_const(folders)) {
            try {
                const QString pattern = mboxScan ? QStringLiteral("*") : QStringLiteral("*.eml");
                for (const QString& name : ListFilesInFolder(folder, pattern)) {
                    if (IsHiddenName(name))
                        continue;
                    const QString path = folder + name;
                    const QString key = base.relativeFilePath(path);
                    if (HasSuffix(name, "eml"))
                        addMessage(path, key);
                    else if (mboxScan && IsMbox(path))
                        addMbox(path, key);
                }
            } catch (const std::exception&) {
                skipped.append(folder);
            }
        }
        for (const QString& folder : std::as_const(skipped))
            m_into.problems.append(QStringLiteral("skipped, cannot be read: %1").arg(folder));
        for (const QString& message : dialogs.takeMessages())
            m_into.problems.append(message);
    }

private:
    CollectedInput& m_into;
};

} // namespace

QString InputMessage::displayName() const
{
    if (mboxNumber == 0)
        return source;
    return QStringLiteral("%1 (message %2)").arg(source).arg(mboxNumber);
}

QString InputMessage::baseName() const
{
    const QString stem = StripExtension(GetFileName(source));
    if (mboxNumber == 0)
        return stem;
    return stem + QStringLiteral("-%1").arg(mboxNumber, numberWidth, 10, QLatin1Char('0'));
}

CollectedInput CollectInput(const QStringList& paths, bool mboxScan)
{
    CollectedInput input;
    Collector collector(input);
    for (const QString& path : paths) {
        const QFileInfo info(path);
        const QString absolute = QDir::cleanPath(info.absoluteFilePath());
        if (info.isDir())
            collector.addFolder(absolute, mboxScan);
        else if (info.isFile() && IsMbox(absolute))
            collector.addMbox(absolute, info.fileName());
        else
            collector.addMessage(absolute, info.fileName());
    }
    return input;
}

void AssignOutputPaths(QList<InputMessage>& messages, const QString& outputFolder)
{
    OutputNames names;
    for (InputMessage& message : messages) {
        const QString folder = outputFolder.isEmpty() ? GetFolderPart(message.source) : outputFolder;
        const QString wanted =
            CollapseSeparators(folder + QLatin1Char('/') + message.baseName() + QStringLiteral(".tiff"));
        message.outputPath = names.claim(wanted, message.source);
        names.markWritten(message.outputPath);
    }
}

bool InShard(const InputMessage& message, const Shard& shard)
{
    if (shard.count <= 1)
        return true;
    const QByteArray key = message.shardKey.toUtf8() + '\n' + QByteArray::number(message.mboxNumber);
    const QByteArray digest = QCryptographicHash::hash(key, QCryptographicHash::Sha256);
    const quint64 value = qFromBigEndian<quint64>(digest.constData());
    return value % quint64(shard.count) == quint64(shard.index);
}
