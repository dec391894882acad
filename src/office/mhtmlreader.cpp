#include "mhtmlreader.h"

#include "mimeparts.h"

#include <QColor>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QRegularExpression>
#include <QStringConverter>

// GLib names a struct member "signals", which Qt defines as a keyword.
#undef signals
#include <gmime/gmime.h>
#define signals Q_SIGNALS

#include <cmath>
#include <stdexcept>

namespace
{

std::runtime_error failure(const QString& text)
{
    return std::runtime_error(text.toStdString());
}

// ---------------------------------------------------------------- GMime glue

QString safeExtension(GMimeObject* object)
{
    GMimeContentType* contentType = g_mime_object_get_content_type(object);
    QString subtype =
        contentType ? QString::fromUtf8(g_mime_content_type_get_media_subtype(contentType)) : QString();
    subtype = subtype.toLower();
    static const QRegularExpression plain(QStringLiteral("^[a-z0-9]{1,8}$"));
    if (subtype == QLatin1String("jpeg") || subtype == QLatin1String("pjpeg"))
        return QStringLiteral("jpg");
    if (subtype == QLatin1String("svg+xml"))
        return QStringLiteral("svg");
    return plain.match(subtype).hasMatch() ? subtype : QStringLiteral("bin");
}

struct RelatedParts {
    QHash<QString, QString> names; // reference as written in the page -> file name
    QHash<QString, QSize> sizes;   // file name -> natural image size
};

// Writes every part that can be referred to by Content-ID or Content-Location
// into the page's folder. Mail clients refer across multipart boundaries, so
// the whole message is searched, not only the related part holding the page.
void collectRelated(GMimeObject* object, GMimePart* shown, const QString& folder, RelatedParts& parts,
                    int depth = 0)
{
    if (!object || depth > 64)
        return;
    if (GMIME_IS_MESSAGE_PART(object)) {
        GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
        if (inner)
            collectRelated(g_mime_message_get_mime_part(inner), shown, folder, parts, depth + 1);
        return;
    }
    if (GMIME_IS_MULTIPART(object)) {
        GMimeMultipart* multipart = GMIME_MULTIPART(object);
        for (int i = 0; i < g_mime_multipart_get_count(multipart); ++i)
            collectRelated(g_mime_multipart_get_part(multipart, i), shown, folder, parts, depth + 1);
        return;
    }
    if (!GMIME_IS_PART(object) || GMIME_PART(object) == shown)
        return;
    const char* id = g_mime_object_get_content_id(object);
    const char* location = g_mime_part_get_content_location(GMIME_PART(object));
    if (!id && !location)
        return;

    const QString fileName =
        QStringLiteral("part-%1.%2").arg(parts.sizes.size() + 1).arg(safeExtension(object));
    QFile file(folder + u'/' + fileName);
    if (!file.open(QIODevice::WriteOnly) || file.write(DecodedContent(GMIME_PART(object))) < 0)
        throw failure(
            QStringLiteral("cannot write a part of the page into %1: %2").arg(folder, file.errorString()));
    file.close();
    QImageReader reader(file.fileName());
    parts.sizes.insert(fileName, reader.size());

    if (id) {
        const QString cid = NormalisedContentId(QString::fromUtf8(id));
        parts.names.insert(QStringLiteral("cid:") + cid, fileName);
        parts.names.insert(QStringLiteral("cid:") + cid.toLower(), fileName);
    }
    if (location)
        parts.names.insert(QString::fromUtf8(location).trimmed(), fileName);
}

// ---------------------------------------------------------------- HTML tags

struct Attribute {
    QString name; // lower case
    QString value;
    bool hasValue = false;
};

struct Tag {
    QString name; // lower case, without the '/'
    bool closing = false;
    bool selfClosing = false;
    QList<Attribute> attributes;
    QString prefix; // text written before the tag

    const Attribute* find(const QString& attribute) const
    {
        for (const auto& a : attributes)
            if (a.name == attribute)
                return &a;
        return nullptr;
    }
    void set(const QString& attribute, const QString& value)
    {
        for (auto& a : attributes)
            if (a.name == attribute) {
                a.value = value;
                a.hasValue = true;
                return;
            }
        attributes.append({attribute, value, true});
    }
    void remove(const QString& attribute)
    {
        attributes.removeIf([&](const Attribute& a) { return a.name == attribute; });
    }
    QString toString() const
    {
        QString out = prefix + QStringLiteral("<");
        if (closing)
            out += u'/';
        out += name;
        for (const auto& a : attributes) {
            out += u' ' + a.name;
            if (a.hasValue) {
                QString v = a.value;
                v.replace(u'&', QStringLiteral("&amp;")).replace(u'"', QStringLiteral("&quot;"));
                out += QStringLiteral("=\"") + v + u'"';
            }
        }
        if (selfClosing)
            out += QStringLiteral(" /");
        return out + u'>';
    }
};

QString decodeEntities(const QString& value)
{
    if (!value.contains(u'&'))
        return value;
    QString out = value;
    out.replace(QStringLiteral("&quot;"), QStringLiteral("\""))
        .replace(QStringLiteral("&#39;"), QStringLiteral("'"))
        .replace(QStringLiteral("&apos;"), QStringLiteral("'"))
        .replace(QStringLiteral("&lt;"), QStringLiteral("<"))
        .replace(QStringLiteral("&gt;"), QStringLiteral(">"))
        .replace(QStringLiteral("&amp;"), QStringLiteral("&"));
    return out;
}

// Parses the tag starting at html[start] == '<' up to its '>' (quotes
// respected). Returns the index after the tag, or -1 when it is no tag.
qsizetype parseTag(const QString& html, qsizetype start, Tag& tag)
{
    qsizetype i = start + 1;
    const qsizetype n = html.size();
    tag = Tag();
    if (i < n && html[i] == u'/') {
        tag.closing = true;
        ++i;
    }
    const qsizetype nameStart = i;
    while (i < n && (html[i].isLetterOrNumber() || html[i] == u':' || html[i] == u'-' || html[i] == u'_'))
        ++i;
    if (i == nameStart || !html[nameStart].isLetter())
        return -1;
    tag.name = html.mid(nameStart, i - nameStart).toLower();
    while (i < n) {
        while (i < n && (html[i].isSpace() || html[i] == u'/')) {
            if (html[i] == u'/' && i + 1 < n && html[i + 1] == u'>')
                tag.selfClosing = true;
            ++i;
        }
        if (i >= n)
            return n;
        if (html[i] == u'>')
            return i + 1;
        const qsizetype attrStart = i;
        while (i < n && !html[i].isSpace() && html[i] != u'=' && html[i] != u'>' && html[i] != u'/')
            ++i;
        Attribute attribute;
        attribute.name = html.mid(attrStart, i - attrStart).toLower();
        while (i < n && html[i].isSpace())
            ++i;
        if (i < n && html[i] == u'=') {
            ++i;
            while (i < n && html[i].isSpace())
                ++i;
            attribute.hasValue = true;
            if (i < n && (html[i] == u'"' || html[i] == u'\'')) {
                const QChar quote = html[i++];
                const qsizetype valueStart = i;
                while (i < n && html[i] != quote)
                    ++i;
                attribute.value = decodeEntities(html.mid(valueStart, i - valueStart));
                if (i < n)
                    ++i;
            } else {
                const qsizetype valueStart = i;
                while (i < n && !html[i].isSpace() && html[i] != u'>')
                    ++i;
                attribute.value = decodeEntities(html.mid(valueStart, i - valueStart));
            }
        }
        if (!attribute.name.isEmpty() && attribute.name != QLatin1String("\"") &&
            attribute.name != QLatin1String("'"))
            tag.attributes.append(attribute);
        else if (attrStart == i)
            ++i; // a stray character; step over it
    }
    return n;
}

qsizetype findCaseInsensitive(const QString& html, const QString& needle, qsizetype from)
{
    return html.indexOf(needle, from, Qt::CaseInsensitive);
}

// Walks the HTML, handing every tag to `onTag` (which may change it or return
// false to drop it) and the text of <style> elements to `onStyle`. Comments
// and scripts are removed on the way.
template <typename TagFn, typename StyleFn>
QString walkHtml(const QString& html, TagFn onTag, StyleFn onStyle)
{
    QString out;
    out.reserve(html.size());
    const qsizetype n = html.size();
    qsizetype i = 0;
    while (i < n) {
        const qsizetype lt = html.indexOf(u'<', i);
        if (lt < 0) {
            out += QStringView(html).mid(i);
            break;
        }
        out += QStringView(html).mid(i, lt - i);
        if (html.mid(lt, 4) == QLatin1String("<!--")) {
            const qsizetype end = html.indexOf(QLatin1String("-->"), lt + 4);
            i = end < 0 ? n : end + 3;
            continue;
        }
        if (html.mid(lt, 2) == QLatin1String("<!") || html.mid(lt, 2) == QLatin1String("<?")) {
            const qsizetype end = html.indexOf(u'>', lt);
            i = end < 0 ? n : end + 1; // doctype, processing instructions
            continue;
        }
        Tag tag;
        const qsizetype after = parseTag(html, lt, tag);
        if (after < 0) {
            out += QStringLiteral("&lt;");
            i = lt + 1;
            continue;
        }
        if (!tag.closing && (tag.name == QLatin1String("script") || tag.name == QLatin1String("style") ||
                             tag.name == QLatin1String("title"))) {
            const QString closer = QStringLiteral("</") + tag.name;
            const qsizetype end = tag.selfClosing ? after : findCaseInsensitive(html, closer, after);
            const QString body = html.mid(after, (end < 0 ? n : end) - after);
            qsizetype resume = n;
            if (end >= 0) {
                const qsizetype gt = html.indexOf(u'>', end);
                resume = gt < 0 ? n : gt + 1;
            }
            if (tag.name == QLatin1String("style"))
                out += QStringLiteral("<style>") + onStyle(body) + QStringLiteral("</style>");
            else if (tag.name == QLatin1String("title"))
                out += QStringLiteral("<title>") + body + QStringLiteral("</title>");
            i = resume;
            continue;
        }
        if (onTag(tag))
            out += tag.toString();
        i = after;
    }
    return out;
}

// ---------------------------------------------------------------- isolation

QString localReference(const QString& raw, const QHash<QString, QString>& localNames, bool allowLinks)
{
    const QString value = raw.trimmed();
    if (value.isEmpty())
        return {};
    if (auto it = localNames.constFind(value); it != localNames.constEnd())
        return *it;
    const QString lower = value.toLower();
    if (lower.startsWith(QLatin1String("cid:"))) {
        const QString id = NormalisedContentId(value.mid(4));
        if (auto it = localNames.constFind(QStringLiteral("cid:") + id); it != localNames.constEnd())
            return *it;
        if (auto it = localNames.constFind(QStringLiteral("cid:") + id.toLower());
            it != localNames.constEnd())
            return *it;
        return {};
    }
    if (lower.startsWith(QLatin1String("data:image/")))
        return value;
    if (allowLinks &&
        (lower.startsWith(u'#') || lower.startsWith(QLatin1String("http:")) ||
         lower.startsWith(QLatin1String("https:")) || lower.startsWith(QLatin1String("mailto:"))))
        return value;
    return {};
}

QString isolateCss(const QString& css, const QHash<QString, QString>& localNames)
{
    QString out = css;
    out.remove(QStringLiteral("<!--")).remove(QStringLiteral("-->"));
    static const QRegularExpression import(QStringLiteral("@import[^;]*;?"),
                                           QRegularExpression::CaseInsensitiveOption);
    out.remove(import);
    static const QRegularExpression expression(QStringLiteral("expression\\s*\\("),
                                               QRegularExpression::CaseInsensitiveOption);
    out.replace(expression, QStringLiteral("invalid("));
    static const QRegularExpression url(QStringLiteral("url\\s*\\(\\s*(['\"]?)([^)'\"]*)\\1\\s*\\)"),
                                        QRegularExpression::CaseInsensitiveOption);
    QString result;
    qsizetype last = 0;
    auto it = url.globalMatch(out);
    while (it.hasNext()) {
        const auto match = it.next();
        result += QStringView(out).mid(last, match.capturedStart() - last);
        const QString local = localReference(decodeEntities(match.captured(2)), localNames, false);
        result += local.isEmpty() ? QStringLiteral("none") : QStringLiteral("url(\"%1\")").arg(local);
        last = match.capturedEnd();
    }
    result += QStringView(out).mid(last);
    // Whatever still names a url after the rewrite is malformed; drop it too.
    static const QRegularExpression leftover(QStringLiteral("url\\s*\\((?!\"part-|\"data:image/)"),
                                             QRegularExpression::CaseInsensitiveOption);
    result.replace(leftover, QStringLiteral("invalid("));
    return result;
}

bool isReferenceAttribute(const QString& name)
{
    static const QSet<QString> names = {
        QStringLiteral("src"),        QStringLiteral("href"),      QStringLiteral("background"),
        QStringLiteral("lowsrc"),     QStringLiteral("dynsrc"),    QStringLiteral("poster"),
        QStringLiteral("data"),       QStringLiteral("srcset"),    QStringLiteral("action"),
        QStringLiteral("formaction"), QStringLiteral("longdesc"),  QStringLiteral("cite"),
        QStringLiteral("profile"),    QStringLiteral("classid"),   QStringLiteral("codebase"),
        QStringLiteral("archive"),    QStringLiteral("code"),      QStringLiteral("xlink:href"),
        QStringLiteral("manifest"),   QStringLiteral("ping"),      QStringLiteral("imagesrcset"),
        QStringLiteral("usemap"),     QStringLiteral("vspace-src")};
    return names.contains(name);
}

bool isDroppedElement(const QString& name)
{
    static const QSet<QString> names = {
        QStringLiteral("link"),   QStringLiteral("base"),  QStringLiteral("meta"),
        QStringLiteral("iframe"), QStringLiteral("frame"), QStringLiteral("frameset"),
        QStringLiteral("object"), QStringLiteral("embed"), QStringLiteral("applet"),
        QStringLiteral("param"),  QStringLiteral("audio"), QStringLiteral("video"),
        QStringLiteral("source"), QStringLiteral("track"), QStringLiteral("noscript"),
        QStringLiteral("svg"),    QStringLiteral("image"), QStringLiteral("use"),
        QStringLiteral("input"),  QStringLiteral("button")};
    return names.contains(name);
}

const QString kUtf8Meta =
    QStringLiteral("<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">");

QString insertIntoHead(const QString& html, const QString& addition)
{
    static const QRegularExpression head(QStringLiteral("<head\\b[^>]*>"),
                                         QRegularExpression::CaseInsensitiveOption);
    const auto match = head.match(html);
    if (match.hasMatch())
        return html.left(match.capturedEnd()) + addition + html.mid(match.capturedEnd());
    static const QRegularExpression htmlTag(QStringLiteral("<html\\b[^>]*>"),
                                            QRegularExpression::CaseInsensitiveOption);
    const auto htmlMatch = htmlTag.match(html);
    if (htmlMatch.hasMatch())
        return html.left(htmlMatch.capturedEnd()) + QStringLiteral("<head>") + addition +
               QStringLiteral("</head>") + html.mid(htmlMatch.capturedEnd());
    return QStringLiteral("<head>") + addition + QStringLiteral("</head>") + html;
}

// ---------------------------------------------------------------- table text

struct Declaration {
    QString name; // lower case
    QString value;
};

// The declarations of a style attribute. A ';' inside quotes or brackets (a
// data: URL, a quoted font name) separates nothing.
QList<Declaration> cssDeclarations(const QString& style)
{
    QList<Declaration> out;
    auto add = [&](QStringView text) {
        const qsizetype colon = text.indexOf(u':');
        if (colon <= 0)
            return;
        const QString name = text.left(colon).trimmed().toString().toLower();
        const QString value = text.mid(colon + 1).trimmed().toString();
        if (!name.isEmpty() && !value.isEmpty())
            out.append({name, value});
    };
    QChar quote;
    int depth = 0;
    qsizetype start = 0;
    for (qsizetype i = 0; i < style.size(); ++i) {
        const QChar c = style[i];
        if (!quote.isNull()) {
            if (c == quote)
                quote = QChar();
        } else if (c == u'"' || c == u'\'') {
            quote = c;
        } else if (c == u'(') {
            ++depth;
        } else if (c == u')') {
            depth = qMax(0, depth - 1);
        } else if (c == u';' && depth == 0) {
            add(QStringView(style).mid(start, i - start));
            start = i + 1;
        }
    }
    add(QStringView(style).mid(start));
    return out;
}

// The colour a `background` shorthand paints, if it names one.
QString shorthandColour(const QString& background)
{
    static const QRegularExpression token(QStringLiteral("(?:rgba?|hsla?|url)\\s*\\([^)]*\\)|[^\\s,()]+"),
                                          QRegularExpression::CaseInsensitiveOption);
    auto it = token.globalMatch(background);
    while (it.hasNext()) {
        const QString value = it.next().captured();
        const QString lower = value.toLower();
        if (lower.startsWith(QLatin1String("rgb")) || lower.startsWith(QLatin1String("hsl")) ||
            (!lower.startsWith(QLatin1String("url")) && QColor::isValidColorName(value)))
            return value;
    }
    return {};
}

// A bgcolor attribute as a CSS colour; empty for anything that is not one
// word, which must not reach a style attribute.
QString attributeColour(const QString& value)
{
    static const QRegularExpression word(QStringLiteral("^#?[0-9A-Za-z]+$"));
    static const QRegularExpression bareHex(QStringLiteral("^(?:[0-9A-Fa-f]{3}|[0-9A-Fa-f]{6})$"));
    const QString colour = value.trimmed();
    if (!word.match(colour).hasMatch())
        return {};
    return bareHex.match(colour).hasMatch() ? u'#' + colour : colour;
}

// LibreOffice reads the text colour and font of a cell only from the cell:
// what <table>, a row group or <tr> set is lost, and so is the background of
// a row in a table of one row (a header strip) or of a one-column table that
// SimplifyTables turns into blocks. Browsers let the cells inherit all of it,
// so every cell is given what it would inherit, in front of its own
// declarations and without those it sets itself, which keep winning.
class TableInheritance
{
public:
    void apply(Tag& tag)
    {
        if (tag.name == QLatin1String("table")) {
            if (tag.closing) {
                if (!m_frames.isEmpty())
                    m_frames.removeLast();
                return;
            }
            Frame frame;
            // Colour passes on into a nested table; the font does not (mail
            // is laid out in quirks mode, where tables start their font afresh).
            if (!m_frames.isEmpty() && !m_frames.last().cellColour.isEmpty())
                frame.table.append({QStringLiteral("color"), m_frames.last().cellColour});
            frame.table += carried(tag, false);
            m_frames.append(frame);
            return;
        }
        if (m_frames.isEmpty())
            return;
        Frame& frame = m_frames.last();
        if (tag.name == QLatin1String("tbody") || tag.name == QLatin1String("thead") ||
            tag.name == QLatin1String("tfoot")) {
            frame.group = tag.closing ? QList<Declaration>() : carried(tag, true);
            frame.row.clear();
        } else if (tag.name == QLatin1String("tr")) {
            frame.row = tag.closing ? QList<Declaration>() : carried(tag, true);
            frame.cellColour.clear();
        } else if (tag.name == QLatin1String("td") || tag.name == QLatin1String("th")) {
            frame.cellColour.clear();
            if (!tag.closing)
                giveToCell(frame, tag);
        }
    }

private:
    struct Frame {
        QList<Declaration> table; // in order; a later one of a name wins
        QList<Declaration> group;
        QList<Declaration> row;
        QString cellColour; // what a table inside the current cell inherits
    };

    // What an element passes on to its cells; rows and row groups their
    // background as well (a table's own background LibreOffice keeps).
    static QList<Declaration> carried(const Tag& tag, bool background)
    {
        static const QSet<QString> inherited = {QStringLiteral("color"),       QStringLiteral("font"),
                                                QStringLiteral("font-family"), QStringLiteral("font-size"),
                                                QStringLiteral("font-style"),  QStringLiteral("font-weight"),
                                                QStringLiteral("text-align")};
        QList<Declaration> out;
        const QString backgroundColour = QStringLiteral("background-color");
        if (const Attribute* bgcolor = tag.find(QStringLiteral("bgcolor")); background && bgcolor)
            out.append({backgroundColour, attributeColour(bgcolor->value)});
        const Attribute* style = tag.find(QStringLiteral("style"));
        for (const Declaration& d : cssDeclarations(style ? style->value : QString())) {
            if (inherited.contains(d.name)) {
                out.append(d);
            } else if (background && d.name == backgroundColour) {
                out.append(d);
            } else if (background && d.name == QLatin1String("background")) {
                const QString colour = shorthandColour(d.value);
                if (!colour.isEmpty())
                    out.append({backgroundColour, colour});
            }
        }
        out.removeIf([](const Declaration& d) { return d.value.isEmpty(); });
        return out;
    }

    static void giveToCell(Frame& frame, Tag& tag)
    {
        const Attribute* style = tag.find(QStringLiteral("style"));
        const QString own = style ? style->value : QString();
        QSet<QString> set;
        QString ownColour;
        for (const Declaration& d : cssDeclarations(own)) {
            set.insert(d.name);
            if (d.name == QLatin1String("color"))
                ownColour = d.value;
        }
        // Attributes the cell sets count as its own too.
        if (tag.find(QStringLiteral("align")))
            set.insert(QStringLiteral("text-align"));
        if (tag.find(QStringLiteral("bgcolor")) || set.contains(QStringLiteral("background")))
            set.insert(QStringLiteral("background-color"));

        // The last declaration of each name, in their order.
        const QList<Declaration> all = frame.table + frame.group + frame.row;
        QList<Declaration> given;
        QSet<QString> seen;
        for (auto it = all.crbegin(); it != all.crend(); ++it) {
            if (seen.contains(it->name))
                continue;
            seen.insert(it->name);
            if (it->name == QLatin1String("color") && ownColour.isEmpty())
                ownColour = it->value;
            if (!set.contains(it->name))
                given.prepend(*it);
        }
        frame.cellColour = ownColour;
        if (given.isEmpty())
            return;
        QString prefix;
        for (const Declaration& d : given)
            prefix += d.name + QStringLiteral(": ") + d.value + QStringLiteral("; ");
        tag.set(QStringLiteral("style"), own.trimmed().isEmpty() ? prefix.trimmed() : prefix + own);
    }

    QList<Frame> m_frames;
};

// ---------------------------------------------------------------- widths

// LibreOffice 7.4 loses a table nested three deep when text precedes it in its
// cell: the RTF it writes cannot be read back. Deeper tables are flattened.
constexpr int kMaxTableDepth = 2;

// A width in CSS pixels; -1 for relative or unknown widths.
double pixelWidth(const QString& text)
{
    static const QRegularExpression px(QStringLiteral("^\\s*(\\d+(?:\\.\\d+)?)\\s*(px)?\\s*$"),
                                       QRegularExpression::CaseInsensitiveOption);
    const auto match = px.match(text);
    return match.hasMatch() ? match.captured(1).toDouble() : -1;
}

const QRegularExpression& cssWidthPattern()
{
    static const QRegularExpression pattern(
        QStringLiteral("(^|[;\\s])((?:min-|max-)?width|height)\\s*:\\s*(\\d+(?:\\.\\d+)?)px"),
        QRegularExpression::CaseInsensitiveOption);
    return pattern;
}

bool isBoxTag(const QString& name)
{
    return name == QLatin1String("table") || name == QLatin1String("td") || name == QLatin1String("th") ||
           name == QLatin1String("col") || name == QLatin1String("colgroup") ||
           name == QLatin1String("div") || name == QLatin1String("p") || name == QLatin1String("center") ||
           name == QLatin1String("tr") || name == QLatin1String("tbody") || name == QLatin1String("span") ||
           name == QLatin1String("a") || name == QLatin1String("font") ||
           name == QLatin1String("blockquote") || name == QLatin1String("pre");
}

// A header block holding control characters is no MIME header: binary data
// that merely carries a page's name.
} // namespace

// ---------------------------------------------------------------- public

PageGeometry PageGeometry::a4()
{
    return {QStringLiteral("21cm 29.7cm"), QStringLiteral("2cm"), int((21.0 - 4.0) / 2.54 * 96)};
}

PageGeometry PageGeometry::letter()
{
    return {QStringLiteral("8.5in 11in"), QStringLiteral("2cm"), int((21.59 - 4.0) / 2.54 * 96)};
}

PageGeometry PageGeometry::forLocale()
{
    QByteArray locale;
    for (const char* variable : {"LC_ALL", "LC_PAPER", "LANG"}) {
        locale = qgetenv(variable);
        if (!locale.isEmpty())
            break;
    }
    // Territories whose paper is Letter; everyone else uses A4.
    static const QList<QByteArray> letterTerritories = {"US", "CA", "MX", "CL", "CO", "CR", "GT", "PA",
                                                        "PH", "PR", "SV", "VE", "DO", "NI", "HN", "BZ"};
    const qsizetype underscore = locale.indexOf('_');
    if (underscore >= 0) {
        const QByteArray territory = locale.mid(underscore + 1, 2);
        if (letterTerritories.contains(territory))
            return letter();
    }
    return a4();
}

bool LooksLikeMhtml(const QString& path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == QLatin1String("mht") || suffix == QLatin1String("mhtml") || suffix == QLatin1String("eml"))
        return true;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray head = file.read(8192);
    const qsizetype blank = head.indexOf("\n\n") >= 0 ? head.indexOf("\n\n") : head.indexOf("\r\n\r\n");
    const QByteArray headers = blank >= 0 ? head.left(blank) : head;
    return headers.startsWith("MIME-Version:") || headers.contains("\nMIME-Version:") ||
           headers.contains("\nmime-version:");
}

QString DecodeText(const QByteArray& bytes, const QString& declaredCharset, bool isHtml)
{
    auto convert = [&](const QString& charset, QString& out) {
        const QByteArray name = charset.trimmed().toLatin1();
        if (name.isEmpty())
            return false;
        const char* iconvName = g_mime_charset_iconv_name(name.constData());
        gsize written = 0;
        GError* error = nullptr;
        gchar* converted =
            g_convert(bytes.constData(), bytes.size(), "UTF-8", iconvName, nullptr, &written, &error);
        if (!converted) {
            g_clear_error(&error);
            return false;
        }
        out = QString::fromUtf8(converted, qsizetype(written));
        g_free(converted);
        return true;
    };
    InitGMime();
    QString out;
    if (!declaredCharset.isEmpty() && convert(declaredCharset, out))
        return out;
    if (isHtml) {
        static const QRegularExpression meta(
            QStringLiteral("<meta[^>]+charset\\s*=\\s*[\"']?\\s*([A-Za-z0-9_.:-]+)"),
            QRegularExpression::CaseInsensitiveOption);
        const auto match = meta.match(QString::fromLatin1(bytes.left(16384)));
        if (match.hasMatch() && convert(match.captured(1), out))
            return out;
    }
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    out = utf8.decode(bytes);
    if (!utf8.hasError())
        return out;
    if (convert(QStringLiteral("windows-1252"), out))
        return out;
    return QString::fromLatin1(bytes); // windows-1252 leaves five bytes undefined
}

QString PlainTextToHtml(const QString& text)
{
    // <pre> keeps the line breaks in LibreOffice; pre-wrap makes long lines wrap
    // in readers that honour it, and LibreOffice wraps paragraphs anyway.
    return QStringLiteral("<html><head>") + kUtf8Meta +
           QStringLiteral("</head><body><pre style=\"white-space: pre-wrap; font-family: monospace\">") +
           text.toHtmlEscaped() + QStringLiteral("</pre></body></html>");
}

QString IsolateHtml(const QString& html, const QHash<QString, QString>& localNames)
{
    TableInheritance tables;
    auto onTag = [&](Tag& tag) {
        if (isDroppedElement(tag.name))
            return false;
        QList<Attribute> kept;
        for (Attribute a : tag.attributes) {
            if (a.name.startsWith(QLatin1String("on")))
                continue;
            if (a.name == QLatin1String("style")) {
                a.value = isolateCss(a.value, localNames);
            } else if (isReferenceAttribute(a.name)) {
                const bool link = a.name == QLatin1String("href") &&
                                  (tag.name == QLatin1String("a") || tag.name == QLatin1String("area"));
                const bool anchorOnly = a.name == QLatin1String("usemap");
                if (anchorOnly) {
                    if (!a.value.trimmed().startsWith(u'#'))
                        continue;
                } else {
                    a.value = localReference(a.value, localNames, link);
                    if (a.value.isEmpty())
                        continue;
                }
            }
            kept.append(a);
        }
        tag.attributes = kept;
        tables.apply(tag);
        return true;
    };
    auto onStyle = [&](const QString& css) { return isolateCss(css, localNames); };
    return insertIntoHead(walkHtml(html, onTag, onStyle), kUtf8Meta);
}

QString SimplifyTables(const QString& html)
{
    // First pass: the direct rows and cells of every table, in document order.
    struct Shape {
        int cellsInRow = 0;
        int widestRow = 0;
    };
    QList<Shape> shapes;
    QList<qsizetype> open;
    auto measure = [&](Tag& tag) {
        if (tag.name == QLatin1String("table")) {
            if (!tag.closing) {
                open.append(shapes.size());
                shapes.append(Shape{});
            } else if (!open.isEmpty()) {
                open.removeLast();
            }
        } else if (!tag.closing && !open.isEmpty()) {
            Shape& shape = shapes[open.last()];
            if (tag.name == QLatin1String("tr"))
                shape.cellsInRow = 0;
            else if (tag.name == QLatin1String("td") || tag.name == QLatin1String("th"))
                shape.widestRow = qMax(shape.widestRow, ++shape.cellsInRow);
        }
        return true;
    };
    walkHtml(html, measure, [](const QString& css) { return css; });

    enum class Role { Keep, Unwrap, Flatten };
    QList<Role> roles;
    qsizetype next = 0;
    int keptDepth = 0;
    auto isTablePart = [](const QString& name) {
        return name == QLatin1String("tr") || name == QLatin1String("td") || name == QLatin1String("th") ||
               name == QLatin1String("tbody") || name == QLatin1String("thead") ||
               name == QLatin1String("tfoot") || name == QLatin1String("caption") ||
               name == QLatin1String("col") || name == QLatin1String("colgroup");
    };
    auto rewrite = [&](Tag& tag) {
        if (tag.name == QLatin1String("table")) {
            if (!tag.closing) {
                const Shape shape = shapes.value(next++);
                Role role = Role::Keep;
                if (shape.widestRow <= 1)
                    role = Role::Unwrap;
                else if (keptDepth >= kMaxTableDepth)
                    role = Role::Flatten;
                roles.append(role);
                if (role == Role::Keep)
                    ++keptDepth;
                return role == Role::Keep;
            }
            if (roles.isEmpty())
                return false;
            const Role role = roles.takeLast();
            if (role == Role::Keep)
                --keptDepth;
            return role == Role::Keep;
        }
        if (roles.isEmpty() || !isTablePart(tag.name) || roles.last() == Role::Keep)
            return true;
        const bool cell = tag.name == QLatin1String("td") || tag.name == QLatin1String("th");
        if (roles.last() == Role::Unwrap) {
            // A table of one column only frames, centres or stacks its
            // content; blocks do that as well, without a level of nesting and
            // without rows that LibreOffice would not break across pages.
            if (!cell)
                return false;
            // A table starts its cells' alignment afresh (mail is laid out in
            // quirks mode), so a centred frame does not centre the text of
            // the tables inside it; the blocks must say so themselves.
            const Attribute* align = tag.find(QStringLiteral("align"));
            QString style =
                QStringLiteral("text-align: %1; ").arg(align ? align->value : QStringLiteral("left"));
            if (const Attribute* color = tag.find(QStringLiteral("bgcolor")))
                style += QStringLiteral("background-color: %1; ").arg(color->value);
            if (const Attribute* own = tag.find(QStringLiteral("style")))
                style += own->value;
            tag.name = QStringLiteral("div");
            tag.attributes.clear();
            if (!tag.closing && !style.isEmpty())
                tag.set(QStringLiteral("style"), style);
            return true;
        }
        // Flattened: cells become runs of text, rows lines.
        if (cell) {
            tag.name = QStringLiteral("span");
            tag.attributes.clear();
            if (!tag.closing)
                tag.prefix = QStringLiteral(" ");
            return true;
        }
        if (tag.name == QLatin1String("tr") && tag.closing) {
            tag = Tag();
            tag.name = QStringLiteral("br");
            return true;
        }
        return false;
    };
    return walkHtml(html, rewrite, [](const QString& css) { return css; });
}

QString FitHtmlToWidth(const QString& html, int textWidthPx, const QHash<QString, QSize>& imageSizes)
{
    // The widest box decides one scale for the whole page, so columns keep
    // their proportions and nested tables still fit inside their cells.
    double widest = 0;
    QList<double> rowSums{0};
    auto noteCss = [&](const QString& style) {
        auto it = cssWidthPattern().globalMatch(style);
        while (it.hasNext()) {
            const auto match = it.next();
            if (!match.captured(2).toLower().endsWith(QLatin1String("height")))
                widest = qMax(widest, match.captured(3).toDouble());
        }
    };
    auto scan = [&](Tag& tag) {
        if (tag.name == QLatin1String("img"))
            return true;
        if (tag.name == QLatin1String("tr")) {
            if (!tag.closing)
                rowSums.last() = 0;
            return true;
        }
        if (tag.name == QLatin1String("table")) {
            if (tag.closing && rowSums.size() > 1)
                rowSums.removeLast();
            else if (!tag.closing)
                rowSums.append(0);
        }
        if (tag.closing || !isBoxTag(tag.name))
            return true;
        double width = -1;
        if (const Attribute* a = tag.find(QStringLiteral("width")))
            width = pixelWidth(a->value);
        if (const Attribute* s = tag.find(QStringLiteral("style")))
            noteCss(s->value);
        if (width > 0) {
            widest = qMax(widest, width);
            if (tag.name == QLatin1String("td") || tag.name == QLatin1String("th")) {
                rowSums.last() += width;
                widest = qMax(widest, rowSums.last());
            }
        }
        return true;
    };
    walkHtml(html, scan, [](const QString& css) { return css; });

    const double factor = widest > textWidthPx ? textWidthPx / widest : 1.0;
    auto scaled = [&](double px) { return QString::number(qMax(1, int(std::floor(px * factor)))); };
    auto scaleCss = [&](const QString& style, bool isImage) {
        QString out;
        qsizetype last = 0;
        auto it = cssWidthPattern().globalMatch(style);
        while (it.hasNext()) {
            const auto match = it.next();
            double value = match.captured(3).toDouble() * factor;
            if (isImage && match.captured(2).toLower() == QLatin1String("width"))
                value = qMin(value, double(textWidthPx));
            out += QStringView(style).mid(last, match.capturedStart(3) - last);
            out += QString::number(int(value));
            last = match.capturedEnd(3);
        }
        out += QStringView(style).mid(last);
        static const QRegularExpression nowrap(QStringLiteral("white-space\\s*:\\s*nowrap"),
                                               QRegularExpression::CaseInsensitiveOption);
        out.replace(nowrap, QStringLiteral("white-space: normal"));
        return out;
    };
    auto fit = [&](Tag& tag) {
        if (tag.closing)
            return true;
        tag.remove(QStringLiteral("nowrap"));
        if (Attribute* s = nullptr; true) {
            for (auto& a : tag.attributes)
                if (a.name == QLatin1String("style"))
                    s = &a;
            if (s)
                s->value = scaleCss(s->value, tag.name == QLatin1String("img"));
        }
        if (tag.name == QLatin1String("img")) {
            double width = -1;
            double height = -1;
            if (const Attribute* w = tag.find(QStringLiteral("width")))
                width = pixelWidth(w->value);
            if (const Attribute* h = tag.find(QStringLiteral("height")))
                height = pixelWidth(h->value);
            if (width <= 0) {
                const Attribute* src = tag.find(QStringLiteral("src"));
                const QSize natural = src ? imageSizes.value(src->value) : QSize();
                if (natural.isValid() && natural.width() > 0) {
                    width = natural.width();
                    if (height <= 0)
                        height = natural.height();
                }
            }
            if (width > 0) {
                const double limit = qMin(width * factor, double(textWidthPx));
                const double ratio = limit / width;
                tag.set(QStringLiteral("width"), QString::number(qMax(1, int(limit))));
                if (height > 0)
                    tag.set(QStringLiteral("height"), QString::number(qMax(1, int(height * ratio))));
            }
            return true;
        }
        if (isBoxTag(tag.name)) {
            if (const Attribute* w = tag.find(QStringLiteral("width"))) {
                const double width = pixelWidth(w->value);
                if (width > 0)
                    tag.set(QStringLiteral("width"), scaled(width));
            }
        }
        return true;
    };
    return walkHtml(html, fit, [&](const QString& css) { return scaleCss(css, false); });
}

QString AddPageStyle(const QString& html, const PageGeometry& page)
{
    return insertIntoHead(
        html,
        QStringLiteral("<style>@page { size: %1; margin: %2 }</style>").arg(page.cssSize, page.cssMargin));
}

QString ReadMhtmlPage(const QString& mhtPath, const QString& folder, const PageGeometry& page)
{
    InitGMime();
    QFile file(mhtPath);
    if (!file.open(QIODevice::ReadOnly))
        throw failure(QStringLiteral("the page %1 cannot be read: %2").arg(mhtPath, file.errorString()));
    QByteArray bytes = file.readAll();
    file.close();
    bytes.remove(0, LeadingBlankCount(bytes));
    if (LooksBinary(bytes))
        throw failure(QStringLiteral("the page %1 is not a MIME document").arg(mhtPath));

    GObjectPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(bytes.constData(), gsize(bytes.size())));
    GObjectPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    GObjectPtr<GMimeMessage> message(g_mime_parser_construct_message(parser.get(), nullptr));
    GMimeObject* body = message ? g_mime_message_get_mime_part(message.get()) : nullptr;

    // Text without MIME structure is shown as text, and a message without a
    // part that can be shown (only attachments, only headers) as an empty
    // page, as a reader would; neither is worth failing the message for.
    QString html;
    RelatedParts related;
    if (!body) {
        html = PlainTextToHtml(DecodeText(bytes, {}, false));
    } else if (GMimePart* shown = DisplayedPart(body)) {
        collectRelated(body, shown, folder, related);
        const bool isHtml = HasContentType(GMIME_OBJECT(shown), "text", "html");
        const char* charset = g_mime_object_get_content_type_parameter(GMIME_OBJECT(shown), "charset");
        const QString text =
            DecodeText(DecodedContent(shown), charset ? QString::fromUtf8(charset) : QString(), isHtml);
        html = isHtml ? text : PlainTextToHtml(text);
    } else {
        html = QStringLiteral("<html><body></body></html>");
    }

    html = IsolateHtml(html, related.names);
    html = SimplifyTables(html);
    html = FitHtmlToWidth(html, page.textWidthPx, related.sizes);
    html = AddPageStyle(html, page);
    // LibreOffice decides by the first bytes whether a file is HTML; a page
    // whose header block stands before its <html> would be shown as source.
    html.prepend(QStringLiteral("<!DOCTYPE html>\n"));

    const QString htmlPath = folder + QStringLiteral("/page.html");
    QFile out(htmlPath);
    if (!out.open(QIODevice::WriteOnly) || out.write(html.toUtf8()) < 0)
        throw failure(QStringLiteral("cannot write the page into %1: %2").arg(folder, out.errorString()));
    return htmlPath;
}
