#include "tnefreader.h"

#include <QtEndian>

extern "C" {
#include <ytnef.h>
}

namespace {

constexpr quint32 kTnefSignature = 0x223E9F78;

// Owns the parse: libytnef allocates every value it reads.
class TnefParse {
public:
    TnefParse() { TNEFInitialize(&m_tnef); }
    ~TnefParse() { TNEFFree(&m_tnef); }
    TnefParse(const TnefParse&) = delete;
    TnefParse& operator=(const TnefParse&) = delete;
    TNEFStruct& get() { return m_tnef; }

private:
    TNEFStruct m_tnef{};
};

QByteArray Bytes(const variableLength& value)
{
    if (!value.data || value.size <= 0)
        return {};
    return QByteArray(reinterpret_cast<const char*>(value.data), value.size);
}

template <typename Apply> void ApplyProperties(const MAPIProps& props, int codePage, Apply apply)
{
    for (DWORD i = 0; i < props.count; ++i) {
        const MAPIProperty& property = props.properties[i];
        const auto id = quint16(property.id >> 16);
        const auto type = quint16(property.id & 0xFFFF);
        // Named properties mean nothing without their names; lists are
        // nothing a reader shows.
        if (id >= 0x8000 || (type & 0x1000) || property.count < 1 || !property.data)
            continue;
        apply(id, type, Bytes(property.data[0]), codePage);
    }
}

int CodePageOf(const TNEFStruct& tnef)
{
    const QByteArray oem = Bytes(tnef.CodePage);
    if (oem.size() >= 4)
        return int(qFromLittleEndian<quint32>(oem.constData()));
    return 0;
}

} // namespace

bool IsTnefPart(const QByteArray& mimeType, const QString& fileName)
{
    return mimeType == "application/ms-tnef" || mimeType == "application/vnd.ms-tnef" ||
           fileName.compare(u"winmail.dat"_qs, Qt::CaseInsensitive) == 0;
}

std::optional<MapiMessage> ReadTnef(const QByteArray& bytes, QString* reason)
{
    const auto failed = [&](const QString& why) -> std::optional<MapiMessage> {
        if (reason)
            *reason = why;
        return std::nullopt;
    };
    if (bytes.size() < 6 || qFromLittleEndian<quint32>(bytes.constData()) != kTnefSignature)
        return failed(u"the winmail.dat part is no TNEF data"_qs);
    TnefParse parse;
    TNEFStruct& tnef = parse.get();
    tnef.Debug = 0;
    QByteArray copy = bytes;
    if (TNEFParseMemory(reinterpret_cast<BYTE*>(copy.data()), long(copy.size()), &tnef) < 0)
        return failed(u"the winmail.dat part is damaged: its TNEF data cannot be read"_qs);

    const int codePage = CodePageOf(tnef);
    MapiMessage message;
    message.messageClass =
        QString::fromLatin1(tnef.messageClass, qstrnlen(tnef.messageClass, sizeof tnef.messageClass));
    ApplyProperties(tnef.MapiProperties, codePage,
                    [&](quint16 id, quint16 type, const QByteArray& value, int cp) {
                        ApplyMapiProperty(message, id, type, value, cp);
                    });
    if (message.subject.isEmpty())
        message.subject = MapiString(MapiType::String8, Bytes(tnef.subject), codePage);
    if (message.plainBody.isEmpty())
        message.plainBody = MapiString(MapiType::String8, Bytes(tnef.body), codePage);

    for (const Attachment* attachment = tnef.starting_attach.next; attachment;
         attachment = attachment->next) {
        MapiAttachment item;
        ApplyProperties(attachment->MAPI, codePage,
                        [&](quint16 id, quint16 type, const QByteArray& value, int cp) {
                            ApplyMapiAttachmentProperty(item, id, type, value, cp);
                        });
        if (item.data.isEmpty())
            item.data = Bytes(attachment->FileData);
        if (item.fileName.isEmpty())
            item.fileName = MapiString(MapiType::String8, Bytes(attachment->Title), codePage);
        message.attachments.append(std::move(item));
    }
    return message;
}
