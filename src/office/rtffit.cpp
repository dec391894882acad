#include "rtffit.h"

#include <QList>

#include <cmath>
#include <optional>

namespace
{

struct ControlWord {
    qsizetype start = 0;       // index of the backslash
    qsizetype numberStart = 0; // index of the parameter, when there is one
    qsizetype end = 0;         // index after the parameter
    QByteArray name;
    std::optional<long long> value;
};

bool isLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Every control word of the document, skipping escaped characters and the
// bytes of \bin.
QList<ControlWord> controlWords(const QByteArray& rtf)
{
    QList<ControlWord> words;
    const qsizetype n = rtf.size();
    qsizetype i = 0;
    while (i < n) {
        if (rtf[i] != '\\') {
            ++i;
            continue;
        }
        if (i + 1 >= n)
            break;
        if (!isLetter(rtf[i + 1])) {
            i += 2; // \\, \{, \}, \'hh (the hex digits are plain text), \*
            continue;
        }
        ControlWord word;
        word.start = i;
        qsizetype j = i + 1;
        while (j < n && isLetter(rtf[j]))
            ++j;
        word.name = rtf.mid(i + 1, j - i - 1);
        word.numberStart = j;
        if (j < n && (rtf[j] == '-' || isDigit(rtf[j]))) {
            qsizetype k = j + 1;
            while (k < n && isDigit(rtf[k]))
                ++k;
            bool ok = false;
            const long long value = rtf.mid(j, k - j).toLongLong(&ok);
            if (ok)
                word.value = value;
            j = k;
        }
        word.end = j;
        words.append(word);
        if (word.name == "bin" && word.value && *word.value > 0) {
            if (j < n && rtf[j] == ' ')
                ++j;
            j += qsizetype(*word.value);
        }
        i = j;
    }
    return words;
}

} // namespace

QByteArray FitRtfTablesToWidth(const QByteArray& rtf)
{
    const QList<ControlWord> words = controlWords(rtf);

    // The narrowest text width of the document and its sections, in twips.
    long long paper = 12240, left = 1800, right = 1800;
    long long sectionPaper = -1, sectionLeft = -1, sectionRight = -1;
    long long textWidth = -1;
    auto noteSection = [&] {
        if (sectionPaper > 0) {
            const long long width = sectionPaper - (sectionLeft >= 0 ? sectionLeft : left) -
                                    (sectionRight >= 0 ? sectionRight : right);
            if (width > 0 && (textWidth < 0 || width < textWidth))
                textWidth = width;
        }
    };
    long long widest = 0;
    for (const ControlWord& word : words) {
        if (!word.value)
            continue;
        const long long v = *word.value;
        if (word.name == "paperw")
            paper = v;
        else if (word.name == "margl")
            left = v;
        else if (word.name == "margr")
            right = v;
        else if (word.name == "sectd" || word.name == "sect") {
            noteSection();
            sectionPaper = sectionLeft = sectionRight = -1;
        } else if (word.name == "pgwsxn")
            sectionPaper = v;
        else if (word.name == "marglsxn")
            sectionLeft = v;
        else if (word.name == "margrsxn")
            sectionRight = v;
        else if (word.name == "cellx")
            widest = qMax(widest, v);
    }
    noteSection();
    const long long documentWidth = paper - left - right;
    if (documentWidth > 0 && (textWidth < 0 || documentWidth < textWidth))
        textWidth = documentWidth;
    if (textWidth <= 0 || widest <= textWidth)
        return rtf;

    const double factor = double(textWidth) / double(widest);
    QByteArray out;
    out.reserve(rtf.size());
    qsizetype copied = 0;
    for (const ControlWord& word : words) {
        if (!word.value || (word.name != "cellx" && word.name != "trleft"))
            continue;
        out += QByteArrayView(rtf).sliced(copied, word.numberStart - copied);
        out += QByteArray::number(static_cast<long long>(std::floor(double(*word.value) * factor)));
        copied = word.end;
    }
    out += QByteArrayView(rtf).sliced(copied);
    return out;
}
