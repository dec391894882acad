#include "productiondocument.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>

namespace {

QString Text(const QJsonObject& object, const char* key)
{
    return object.value(QLatin1String(key)).toString();
}

} // namespace

QString LaidOutDocument::extension() const
{
    // The extension names a file of the volume: only letters and digits, so
    // a name from the mail cannot reach outside NATIVES or into a load file.
    const QString suffix = QFileInfo(fileName).suffix().toLower();
    if (suffix.isEmpty() || suffix.size() > 10)
        return {};
    for (const QChar c : suffix)
        if (c.unicode() > 127 || !c.isLetterOrNumber())
            return {};
    return suffix;
}

QJsonObject LaidOutDocument::toJson() const
{
    return {{QStringLiteral("type"),
             type == Type::Email ? QStringLiteral("email") : QStringLiteral("attachment")},
            {QStringLiteral("parent"), parent},
            {QStringLiteral("isMessage"), isMessage},
            {QStringLiteral("fileName"), fileName},
            {QStringLiteral("fileSize"), double(fileSize)},
            {QStringLiteral("md5"), md5},
            {QStringLiteral("sha1"), sha1},
            {QStringLiteral("from"), from},
            {QStringLiteral("to"), to},
            {QStringLiteral("cc"), cc},
            {QStringLiteral("bcc"), bcc},
            {QStringLiteral("subject"), subject},
            {QStringLiteral("dateSent"), dateSent},
            {QStringLiteral("timeSent"), timeSent},
            {QStringLiteral("messageId"), messageId},
            {QStringLiteral("inReplyTo"), inReplyTo},
            {QStringLiteral("pdf"), pdfPath},
            {QStringLiteral("text"), textPath},
            {QStringLiteral("native"), nativePath},
            {QStringLiteral("notice"), notice},
            {QStringLiteral("pages"), pages}};
}

LaidOutDocument LaidOutDocument::fromJson(const QJsonObject& object)
{
    LaidOutDocument document;
    document.type = Text(object, "type") == QLatin1String("email") ? Type::Email : Type::Attachment;
    document.parent = object.value(QLatin1String("parent")).toInt(-1);
    document.isMessage = object.value(QLatin1String("isMessage")).toBool();
    document.fileName = Text(object, "fileName");
    document.fileSize = qint64(object.value(QLatin1String("fileSize")).toDouble());
    document.md5 = Text(object, "md5");
    document.sha1 = Text(object, "sha1");
    document.from = Text(object, "from");
    document.to = Text(object, "to");
    document.cc = Text(object, "cc");
    document.bcc = Text(object, "bcc");
    document.subject = Text(object, "subject");
    document.dateSent = Text(object, "dateSent");
    document.timeSent = Text(object, "timeSent");
    document.messageId = Text(object, "messageId");
    document.inReplyTo = Text(object, "inReplyTo");
    document.pdfPath = Text(object, "pdf");
    document.textPath = Text(object, "text");
    document.nativePath = Text(object, "native");
    document.notice = Text(object, "notice");
    document.pages = object.value(QLatin1String("pages")).toInt();
    return document;
}

int Family::pageCount() const
{
    int pages = 0;
    for (const LaidOutDocument& document : documents)
        pages += document.pages;
    return pages;
}

QJsonObject Family::toJson() const
{
    QJsonArray array;
    for (const LaidOutDocument& document : documents)
        array.append(document.toJson());
    return {{QStringLiteral("documents"), array}};
}

Family Family::fromJson(const QJsonObject& object)
{
    Family family;
    for (const QJsonValue value : object.value(QLatin1String("documents")).toArray())
        family.documents.append(LaidOutDocument::fromJson(value.toObject()));
    return family;
}

QList<NumberedDocument> NumberFamily(const Family& family, qint64 firstNumber)
{
    QList<NumberedDocument> numbered(family.documents.size());
    qint64 next = firstNumber;
    for (qsizetype i = 0; i < family.documents.size(); ++i) {
        numbered[i].begin = next;
        next += std::max(1, family.documents[i].pages);
        numbered[i].end = next - 1;
    }
    for (qsizetype i = 0; i < family.documents.size(); ++i) {
        numbered[i].familyBegin = firstNumber;
        numbered[i].familyEnd = next - 1;
        const int parent = family.documents[i].parent;
        if (parent >= 0 && parent < i) {
            numbered[i].parentBegin = numbered[parent].begin;
            ++numbered[parent].attachCount;
        }
    }
    return numbered;
}

VolumeLayout::VolumeLayout(QString root, BatesNumbering numbering, QString volume)
    : m_root(std::move(root)), m_numbering(std::move(numbering)), m_volume(std::move(volume))
{
}

QString VolumeLayout::folderOf(qint64 number) const
{
    const qint64 place = std::max<qint64>(0, number - m_numbering.first);
    return QStringLiteral("%1").arg(place / kImagesPerFolder + 1, 4, 10, QLatin1Char('0'));
}

QString VolumeLayout::imagePath(qint64 number) const
{
    return QStringLiteral("IMAGES/%1/%2.tif").arg(folderOf(number), m_numbering.number(number));
}

QString VolumeLayout::textPath(qint64 begin) const
{
    return QStringLiteral("TEXT/%1/%2.txt").arg(folderOf(begin), m_numbering.number(begin));
}

QString VolumeLayout::nativePath(qint64 begin, const QString& extension) const
{
    QString path = QStringLiteral("NATIVES/%1/%2").arg(folderOf(begin), m_numbering.number(begin));
    if (!extension.isEmpty())
        path += QLatin1Char('.') + extension;
    return path;
}

QString VolumeLayout::optPath() const
{
    return QStringLiteral("DATA/%1.opt").arg(m_volume);
}

QString VolumeLayout::datPath() const
{
    return QStringLiteral("DATA/%1.dat").arg(m_volume);
}

QString VolumeLayout::csvPath() const
{
    return QStringLiteral("DATA/%1.csv").arg(m_volume);
}

QString VolumeLayout::journalPath() const
{
    return QStringLiteral(".quillmark/%1.journal").arg(m_volume);
}

QString VolumeLayout::absolute(const QString& relative) const
{
    return m_root + QLatin1Char('/') + relative;
}

QString VolumeLayout::loadFilePath(const QString& relative)
{
    QString path = relative;
    path.replace(QLatin1Char('/'), QLatin1Char('\\'));
    return path;
}
