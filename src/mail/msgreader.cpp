#include "msgreader.h"

#include "mimebuilder.h"

#include <QFile>
#include <QtEndian>

#include <libolecf.h>

#include <map>
#include <memory>
#include <stdexcept>

namespace {

// Nesting beyond this is damage, not mail.
constexpr int kDeepestEmbedding = 32;
// A stream larger than this is damage; the item's whole file is never larger.
constexpr size64_t kLargestStream = 512u * 1024 * 1024;

struct OlecfError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

void FreeError(libolecf_error_t* error)
{
    if (error)
        libolecf_error_free(&error);
}

struct ItemDeleter {
    void operator()(libolecf_item_t* item) const { libolecf_item_free(&item, nullptr); }
};
using ItemPtr = std::unique_ptr<libolecf_item_t, ItemDeleter>;

struct FileDeleter {
    void operator()(libolecf_file_t* file) const
    {
        libolecf_file_close(file, nullptr);
        libolecf_file_free(&file, nullptr);
    }
};
using FilePtr = std::unique_ptr<libolecf_file_t, FileDeleter>;

QString ItemName(libolecf_item_t* item)
{
    size_t size = 0;
    if (libolecf_item_get_utf8_name_size(item, &size, nullptr) != 1 || size == 0 || size > 4096)
        return {};
    QByteArray name(qsizetype(size), '\0');
    if (libolecf_item_get_utf8_name(item, reinterpret_cast<uint8_t*>(name.data()), size, nullptr) != 1)
        return {};
    return QString::fromUtf8(name.constData());
}

QByteArray StreamBytes(libolecf_item_t* item)
{
    uint32_t size = 0;
    if (libolecf_item_get_size(item, &size, nullptr) != 1)
        throw OlecfError("a stream's size cannot be read");
    if (size > kLargestStream)
        throw OlecfError("a stream claims a size larger than any message");
    QByteArray bytes(qsizetype(size), '\0');
    qsizetype done = 0;
    while (done < bytes.size()) {
        libolecf_error_t* error = nullptr;
        // At an offset: a stream read twice starts from its beginning again.
        const ssize_t read =
            libolecf_stream_read_buffer_at_offset(item, reinterpret_cast<uint8_t*>(bytes.data() + done),
                                                  size_t(bytes.size() - done), off64_t(done), &error);
        FreeError(error);
        if (read <= 0)
            throw OlecfError("a stream ends before its stated size");
        done += read;
    }
    return bytes;
}

int ItemType(libolecf_item_t* item)
{
    uint8_t type = 0;
    libolecf_item_get_type(item, &type, nullptr);
    return type;
}

// The sub items of a storage by name.
std::map<QString, ItemPtr> SubItems(libolecf_item_t* storage)
{
    std::map<QString, ItemPtr> items;
    int count = 0;
    if (libolecf_item_get_number_of_sub_items(storage, &count, nullptr) != 1)
        throw OlecfError("a storage's entries cannot be read");
    for (int i = 0; i < count; ++i) {
        libolecf_item_t* raw = nullptr;
        libolecf_error_t* error = nullptr;
        if (libolecf_item_get_sub_item(storage, i, &raw, &error) != 1) {
            FreeError(error);
            throw OlecfError("a storage's entry cannot be read");
        }
        ItemPtr item(raw);
        const QString name = ItemName(item.get());
        items.emplace(name, std::move(item));
    }
    return items;
}

struct PropertyTag {
    quint16 id = 0;
    quint16 type = 0;
};

// "__substg1.0_0037001F" -> 0x0037, 0x001F.
std::optional<PropertyTag> StreamTag(const QString& name)
{
    static const QString kPrefix = u"__substg1.0_"_qs;
    if (!name.startsWith(kPrefix) || name.size() != kPrefix.size() + 8)
        return std::nullopt;
    bool ok = false;
    const uint tag = name.mid(kPrefix.size()).toUInt(&ok, 16);
    if (!ok)
        return std::nullopt;
    return PropertyTag{quint16(tag >> 16), quint16(tag & 0xFFFF)};
}

bool IsFixedSize(quint16 type)
{
    switch (type) {
    case MapiType::Int16:
    case MapiType::Int32:
    case 0x0004: // float
    case MapiType::Double:
    case 0x0006: // currency
    case 0x0007: // application time
    case 0x000A: // error code
    case MapiType::Bool:
    case MapiType::Int64:
    case MapiType::Time:
        return true;
    default:
        return false;
    }
}

// Each property storage (message, recipient, attachment) reads the same way:
// fixed-size values from __properties_version1.0 after a header of
// `headerSize` bytes, the others from their own streams.
template <typename Apply>
void ReadProperties(const std::map<QString, ItemPtr>& items, qsizetype headerSize, int codePage, Apply apply)
{
    if (const auto found = items.find(u"__properties_version1.0"_qs); found != items.end()) {
        const QByteArray table = StreamBytes(found->second.get());
        for (qsizetype at = headerSize; at + 16 <= table.size(); at += 16) {
            const quint32 tag = qFromLittleEndian<quint32>(table.constData() + at);
            const auto type = quint16(tag & 0xFFFF);
            if (IsFixedSize(type))
                apply(quint16(tag >> 16), type, table.mid(at + 8, 8), codePage);
        }
    }
    for (const auto& [name, item] : items) {
        const std::optional<PropertyTag> tag = StreamTag(name);
        if (!tag || (tag->type & 0x1000) || ItemType(item.get()) != LIBOLECF_ITEM_TYPE_STREAM)
            continue;
        apply(tag->id, tag->type, StreamBytes(item.get()), codePage);
    }
}

// The 8-bit strings' code page: the item's own, else its internet code page.
int CodePageOf(const std::map<QString, ItemPtr>& items, qsizetype headerSize)
{
    const auto found = items.find(u"__properties_version1.0"_qs);
    if (found == items.end())
        return 0;
    const QByteArray table = StreamBytes(found->second.get());
    int internet = 0;
    for (qsizetype at = headerSize; at + 16 <= table.size(); at += 16) {
        const quint32 tag = qFromLittleEndian<quint32>(table.constData() + at);
        const qint32 value = qFromLittleEndian<qint32>(table.constData() + at + 8);
        if (tag == 0x3FFD0003 && value > 0)
            return value;
        if (tag == 0x3FDE0003 && value > 0)
            internet = value;
    }
    // An internet code page names how the item travels; its 8-bit strings
    // are stored in the Windows code page of the same script.
    switch (internet) {
    case 50220:
    case 50221:
    case 50222:
    case 51932:
        return 932;
    case 52936:
        return 936;
    case 28591:
        return 1252;
    default:
        return internet;
    }
}

bool HasPrefix(const QString& name, const char* prefix)
{
    return name.startsWith(QLatin1String(prefix));
}

MapiMessage ReadItem(libolecf_item_t* storage, bool topLevel, int depth);

void ReadRecipient(MapiMessage& message, libolecf_item_t* storage, int codePage)
{
    const std::map<QString, ItemPtr> items = SubItems(storage);
    int type = 1;
    QString name, address, smtp;
    ReadProperties(items, 8, codePage,
                   [&](quint16 id, quint16 propertyType, const QByteArray& value, int cp) {
                       if (id == 0x0C15 && propertyType == MapiType::Int32 && value.size() >= 4)
                           type = qFromLittleEndian<qint32>(value.constData());
                       else if (id == 0x3001)
                           name = MapiString(propertyType, value, cp);
                       else if (id == 0x3003)
                           address = MapiString(propertyType, value, cp);
                       else if (id == 0x39FE)
                           smtp = MapiString(propertyType, value, cp);
                   });
    // Exchange recipients carry an X.500 path as their address.
    const QString best = !smtp.isEmpty() ? smtp : address.contains(u'@') ? address : QString();
    AddMapiRecipient(message, type, name, best);
}

MapiAttachment ReadAttachment(libolecf_item_t* storage, int codePage, int depth)
{
    const std::map<QString, ItemPtr> items = SubItems(storage);
    MapiAttachment attachment;
    ReadProperties(items, 8, codePage, [&](quint16 id, quint16 type, const QByteArray& value, int cp) {
        ApplyMapiAttachmentProperty(attachment, id, type, value, cp);
    });
    if (const auto found = items.find(u"__substg1.0_3701000D"_qs); found != items.end()) {
        if (depth >= kDeepestEmbedding)
            throw OlecfError("attached messages are nested deeper than any mail");
        attachment.embedded = std::make_shared<MapiMessage>(ReadItem(found->second.get(), false, depth + 1));
        attachment.data.clear();
    }
    return attachment;
}

MapiMessage ReadItem(libolecf_item_t* storage, bool topLevel, int depth)
{
    const std::map<QString, ItemPtr> items = SubItems(storage);
    const qsizetype headerSize = topLevel ? 32 : 24;
    const int codePage = CodePageOf(items, headerSize);
    MapiMessage message;
    // The class decides how some properties read, so it comes first.
    if (const auto found = items.find(u"__substg1.0_001A001F"_qs); found != items.end())
        message.messageClass = MapiString(MapiType::Unicode, StreamBytes(found->second.get()), codePage);
    else if (const auto ansi = items.find(u"__substg1.0_001A001E"_qs); ansi != items.end())
        message.messageClass = MapiString(MapiType::String8, StreamBytes(ansi->second.get()), codePage);
    ReadProperties(items, headerSize, codePage,
                   [&](quint16 id, quint16 type, const QByteArray& value, int cp) {
                       ApplyMapiProperty(message, id, type, value, cp);
                   });
    // The map's order is the storages' numbers (eight hex digits each).
    for (const auto& [name, item] : items) {
        if (HasPrefix(name, "__recip_version1.0_#"))
            ReadRecipient(message, item.get(), codePage);
        else if (HasPrefix(name, "__attach_version1.0_#"))
            message.attachments.append(ReadAttachment(item.get(), codePage, depth));
    }
    return message;
}

} // namespace

bool IsOutlookMessageFile(const QString& path)
{
    return path.endsWith(u".msg"_qs, Qt::CaseInsensitive);
}

bool StartsLikeOutlookMessage(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) &&
           file.read(8) == QByteArrayView("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
}

bool HoldsOutlookMessage(const QString& path)
{
    if (!StartsLikeOutlookMessage(path))
        return false;
    libolecf_file_t* raw = nullptr;
    if (libolecf_file_initialize(&raw, nullptr) != 1)
        return false;
    FilePtr olecf(raw);
    const QByteArray name = QFile::encodeName(path);
    libolecf_error_t* error = nullptr;
    if (libolecf_file_open(olecf.get(), name.constData(), LIBOLECF_OPEN_READ, &error) != 1) {
        FreeError(error);
        olecf.release();
        libolecf_file_free(&raw, nullptr);
        return false;
    }
    libolecf_item_t* root = nullptr;
    if (libolecf_file_get_root_item(olecf.get(), &root, nullptr) != 1)
        return false;
    const ItemPtr rootItem(root);
    libolecf_item_t* properties = nullptr;
    const QByteArray streamName = "__properties_version1.0";
    if (libolecf_item_get_sub_item_by_utf8_name(rootItem.get(),
                                                reinterpret_cast<const uint8_t*>(streamName.constData()),
                                                size_t(streamName.size()), &properties, nullptr) != 1)
        return false;
    const ItemPtr propertiesItem(properties);
    return true;
}

std::optional<MapiMessage> ReadOutlookMessage(const QString& path, QString* reason)
{
    const auto failed = [&](const QString& why) -> std::optional<MapiMessage> {
        if (reason)
            *reason = why;
        return std::nullopt;
    };
    libolecf_file_t* raw = nullptr;
    if (libolecf_file_initialize(&raw, nullptr) != 1)
        return failed(u"the Outlook message reader could not start"_qs);
    const QByteArray name = QFile::encodeName(path);
    libolecf_error_t* error = nullptr;
    if (libolecf_file_open(raw, name.constData(), LIBOLECF_OPEN_READ, &error) != 1) {
        FreeError(error);
        libolecf_file_free(&raw, nullptr);
        return failed(u"the file is no Outlook message (.msg) or is damaged: it is not a compound file that "
                      "can be opened"_qs);
    }
    const FilePtr olecf(raw);
    libolecf_item_t* root = nullptr;
    if (libolecf_file_get_root_item(olecf.get(), &root, nullptr) != 1)
        return failed(u"the Outlook message file is damaged: its root storage cannot be read"_qs);
    const ItemPtr rootItem(root);
    try {
        const std::map<QString, ItemPtr> items = SubItems(rootItem.get());
        if (items.find(u"__properties_version1.0"_qs) == items.end())
            return failed(u"the file is a compound file but no Outlook message: it has no message "
                          "properties"_qs);
        return ReadItem(rootItem.get(), true, 0);
    } catch (const OlecfError& problem) {
        return failed(u"the Outlook message file is damaged: %1"_qs.arg(QString::fromUtf8(problem.what())));
    }
}

std::optional<QByteArray> ReadOutlookMessageFile(const QString& path, QString* reason)
{
    const std::optional<MapiMessage> message = ReadOutlookMessage(path, reason);
    if (!message)
        return std::nullopt;
    return BuildMimeMessage(*message);
}
