#include "rtflinks.h"

#include <QList>

#include <cctype>
#include <optional>

namespace {

// Words of the field instructions that name something outside the document.
// Matched anywhere in the instruction's letters, so neither a split into
// groups, hex or Unicode escapes, letter case nor a word in front hides one.
const char* const kLinkingWords[] = {"INCLUDE", "IMPORT", "LINK", "DDE"};

bool isLetter(char c)
{
    return std::isalpha(static_cast<unsigned char>(c)) != 0;
}

bool namesOutside(const QByteArray& letters)
{
    for (const char* word : kLinkingWords)
        if (letters.contains(word))
            return true;
    return false;
}

// The state the RTF reader keeps per group that matters here.
struct Group {
    qsizetype start = 0; // offset of the group's '{'
    int unicodeSkip = 1; // \ucN: characters standing in for each \u
};

// One field instruction being read. Its letters are kept twice: with the
// characters that stand in for a \u character and without them, since a
// reader may count them either way.
struct Instruction {
    qsizetype start = 0;
    int depth = 0;
    QByteArray withStandIns;
    QByteArray withoutStandIns;

    bool linksOut() const { return namesOutside(withStandIns) || namesOutside(withoutStandIns); }
};

class RtfScanner {
public:
    explicit RtfScanner(const QByteArray& rtf) : m_rtf(rtf) {}

    // Byte ranges [start, end) of the instruction groups that link out.
    QList<std::pair<qsizetype, qsizetype>> linkingInstructions()
    {
        QList<std::pair<qsizetype, qsizetype>> found;
        qsizetype at = 0;
        int standInsLeft = 0;
        while (at < m_rtf.size()) {
            const char c = m_rtf[at];
            if (c == '{') {
                Group group = m_groups.isEmpty() ? Group() : m_groups.last();
                group.start = at;
                m_groups.append(group);
                ++at;
                standInsLeft = 0;
            } else if (c == '}') {
                if (!m_groups.isEmpty()) {
                    if (m_reading && m_groups.size() == m_reading->depth) {
                        if (m_reading->linksOut())
                            found.append({m_reading->start, at + 1});
                        m_reading.reset();
                    }
                    m_groups.removeLast();
                }
                ++at;
                standInsLeft = 0;
            } else if (c == '\\') {
                at = controlWord(at, &standInsLeft);
            } else {
                if (c != '\r' && c != '\n')
                    addText(c, &standInsLeft);
                ++at;
            }
        }
        // A reader that meets the end of a cut-off file takes the
        // instruction read so far.
        if (m_reading && m_reading->linksOut())
            found.append({m_reading->start, m_rtf.size()});
        return found;
    }

private:
    void addText(char c, int* standInsLeft)
    {
        if (!m_reading)
            return;
        const char upper = char(std::toupper(static_cast<unsigned char>(c)));
        if (isLetter(c))
            m_reading->withStandIns += upper;
        if (*standInsLeft > 0) {
            --*standInsLeft;
            return;
        }
        if (isLetter(c))
            m_reading->withoutStandIns += upper;
    }

    void addUnicode(long code)
    {
        if (!m_reading)
            return;
        if (code < 0)
            code += 65536;
        if (code < 128 && isLetter(char(code))) {
            const char upper = char(std::toupper(int(code)));
            m_reading->withStandIns += upper;
            m_reading->withoutStandIns += upper;
        }
    }

    // Reads the control word or symbol at `at` and returns the offset after it.
    qsizetype controlWord(qsizetype at, int* standInsLeft)
    {
        const qsizetype size = m_rtf.size();
        qsizetype next = at + 1;
        if (next >= size)
            return next;
        const char first = m_rtf[next];
        if (!isLetter(first)) {
            if (first == '\'' && next + 2 < size) {
                bool ok = false;
                const int value = m_rtf.mid(next + 1, 2).toInt(&ok, 16);
                if (ok)
                    addText(char(value), standInsLeft);
                return next + 3;
            }
            if (first == '\\' || first == '{' || first == '}')
                addText(first, standInsLeft);
            return next + 1;
        }
        const qsizetype nameStart = next;
        while (next < size && isLetter(m_rtf[next]))
            ++next;
        const QByteArray name = m_rtf.mid(nameStart, next - nameStart);
        const qsizetype numberStart = next;
        if (next < size && m_rtf[next] == '-')
            ++next;
        while (next < size && std::isdigit(static_cast<unsigned char>(m_rtf[next])))
            ++next;
        const QByteArray digits = m_rtf.mid(numberStart, next - numberStart);
        const bool hasNumber = !digits.isEmpty() && digits != "-";
        const long number = hasNumber ? digits.toLong() : 0;
        if (next < size && m_rtf[next] == ' ')
            ++next;

        if (name == "bin" && hasNumber && number > 0) {
            // Raw bytes, which may hold anything, braces included.
            return qMin(size, next + qsizetype(number));
        }
        if (name == "uc" && hasNumber && !m_groups.isEmpty()) {
            m_groups.last().unicodeSkip = int(qMax(0L, number));
        } else if (name == "u" && hasNumber) {
            addUnicode(number);
            *standInsLeft = m_groups.isEmpty() ? 1 : m_groups.last().unicodeSkip;
            return next;
        } else if (name == "fldinst" && !m_groups.isEmpty() && !m_reading) {
            m_reading = Instruction{m_groups.last().start, int(m_groups.size()), {}, {}};
        }
        return next;
    }

    const QByteArray& m_rtf;
    QList<Group> m_groups;
    std::optional<Instruction> m_reading;
};

} // namespace

bool LooksLikeRtf(const QByteArray& head)
{
    return head.trimmed().startsWith("{\\rtf");
}

QByteArray DefuseRtfLinks(const QByteArray& rtf, int* emptied)
{
    const auto ranges = RtfScanner(rtf).linkingInstructions();
    if (emptied)
        *emptied = int(ranges.size());
    if (ranges.isEmpty())
        return rtf;
    QByteArray defused;
    defused.reserve(rtf.size());
    qsizetype copied = 0;
    for (const auto& [start, end] : ranges) {
        defused += rtf.mid(copied, start - copied);
        defused += "{\\*\\fldinst }";
        copied = end;
    }
    defused += rtf.mid(copied);
    return defused;
}
