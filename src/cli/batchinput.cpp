#include "batchinput.h"

#include "consoledialogs.h"
#include "emlxreader.h"
#include "folderscan.h"
#include "mboxreader.h"
#include "messageconverter.h"
#include "paths.h"
#include "pstlisting.h"
#include "pstreader.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QtEndian>

#include <algorithm>
#include <exception>
#include <stdexcept>

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

bool IsPst(const QString& path)
{
    return HasSuffix(path, "pst") || HasSuffix(path, "ost") || IsPstFile(path);
}

// A Maildir holds cur/ and new/ (tmp/ is often lost in copies, being empty).
bool IsMaildir(const QString& folder)
{
    const QDir dir(folder);
    return QFileInfo(dir.filePath(QStringLiteral("cur"))).isDir() &&
           (QFileInfo(dir.filePath(QStringLiteral("new"))).isDir() ||
            QFileInfo(dir.filePath(QStringLiteral("tmp"))).isDir());
}

int NumberWidth(qsizetype count)
{
    return std::max(5, int(QString::number(count).size()));
}

class Collector {
public:
    Collector(CollectedInput& into, const InputOptions& options) : m_into(into), m_options(options) {}

    void addMessage(const QString& path, const QString& key)
    {
        InputMessage message;
        message.kind = IsEmlxName(path) ? InputKind::Emlx : InputKind::File;
        message.source = path;
        message.shardKey = key;
        m_into.messages.append(message);
    }

    void addMbox(const QString& path, const QString& key)
    {
        try {
            const QList<MboxEntry> entries = ScanMbox(path);
            const int width = NumberWidth(entries.size());
            for (qsizetype i = 0; i < entries.size(); ++i) {
                InputMessage message;
                message.kind = InputKind::Mbox;
                message.source = path;
                message.number = int(i + 1);
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

    void addPst(const QString& path, const QString& key)
    {
        try {
            const PstListing listing =
                m_options.pstLister.isEmpty() ? ListPst(path) : ListPstIsolated(m_options.pstLister, path);
            for (const QString& problem : listing.problems)
                m_into.problems.append(QStringLiteral("%1: %2").arg(path, problem));
            QHash<QString, int> perFolder;
            for (const PstItem& item : listing.items)
                perFolder[item.folderPath] = std::max(perFolder.value(item.folderPath), item.number);
            for (const PstItem& item : listing.items) {
                InputMessage message;
                message.kind = InputKind::Pst;
                message.source = path;
                message.folder = item.folderPath;
                message.number = item.number;
                message.pstItem = item.identifier;
                message.numberWidth = NumberWidth(perFolder.value(item.folderPath));
                message.shardKey = key;
                m_into.messages.append(message);
            }
        } catch (const std::exception& error) {
            m_into.problems.append(QStringLiteral("skipped, cannot be read as an Outlook data file: %1: %2")
                                       .arg(path, QString::fromUtf8(error.what())));
        }
    }

    // The messages of a Maildir: the files of cur/ and new/, in name order
    // (their names begin with the time of delivery).
    void addMaildir(const QString& folder, const QDir& base)
    {
        for (const char* sub : {"cur", "new"}) {
            const QString inner = QDir(folder).filePath(QLatin1String(sub)) + QLatin1Char('/');
            try {
                for (const QString& name : ListFilesInFolder(inner, QStringLiteral("*")))
                    if (!IsHiddenName(name)) {
                        addMessage(inner + name, base.relativeFilePath(inner + name));
                        m_into.messages.last().kind = InputKind::Maildir;
                    }
            } catch (const std::exception&) {
                m_into.problems.append(QStringLiteral("skipped, cannot be read: %1").arg(inner));
            }
        }
    }

    void addFolder(const QString& root)
    {
        const bool mboxScan = m_options.mboxScan;
        // A Maildir named as such is read as one, its Maildir++ folders
        // (.Sent, .Archive) included.
        const bool maildirScan = m_options.maildirScan || IsMaildir(root);
        const QDir base(root);
        ConsoleDialogs dialogs;
        FolderList folders{root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/')};
        FolderList skipped;
        GetSubDirectories2016(dialogs, folders, true, &skipped);
        for (const QString& folder : std::as_const(folders)) {
            if (maildirScan) {
                if (IsMaildir(folder)) {
                    addMaildir(folder, base);
                    continue;
                }
                // Read with their Maildir, whose cur/, new/ and tmp/ hold
                // nothing else.
                const QFileInfo info(QDir::cleanPath(folder));
                static const QStringList parts{QStringLiteral("cur"), QStringLiteral("new"),
                                               QStringLiteral("tmp")};
                if (parts.contains(info.fileName()) && IsMaildir(info.absolutePath()))
                    continue;
            }
            try {
                for (const QString& name : ListFilesInFolder(folder, QStringLiteral("*"))) {
                    if (IsHiddenName(name))
                        continue;
                    const QString path = folder + name;
                    const QString key = base.relativeFilePath(path);
                    if (HasSuffix(name, "eml") || HasSuffix(name, "emlx") || HasSuffix(name, "msg"))
                        addMessage(path, key);
                    else if (HasSuffix(name, "pst") || HasSuffix(name, "ost"))
                        addPst(path, key);
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
    const InputOptions& m_options;
};

QString PaddedNumber(const InputMessage& message)
{
    return QStringLiteral("%1").arg(message.number, message.numberWidth, 10, QLatin1Char('0'));
}

} // namespace

QString InputMessage::displayName() const
{
    switch (kind) {
    case InputKind::File:
    case InputKind::Emlx:
    case InputKind::Maildir:
        break;
    case InputKind::Mbox:
        return QStringLiteral("%1 (message %2)").arg(source).arg(number);
    case InputKind::Pst:
        return QStringLiteral("%1 (%2, message %3)")
            .arg(source, folder.isEmpty() ? QStringLiteral("top of the store") : folder)
            .arg(number);
    }
    return source;
}

QString InputMessage::baseName() const
{
    QString stem = StripExtension(GetFileName(source));
    if (kind == InputKind::Emlx && stem.endsWith(QLatin1String(".partial"), Qt::CaseInsensitive))
        stem.chop(8);
    switch (kind) {
    case InputKind::File:
    case InputKind::Emlx:
        break;
    case InputKind::Maildir:
        // The unique part of the name, without the ":2,S" of its flags.
        return GetFileName(source).section(QLatin1Char(':'), 0, 0);
    case InputKind::Mbox:
        return stem + QLatin1Char('-') + PaddedNumber(*this);
    case InputKind::Pst:
        return QStringLiteral("%1-%2").arg(stem).arg(pstItem);
    }
    return stem;
}

QString InputMessage::besideFolder() const
{
    const QString folder = GetFolderPart(source);
    if (kind != InputKind::Maildir)
        return folder;
    return QFileInfo(QDir::cleanPath(folder)).absolutePath();
}

QString InputMessage::outputStem() const
{
    if (kind != InputKind::Pst)
        return baseName();
    const QString store = StripExtension(GetFileName(source));
    return folder.isEmpty() ? store + QLatin1Char('/') + PaddedNumber(*this)
                            : store + QLatin1Char('/') + folder + QLatin1Char('/') + PaddedNumber(*this);
}

CollectedInput CollectInput(const QStringList& paths, const InputOptions& options)
{
    CollectedInput input;
    Collector collector(input, options);
    for (const QString& path : paths) {
        const QFileInfo info(path);
        const QString absolute = QDir::cleanPath(info.absoluteFilePath());
        if (info.isDir())
            collector.addFolder(absolute);
        else if (info.isFile() && IsPst(absolute))
            collector.addPst(absolute, info.fileName());
        else if (info.isFile() && IsMbox(absolute))
            collector.addMbox(absolute, info.fileName());
        else
            collector.addMessage(absolute, info.fileName());
    }
    return input;
}

void TakeOutMessage(const InputMessage& message, const QString& destination)
{
    try {
        if (message.kind == InputKind::Mbox)
            ExtractMboxMessage(message.source, MboxEntry{message.begin, message.end}, destination);
        else if (message.kind == InputKind::Emlx)
            ExtractEmlxMessage(message.source, destination, nullptr);
        else
            throw std::logic_error("only messages of an mbox or an EMLX file are taken out here");
    } catch (const std::runtime_error& error) {
        const char* from = message.kind == InputKind::Mbox ? "the mbox" : "the Apple Mail file";
        throw std::runtime_error(QStringLiteral("the message could not be taken out of %1: %2")
                                     .arg(QLatin1String(from), QString::fromUtf8(error.what()))
                                     .toStdString());
    }
}

void AssignOutputPaths(QList<InputMessage>& messages, const QString& outputFolder)
{
    OutputNames names;
    for (InputMessage& message : messages) {
        const QString folder = outputFolder.isEmpty() ? message.besideFolder() : outputFolder;
        const QString wanted =
            CollapseSeparators(folder + QLatin1Char('/') + message.outputStem() + QStringLiteral(".tiff"));
        message.outputPath = names.claim(wanted, message.source);
        names.markWritten(message.outputPath);
    }
}

bool InShard(const InputMessage& message, const Shard& shard)
{
    if (shard.count <= 1)
        return true;
    QByteArray key = message.shardKey.toUtf8() + '\n';
    if (message.kind == InputKind::Pst)
        key += message.folder.toUtf8() + '\n';
    key += QByteArray::number(message.number);
    const QByteArray digest = QCryptographicHash::hash(key, QCryptographicHash::Sha256);
    const quint64 value = qFromBigEndian<quint64>(digest.constData());
    return value % quint64(shard.count) == quint64(shard.index);
}
