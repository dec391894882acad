#include "pstreader.h"

#include "mapimessage.h"
#include "messagefile.h"
#include "mimebuilder.h"

#include <QFile>
#include <QtEndian>

#include <libpff.h>

#include <cstdio>
#include <limits>
#include <memory>
#include <stdexcept>

namespace {

// Attached messages attach messages of their own; a store that loops them
// must not loop the reader.
constexpr int kDeepestAttachedMessage = 16;

constexpr quint16 kAttachDataBinary = 0x3701;
constexpr quint16 kRecipientType = 0x0C15;
constexpr quint16 kDisplayName = 0x3001;
constexpr quint16 kAddressType = 0x3002;
constexpr quint16 kEmailAddress = 0x3003;
constexpr quint16 kSmtpAddress = 0x39FE;
constexpr quint16 kMessageCodePage = 0x3FFD;
constexpr quint16 kInternetCodePage = 0x3FDE;
constexpr quint16 kSubject = 0x0037;

class PffError {
public:
    PffError() = default;
    ~PffError() { libpff_error_free(&m_error); }
    PffError(const PffError&) = delete;
    PffError& operator=(const PffError&) = delete;

    libpff_error_t** out() { return &m_error; }

    // libpff's messages, innermost cause first, on one line.
    QString text() const
    {
        if (m_error == nullptr)
            return QStringLiteral("no reason given");
        char buffer[1024] = {};
        if (libpff_error_sprint(m_error, buffer, sizeof buffer) < 0)
            return QStringLiteral("no reason given");
        QStringList lines = QString::fromUtf8(buffer).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (QString& line : lines)
            line = line.trimmed();
        return lines.join(QStringLiteral("; "));
    }

private:
    libpff_error_t* m_error = nullptr;
};

[[noreturn]] void Fail(const QString& what, const PffError& error)
{
    throw std::runtime_error(QStringLiteral("%1 (%2)").arg(what, error.text()).toStdString());
}

struct FileClose {
    void operator()(libpff_file_t* file) const
    {
        libpff_file_close(file, nullptr);
        libpff_file_free(&file, nullptr);
    }
};
struct ItemFree {
    void operator()(libpff_item_t* item) const { libpff_item_free(&item, nullptr); }
};
struct RecordSetFree {
    void operator()(libpff_record_set_t* set) const { libpff_record_set_free(&set, nullptr); }
};
struct RecordEntryFree {
    void operator()(libpff_record_entry_t* entry) const { libpff_record_entry_free(&entry, nullptr); }
};
using File = std::unique_ptr<libpff_file_t, FileClose>;
using Item = std::unique_ptr<libpff_item_t, ItemFree>;
using RecordSet = std::unique_ptr<libpff_record_set_t, RecordSetFree>;
using RecordEntry = std::unique_ptr<libpff_record_entry_t, RecordEntryFree>;

File OpenStore(const QString& path)
{
    if (!QFile::exists(path))
        throw std::runtime_error(QStringLiteral("the file does not exist").toStdString());
    if (!IsPstFile(path))
        throw std::runtime_error(
            QStringLiteral("the file is not an Outlook data file (PST or OST): it does not start like one")
                .toStdString());
    PffError error;
    libpff_file_t* raw = nullptr;
    if (libpff_file_initialize(&raw, error.out()) != 1)
        Fail(QStringLiteral("the PST reader could not start"), error);
    File file(raw);
    const QByteArray name = QFile::encodeName(path);
    if (libpff_file_open(file.get(), name.constData(), LIBPFF_OPEN_READ, error.out()) != 1)
        Fail(QStringLiteral(
                 "the file cannot be opened as an Outlook data file; it may be damaged or cut short"),
             error);
    return file;
}

struct Property {
    quint16 id = 0;
    quint16 type = 0;
    QByteArray value;
};

// A store keeps a subject behind a mark, U+0001 and a character that counts
// its prefix ("RE: "); a reader shows the subject without it.
void DropSubjectMark(Property& property)
{
    if (property.id != kSubject)
        return;
    if (property.type == MapiType::Unicode && property.value.size() >= 4 && property.value.at(0) == '\x01' &&
        property.value.at(1) == '\0')
        property.value.remove(0, 4);
    else if (property.type == MapiType::String8 && property.value.size() >= 2 &&
             property.value.at(0) == '\x01')
        property.value.remove(0, 2);
}

// Every property of one record set, as stored.
QList<Property> PropertiesOf(libpff_record_set_t* set, bool skipAttachmentData)
{
    QList<Property> properties;
    PffError error;
    int count = 0;
    if (libpff_record_set_get_number_of_entries(set, &count, error.out()) != 1)
        Fail(QStringLiteral("the item's properties cannot be read"), error);
    for (int i = 0; i < count; ++i) {
        libpff_record_entry_t* raw = nullptr;
        PffError entryError;
        if (libpff_record_set_get_entry_by_index(set, i, &raw, entryError.out()) != 1)
            continue;
        const RecordEntry entry(raw);
        uint32_t id = 0;
        uint32_t type = 0;
        if (libpff_record_entry_get_entry_type(entry.get(), &id, nullptr) != 1 ||
            libpff_record_entry_get_value_type(entry.get(), &type, nullptr) != 1)
            continue;
        if (skipAttachmentData && id == kAttachDataBinary)
            continue;
        Property property{quint16(id), quint16(type), {}};
        size_t size = 0;
        if (libpff_record_entry_get_data_size(entry.get(), &size, nullptr) == 1 && size > 0) {
            property.value.resize(qsizetype(size));
            if (libpff_record_entry_get_data(entry.get(), reinterpret_cast<uint8_t*>(property.value.data()),
                                             size, nullptr) != 1)
                continue;
        }
        DropSubjectMark(property);
        properties.append(std::move(property));
    }
    return properties;
}

// The properties of the item's first record set, where libpff keeps an
// item's own properties.
QList<Property> ItemProperties(libpff_item_t* item, bool skipAttachmentData = false)
{
    PffError error;
    int sets = 0;
    if (libpff_item_get_number_of_record_sets(item, &sets, error.out()) != 1)
        Fail(QStringLiteral("the item cannot be read"), error);
    if (sets < 1)
        return {};
    libpff_record_set_t* raw = nullptr;
    if (libpff_item_get_record_set_by_index(item, 0, &raw, error.out()) != 1)
        Fail(QStringLiteral("the item's properties cannot be read"), error);
    const RecordSet set(raw);
    return PropertiesOf(set.get(), skipAttachmentData);
}

qint32 Int32Of(const Property& property)
{
    return property.value.size() >= 4 ? qFromLittleEndian<qint32>(property.value.constData()) : 0;
}

// The code page the item's 8-bit strings are in.
int CodePageOf(const QList<Property>& properties, int storeCodePage)
{
    for (const quint16 id : {kMessageCodePage, kInternetCodePage})
        for (const Property& property : properties)
            if (property.id == id && property.type == MapiType::Int32 && Int32Of(property) > 0)
                return Int32Of(property);
    return storeCodePage;
}

void ReadRecipients(libpff_item_t* item, MapiMessage& message, int codePage)
{
    PffError error;
    libpff_item_t* raw = nullptr;
    const int found = libpff_message_get_recipients(item, &raw, error.out());
    if (found == 0)
        return;
    if (found != 1)
        Fail(QStringLiteral("the item's recipients cannot be read"), error);
    const Item recipients(raw);
    int sets = 0;
    if (libpff_item_get_number_of_record_sets(recipients.get(), &sets, error.out()) != 1)
        Fail(QStringLiteral("the item's recipients cannot be read"), error);
    for (int i = 0; i < sets; ++i) {
        libpff_record_set_t* rawSet = nullptr;
        PffError setError;
        if (libpff_item_get_record_set_by_index(recipients.get(), i, &rawSet, setError.out()) != 1)
            Fail(QStringLiteral("recipient %1 cannot be read").arg(i + 1), setError);
        const RecordSet set(rawSet);
        int type = 1;
        QString name, addressType, address, smtp;
        for (const Property& property : PropertiesOf(set.get(), false)) {
            switch (property.id) {
            case kRecipientType:
                type = Int32Of(property);
                break;
            case kDisplayName:
                name = MapiString(property.type, property.value, codePage);
                break;
            case kAddressType:
                addressType = MapiString(property.type, property.value, codePage);
                break;
            case kEmailAddress:
                address = MapiString(property.type, property.value, codePage);
                break;
            case kSmtpAddress:
                smtp = MapiString(property.type, property.value, codePage);
                break;
            default:
                break;
            }
        }
        // An Exchange address (/O=.../CN=...) means nothing to a reader; the
        // SMTP address stands for it when the store has one.
        if (!smtp.isEmpty() &&
            (address.isEmpty() || addressType.compare(QLatin1String("SMTP"), Qt::CaseInsensitive) != 0))
            address = smtp;
        AddMapiRecipient(message, type, name, address);
    }
}

QByteArray AttachmentData(libpff_item_t* attachment)
{
    PffError error;
    size64_t size = 0;
    if (libpff_attachment_get_data_size(attachment, &size, error.out()) != 1)
        Fail(QStringLiteral("the attachment's size cannot be read"), error);
    if (size == 0)
        return {};
    if (size > size64_t(std::numeric_limits<int>::max() / 2))
        throw std::runtime_error("an attachment is larger than 1 GB");
    if (libpff_attachment_data_seek_offset(attachment, 0, SEEK_SET, error.out()) < 0)
        Fail(QStringLiteral("the attachment cannot be read"), error);
    QByteArray data(qsizetype(size), Qt::Uninitialized);
    qsizetype filled = 0;
    while (filled < data.size()) {
        const ssize_t read =
            libpff_attachment_data_read_buffer(attachment, reinterpret_cast<uint8_t*>(data.data() + filled),
                                               size_t(data.size() - filled), error.out());
        if (read < 0)
            Fail(QStringLiteral("the attachment cannot be read; the file may be damaged"), error);
        if (read == 0)
            break;
        filled += read;
    }
    if (filled < data.size())
        throw std::runtime_error("an attachment ends early; the file may be cut short");
    return data;
}

MapiMessage ReadMessage(libpff_item_t* item, int storeCodePage, int depth);

MapiAttachment ReadAttachment(libpff_item_t* attachment, int codePage, int depth)
{
    MapiAttachment read;
    for (const Property& property : ItemProperties(attachment, true))
        ApplyMapiAttachmentProperty(read, property.id, property.type, property.value, codePage);
    PffError error;
    int type = LIBPFF_ATTACHMENT_TYPE_UNDEFINED;
    if (libpff_attachment_get_type(attachment, &type, error.out()) != 1)
        Fail(QStringLiteral("the attachment's kind cannot be read"), error);
    if (type == LIBPFF_ATTACHMENT_TYPE_DATA) {
        read.data = AttachmentData(attachment);
    } else if (type == LIBPFF_ATTACHMENT_TYPE_ITEM) {
        if (depth >= kDeepestAttachedMessage)
            throw std::runtime_error("attached messages are nested too deep");
        libpff_item_t* raw = nullptr;
        if (libpff_attachment_get_item(attachment, &raw, error.out()) != 1)
            Fail(QStringLiteral("an attached message cannot be read"), error);
        const Item embedded(raw);
        read.method = 5;
        read.embedded = std::make_shared<MapiMessage>(ReadMessage(embedded.get(), codePage, depth + 1));
    }
    return read;
}

MapiMessage ReadMessage(libpff_item_t* item, int storeCodePage, int depth)
{
    MapiMessage message;
    const QList<Property> properties = ItemProperties(item);
    const int codePage = CodePageOf(properties, storeCodePage);
    for (const Property& property : properties)
        ApplyMapiProperty(message, property.id, property.type, property.value, codePage);
    ReadRecipients(item, message, codePage);

    PffError error;
    int attachments = 0;
    if (libpff_message_get_number_of_attachments(item, &attachments, error.out()) != 1)
        Fail(QStringLiteral("the item's attachments cannot be counted"), error);
    for (int i = 0; i < attachments; ++i) {
        libpff_item_t* raw = nullptr;
        PffError attachmentError;
        if (libpff_message_get_attachment(item, i, &raw, attachmentError.out()) != 1)
            Fail(QStringLiteral("attachment %1 cannot be read").arg(i + 1), attachmentError);
        const Item attachment(raw);
        message.attachments.append(ReadAttachment(attachment.get(), codePage, depth));
    }
    return message;
}

QString FolderName(libpff_item_t* folder, int index)
{
    size_t size = 0;
    if (libpff_folder_get_utf8_name_size(folder, &size, nullptr) == 1 && size > 1) {
        QByteArray name(qsizetype(size), '\0');
        if (libpff_folder_get_utf8_name(folder, reinterpret_cast<uint8_t*>(name.data()), size, nullptr) ==
            1) {
            QString text = QString::fromUtf8(name.constData());
            // Each name is one step of the path and of the output folders.
            text.replace(QLatin1Char('/'), QLatin1Char('_'));
            text.replace(QLatin1Char('\\'), QLatin1Char('_'));
            for (QChar& c : text)
                if (c.unicode() < 0x20)
                    c = QLatin1Char('_');
            text = text.trimmed();
            if (!text.isEmpty() && text != QLatin1String(".") && text != QLatin1String(".."))
                return text;
        }
    }
    return QStringLiteral("folder %1").arg(index + 1);
}

class Lister {
public:
    explicit Lister(PstListing& into) : m_into(into) {}

    void walk(libpff_item_t* folder, const QString& path, int depth)
    {
        if (depth > 64) {
            m_into.problems.append(QStringLiteral("folder %1: folders nested too deep, left out").arg(path));
            return;
        }
        PffError error;
        int messages = 0;
        if (libpff_folder_get_number_of_sub_messages(folder, &messages, error.out()) != 1) {
            m_into.problems.append(
                QStringLiteral("folder %1: its items cannot be listed: %2").arg(shown(path), error.text()));
            messages = 0;
        }
        int number = 0;
        for (int i = 0; i < messages; ++i) {
            libpff_item_t* raw = nullptr;
            PffError itemError;
            if (libpff_folder_get_sub_message(folder, i, &raw, itemError.out()) != 1) {
                m_into.problems.append(QStringLiteral("folder %1: item %2 cannot be found: %3")
                                           .arg(shown(path))
                                           .arg(i + 1)
                                           .arg(itemError.text()));
                continue;
            }
            const Item item(raw);
            uint32_t identifier = 0;
            if (libpff_item_get_identifier(item.get(), &identifier, itemError.out()) != 1) {
                m_into.problems.append(QStringLiteral("folder %1: item %2 cannot be found: %3")
                                           .arg(shown(path))
                                           .arg(i + 1)
                                           .arg(itemError.text()));
                continue;
            }
            m_into.items.append(PstItem{path, ++number, identifier});
        }

        int folders = 0;
        PffError folderError;
        if (libpff_folder_get_number_of_sub_folders(folder, &folders, folderError.out()) != 1) {
            m_into.problems.append(QStringLiteral("folder %1: its folders cannot be listed: %2")
                                       .arg(shown(path), folderError.text()));
            return;
        }
        for (int i = 0; i < folders; ++i) {
            libpff_item_t* raw = nullptr;
            PffError subError;
            if (libpff_folder_get_sub_folder(folder, i, &raw, subError.out()) != 1) {
                m_into.problems.append(QStringLiteral("folder %1: its folder %2 cannot be read: %3")
                                           .arg(shown(path))
                                           .arg(i + 1)
                                           .arg(subError.text()));
                continue;
            }
            const Item sub(raw);
            const QString name = FolderName(sub.get(), i);
            walk(sub.get(), path.isEmpty() ? name : path + QLatin1Char('/') + name, depth + 1);
        }
    }

private:
    static QString shown(const QString& path) { return path.isEmpty() ? QStringLiteral("(top)") : path; }

    PstListing& m_into;
};

int StoreCodePage(libpff_file_t* file)
{
    int codePage = 0;
    if (libpff_file_get_ascii_codepage(file, &codePage, nullptr) != 1 || codePage <= 0)
        return 1252;
    return codePage;
}

} // namespace

bool IsPstFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    return file.read(4) == QByteArrayLiteral("!BDN");
}

PstListing ListPst(const QString& path)
{
    const File file = OpenStore(path);
    PstListing listing;
    PffError error;
    libpff_item_t* raw = nullptr;
    const int found = libpff_file_get_root_folder(file.get(), &raw, error.out());
    if (found == 0)
        return listing;
    if (found != 1)
        Fail(QStringLiteral("the folders of the file cannot be read; it may be damaged or cut short"), error);
    const Item root(raw);
    Lister(listing).walk(root.get(), QString(), 0);
    return listing;
}

MapiMessage ReadPstItem(const QString& path, quint32 identifier)
{
    const File file = OpenStore(path);
    PffError error;
    libpff_item_t* raw = nullptr;
    if (libpff_file_get_item_by_identifier(file.get(), identifier, &raw, error.out()) != 1)
        Fail(QStringLiteral("the item is no longer in the file, or the file is damaged there"), error);
    const Item item(raw);
    return ReadMessage(item.get(), StoreCodePage(file.get()), 0);
}

void ExtractPstItem(const QString& path, quint32 identifier, const QString& destination)
{
    WriteMessageFile(destination, BuildMimeMessage(ReadPstItem(path, identifier)));
}
