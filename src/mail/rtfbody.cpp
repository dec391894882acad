#include "rtfbody.h"

#include "mapimessage.h"
#include "textdecoding.h"

#include <QtEndian>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>

extern "C" {
#include <ytnef.h>
}

namespace {

constexpr quint32 kCompressed = 0x75465A4C;   // "LZFu"
constexpr quint32 kUncompressed = 0x414C454D; // "MELA"
constexpr qsizetype kHeaderSize = 16;
// A body beyond this is damage, not mail; the decompressor would allocate it.
constexpr quint32 kLargestRtf = 256u * 1024 * 1024;

struct FreeDeleter {
    void operator()(void* pointer) const { std::free(pointer); }
};

// Destinations whose text no reader shows.
bool IsHiddenDestination(const QByteArray& word)
{
    static const char* const kHidden[] = {
        "fonttbl",      "colortbl",          "stylesheet", "info",       "pict",     "object",    "header",
        "footer",       "headerl",           "headerr",    "headerf",    "footerl",  "footerr",   "footerf",
        "listtable",    "listoverridetable", "rsidtbl",    "generator",  "xmlnstbl", "themedata", "datastore",
        "latentstyles", "filetbl",           "revtbl",     "pgdsctbl",   "mmathPr",  "fldinst",   "bkmkstart",
        "bkmkend",      "footnote",          "annotation", "nonshppict", "shpinst",
    };
    for (const char* hidden : kHidden)
        if (word == hidden)
            return true;
    return false;
}

// Reads RTF one token at a time and writes what a reader sees. In HTML mode
// (\fromhtml) the HTML is the text of \*\htmltag groups plus the text outside
// them that \htmlrtf does not mark as RTF-only.
class RtfReader {
public:
    explicit RtfReader(const QByteArray& rtf) : m_rtf(rtf) {}

    RtfBody read()
    {
        RtfBody body;
        if (!m_rtf.startsWith("{\\rtf"))
            return body;
        const qsizetype headerEnd = qMin<qsizetype>(m_rtf.size(), 4096);
        const QByteArray head = m_rtf.left(headerEnd);
        m_html = head.contains("\\fromhtml");
        m_codePage = CodePageOf(head);
        m_states.append(State{});
        while (m_pos < m_rtf.size()) {
            const char c = m_rtf[m_pos];
            if (c == '{') {
                ++m_pos;
                State inner = m_states.last();
                inner.destinationPending = false;
                inner.htmlTag = false;
                m_states.append(inner);
                m_groupStart = true;
                continue;
            }
            if (c == '}') {
                ++m_pos;
                if (m_states.size() > 1)
                    m_states.removeLast();
                m_groupStart = false;
                continue;
            }
            if (c == '\\') {
                readControl();
                // "{\*\destination": the group still starts at the word after the star.
                m_groupStart = m_groupStart && m_states.last().destinationPending;
                continue;
            }
            ++m_pos;
            m_groupStart = false;
            if (c == '\r' || c == '\n')
                continue;
            emitByte(c);
        }
        flushBytes();
        body.kind = m_html ? RtfBody::Kind::Html : RtfBody::Kind::Text;
        body.text = m_out;
        return body;
    }

private:
    struct State {
        bool hidden = false;
        bool htmlTag = false;
        bool htmlRtf = false;
        bool destinationPending = false;
        int unicodeSkip = 1;
    };

    static int CodePageOf(const QByteArray& head)
    {
        const qsizetype at = head.indexOf("\\ansicpg");
        if (at < 0)
            return 1252;
        qsizetype end = at + 8;
        while (end < head.size() && std::isdigit(static_cast<unsigned char>(head[end])))
            ++end;
        return head.mid(at + 8, end - at - 8).toInt();
    }

    bool showing() const
    {
        const State& state = m_states.last();
        if (state.hidden)
            return false;
        if (m_html)
            return state.htmlTag || !state.htmlRtf;
        return true;
    }

    void emitByte(char c)
    {
        if (showing())
            m_bytes.append(c);
    }

    void emitText(const QString& text)
    {
        if (!showing())
            return;
        flushBytes();
        m_out += text;
    }

    void flushBytes()
    {
        if (m_bytes.isEmpty())
            return;
        m_out += DecodeText(m_bytes, MapiCodePageCharset(m_codePage));
        m_bytes.clear();
    }

    // Characters after \uN that stand in for it in readers without Unicode.
    void skipFallback(int count)
    {
        while (count > 0 && m_pos < m_rtf.size()) {
            const char c = m_rtf[m_pos];
            if (c == '{' || c == '}')
                return;
            if (c == '\\' && m_pos + 3 < m_rtf.size() && m_rtf[m_pos + 1] == '\'') {
                m_pos += 4;
            } else if (c == '\\') {
                ++m_pos;
                while (m_pos < m_rtf.size() && std::isalpha(static_cast<unsigned char>(m_rtf[m_pos])))
                    ++m_pos;
                if (m_pos < m_rtf.size() &&
                    (m_rtf[m_pos] == '-' || std::isdigit(static_cast<unsigned char>(m_rtf[m_pos]))))
                    ++m_pos;
                while (m_pos < m_rtf.size() && std::isdigit(static_cast<unsigned char>(m_rtf[m_pos])))
                    ++m_pos;
                if (m_pos < m_rtf.size() && m_rtf[m_pos] == ' ')
                    ++m_pos;
            } else {
                ++m_pos;
            }
            --count;
        }
    }

    void readControl()
    {
        ++m_pos; // the backslash
        if (m_pos >= m_rtf.size())
            return;
        const char c = m_rtf[m_pos];
        if (!std::isalpha(static_cast<unsigned char>(c))) {
            ++m_pos;
            readSymbol(c);
            return;
        }
        const qsizetype start = m_pos;
        while (m_pos < m_rtf.size() && std::isalpha(static_cast<unsigned char>(m_rtf[m_pos])))
            ++m_pos;
        const QByteArray word = m_rtf.mid(start, m_pos - start);
        bool hasParameter = false;
        qint64 parameter = 0;
        const qsizetype numberStart = m_pos;
        if (m_pos < m_rtf.size() && m_rtf[m_pos] == '-')
            ++m_pos;
        while (m_pos < m_rtf.size() && std::isdigit(static_cast<unsigned char>(m_rtf[m_pos])) &&
               m_pos - numberStart < 11)
            ++m_pos;
        if (m_pos > numberStart) {
            hasParameter = true;
            parameter = m_rtf.mid(numberStart, m_pos - numberStart).toLongLong();
        }
        if (m_pos < m_rtf.size() && m_rtf[m_pos] == ' ')
            ++m_pos;
        readWord(word, hasParameter, parameter);
    }

    void readSymbol(char c)
    {
        State& state = m_states.last();
        switch (c) {
        case '*':
            state.destinationPending = true;
            return;
        case '\'': {
            if (m_pos + 2 > m_rtf.size())
                return;
            bool ok = false;
            const int value = m_rtf.mid(m_pos, 2).toInt(&ok, 16);
            m_pos += 2;
            if (ok)
                emitByte(char(value));
            return;
        }
        case '\\':
        case '{':
        case '}':
            emitByte(c);
            return;
        case '~':
            emitText(QString(QChar(0x00A0)));
            return;
        case '_':
            emitText(QString(QChar(0x2011)));
            return;
        case '\r':
        case '\n':
            newParagraph();
            return;
        default:
            return;
        }
    }

    void newParagraph() { emitText(m_html ? u"\r\n"_qs : u"\n"_qs); }

    void readWord(const QByteArray& word, bool hasParameter, qint64 parameter)
    {
        State& state = m_states.last();
        const bool pending = state.destinationPending;
        state.destinationPending = false;
        if (word == "htmltag" && m_groupStart) {
            state.htmlTag = true;
            state.hidden = !m_html;
            return;
        }
        if (pending && m_groupStart) {
            // An unknown \* destination is skipped whole, as RTF asks.
            state.hidden = true;
            return;
        }
        if (m_groupStart && IsHiddenDestination(word)) {
            state.hidden = true;
            return;
        }
        if (word == "htmlrtf") {
            state.htmlRtf = !hasParameter || parameter != 0;
        } else if (word == "par" || word == "line") {
            newParagraph();
        } else if (word == "tab") {
            emitText(u"\t"_qs);
        } else if (word == "uc") {
            state.unicodeSkip = int(std::clamp<qint64>(parameter, 0, 8));
        } else if (word == "u" && hasParameter) {
            const auto unit = char16_t(parameter < 0 ? parameter + 65536 : parameter);
            emitText(QString(QChar(unit)));
            skipFallback(state.unicodeSkip);
        } else if (word == "bin" && hasParameter) {
            m_pos = qMin(m_rtf.size(), m_pos + qsizetype(qMax<qint64>(0, parameter)));
        } else if (word == "emdash") {
            emitText(QString(QChar(0x2014)));
        } else if (word == "endash") {
            emitText(QString(QChar(0x2013)));
        } else if (word == "bullet") {
            emitText(QString(QChar(0x2022)));
        } else if (word == "lquote") {
            emitText(QString(QChar(0x2018)));
        } else if (word == "rquote") {
            emitText(QString(QChar(0x2019)));
        } else if (word == "ldblquote") {
            emitText(QString(QChar(0x201C)));
        } else if (word == "rdblquote") {
            emitText(QString(QChar(0x201D)));
        }
    }

    const QByteArray& m_rtf;
    qsizetype m_pos = 0;
    bool m_html = false;
    bool m_groupStart = false;
    int m_codePage = 1252;
    QList<State> m_states;
    QByteArray m_bytes;
    QString m_out;
};

} // namespace

QByteArray DecompressRtf(const QByteArray& compressed)
{
    if (compressed.size() < kHeaderSize)
        return {};
    const char* header = compressed.constData();
    const quint32 compressedSize = qFromLittleEndian<quint32>(header);
    const quint32 rawSize = qFromLittleEndian<quint32>(header + 4);
    const quint32 magic = qFromLittleEndian<quint32>(header + 8);
    if (compressedSize != quint32(compressed.size() - 4) || rawSize > kLargestRtf)
        return {};
    if (magic == kUncompressed)
        return compressed.mid(kHeaderSize, rawSize);
    if (magic != kCompressed)
        return {};
    // The decompressor reads a reference's second byte without looking at
    // the end: the padding keeps that read inside the buffer.
    QByteArray padded = compressed;
    padded.append(2, '\0');
    variableLength input;
    input.data = reinterpret_cast<BYTE*>(padded.data());
    input.size = int(compressed.size());
    int size = 0;
    const std::unique_ptr<BYTE, FreeDeleter> rtf(DecompressRTF(&input, &size));
    if (!rtf || size <= 0)
        return {};
    return QByteArray(reinterpret_cast<const char*>(rtf.get()), size);
}

RtfBody ReadRtfBody(const QByteArray& rtf)
{
    return RtfReader(rtf).read();
}
