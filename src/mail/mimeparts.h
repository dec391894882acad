#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <memory>

typedef struct _GMimeObject GMimeObject;
typedef struct _GMimePart GMimePart;

// How a mail reader sees a message, in one place: the page reader lays out
// what these choose, and the message page puts its header block there, so
// the two cannot disagree about the part or the bytes they start from.

// Owns one GObject reference (parsers, streams, messages).
struct GObjectUnref {
    void operator()(void* object) const;
};
template <typename T> using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

// Initialises GMime once per process; safe to call from any thread.
void InitGMime();

typedef struct _GMimeStream GMimeStream;
typedef struct _GByteArray GByteArray;

// A GMime memory stream that reads the bytes in place instead of copying
// them, so a large message is held once while it is parsed; a parser that
// keeps its stream makes every part's content a window on them. It must
// outlive everything parsed from it. Bytes beyond the stream's 32-bit count
// give an empty stream.
class BorrowedStream {
public:
    explicit BorrowedStream(QByteArray bytes);
    ~BorrowedStream();
    BorrowedStream(const BorrowedStream&) = delete;
    BorrowedStream& operator=(const BorrowedStream&) = delete;

    GMimeStream* get() const { return m_stream.get(); }

private:
    const QByteArray m_bytes;
    const std::unique_ptr<GByteArray> m_array;
    GObjectPtr<GMimeStream> m_stream;
};

// True when the object's content type is type/subtype (any letter case).
bool HasContentType(GMimeObject* object, const char* type, const char* subtype);

// The object's type/subtype in lower case; application/octet-stream when it
// names none.
QByteArray MimeTypeOf(GMimeObject* object);

// The part's content with its transfer encoding undone; empty without content.
QByteArray DecodedContent(GMimePart* part);

// A Content-ID as the start parameter, the part's field and cid: references
// name it: trimmed, without its angle brackets.
QString NormalisedContentId(const QString& id);

// The part a reader shows: the root of multipart/related (its start part when
// named), the last HTML (else the last plain-text) alternative, the first
// displayable part of anything else that is not an attachment; a forwarded
// message shows its own part. Null when nothing can be shown.
GMimePart* DisplayedPart(GMimeObject* top);

// The blanks (space, tab, CR, LF) before a message's first field. Saved
// messages sometimes start with them; readers skip them, or the header block
// would end before it began. The text form counts the same characters in
// text holding one byte per character.
qsizetype LeadingBlankCount(QByteArrayView bytes);
qsizetype LeadingBlankCount(QStringView text);

// True when control characters among the header lines mark the data as
// binary rather than a MIME document: two zero bytes there, or more than one
// control character in twenty (a zero byte counts as one, ESC of ISO-2022
// text does not). Zero bytes further down, in a binary part, do
// not count, and two-byte text (it starts with its byte order mark) is judged
// by its characters. Empty data is not binary. The text form judges text
// holding one byte per character as the bytes it stands for. Both the office
// host's reader and the conversion's refusal of a file ask this.
bool LooksBinary(QByteArrayView bytes);
bool LooksBinary(QStringView text);

// The data with the zero byte of its header section, which LooksBinary lets
// pass, as a blank: GMime ends a field at a zero byte and takes the next line
// into it, losing the part's type or the blank line that ends the header. A
// blank first is skipped like any other. Binary data stays as it is.
QByteArray WithHeaderZeroBytesBlanked(QByteArray bytes);
QString WithHeaderZeroBytesBlanked(QString text);
