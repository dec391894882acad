#include "attachmentpages.h"

#include "messagepage.h"
#include "officeengine.h"
#include "paths.h"
#include "pdfpages.h"
#include "tiffwriter.h"

#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <stdexcept>

namespace {

const QStringList kOfficeExtensions = {QStringLiteral("docx"), QStringLiteral("doc"),  QStringLiteral("odt"),
                                       QStringLiteral("rtf"),  QStringLiteral("xlsx"), QStringLiteral("xls"),
                                       QStringLiteral("ods"),  QStringLiteral("pptx"), QStringLiteral("odp")};

const QList<QPair<QByteArray, QString>> kOfficeTypes = {
    {"application/vnd.openxmlformats-officedocument.wordprocessingml.document", QStringLiteral("docx")},
    {"application/msword", QStringLiteral("doc")},
    {"application/vnd.oasis.opendocument.text", QStringLiteral("odt")},
    {"application/rtf", QStringLiteral("rtf")},
    {"text/rtf", QStringLiteral("rtf")},
    {"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet", QStringLiteral("xlsx")},
    {"application/vnd.ms-excel", QStringLiteral("xls")},
    {"application/vnd.oasis.opendocument.spreadsheet", QStringLiteral("ods")},
    {"application/vnd.openxmlformats-officedocument.presentationml.presentation", QStringLiteral("pptx")},
    {"application/vnd.oasis.opendocument.presentation", QStringLiteral("odp")},
};

// Pictures are fitted into the text area of the smaller of the two papers
// the page engine prints on (Letter: 279 mm less 2 x 15 mm margin).
constexpr int kPictureHeightMm = 245;

QString extensionOf(const MailAttachment& attachment)
{
    return QFileInfo(attachment.fileName).suffix().toLower();
}

QString officeExtension(const MailAttachment& attachment)
{
    const QString named = extensionOf(attachment);
    if (kOfficeExtensions.contains(named))
        return named;
    for (const auto& [type, extension] : kOfficeTypes)
        if (type == attachment.mimeType)
            return extension;
    if (attachment.content.startsWith("{\\rtf"))
        return QStringLiteral("rtf");
    return {};
}

bool looksLikeText(const QByteArray& content)
{
    return !content.left(8192).contains('\0');
}

QByteArray pictureType(const QByteArray& content)
{
    if (content.startsWith("\x89PNG\r\n\x1a\n"))
        return "image/png";
    if (content.startsWith("\xFF\xD8\xFF"))
        return "image/jpeg";
    if (content.startsWith("GIF87a") || content.startsWith("GIF89a"))
        return "image/gif";
    // "BM" alone is too common a start; the size of the info header that
    // follows the 14-byte file header is one of a few.
    if (content.startsWith("BM") && content.size() > 18) {
        const int infoSize = uchar(content[14]) | uchar(content[15]) << 8;
        if (infoSize == 12 || infoSize == 40 || infoSize == 56 || infoSize == 108 || infoSize == 124)
            return "image/bmp";
    }
    return {};
}

QByteArray base64Lines(const QByteArray& bytes)
{
    const QByteArray encoded = bytes.toBase64();
    QByteArray lines;
    lines.reserve(encoded.size() + encoded.size() / 76 * 2 + 2);
    for (qsizetype at = 0; at < encoded.size(); at += 76)
        lines += encoded.mid(at, 76) + "\r\n";
    return lines;
}

// A page of our own as a MIME document the page engine reads: the HTML and
// the pictures it names by Content-ID. The boundary holds '_', which base64
// never does.
QByteArray relatedPage(const QString& html, const QList<QPair<QByteArray, QByteArray>>& pictures)
{
    const QByteArray boundary = "=_quillmark_attachment";
    QByteArray page =
        "MIME-Version: 1.0\r\nContent-Type: multipart/related; boundary=\"" + boundary +
        "\"; type=\"text/html\"\r\n\r\n--" + boundary +
        "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
        base64Lines(html.toUtf8());
    for (qsizetype i = 0; i < pictures.size(); ++i)
        page += "--" + boundary + "\r\nContent-Type: " + pictures[i].first + "\r\nContent-ID: <page" +
                QByteArray::number(i + 1) + "@quillmark>\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
                base64Lines(pictures[i].second);
    return page + "--" + boundary + "--\r\n";
}

QString picturesHtml(qsizetype count)
{
    QString html = QStringLiteral("<!DOCTYPE html><html><head><meta charset=\"utf-8\"><style>"
                                  "html, body { margin: 0; padding: 0 }"
                                  " div { break-after: page; text-align: center }"
                                  " div:last-child { break-after: auto }"
                                  " img { max-width: 100%; max-height: %1mm }"
                                  "</style></head><body>")
                       .arg(kPictureHeightMm);
    for (qsizetype i = 0; i < count; ++i)
        html += QStringLiteral("<div><img src=\"cid:page%1@quillmark\"></div>").arg(i + 1);
    return html + QStringLiteral("</body></html>");
}

// One text or HTML part as a MIME document, its declared charset kept, so
// the page engine decodes it as a reader would.
QByteArray textDocument(const MailAttachment& attachment, bool html)
{
    QByteArray type = html ? "text/html" : "text/plain";
    if (!attachment.charset.isEmpty())
        type += "; charset=\"" + attachment.charset + "\"";
    return "MIME-Version: 1.0\r\nContent-Type: " + type + "\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
           base64Lines(attachment.content);
}

void writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        throw std::runtime_error(QStringLiteral("the work file %1 cannot be written: %2")
                                     .arg(path, file.errorString())
                                     .toStdString());
}

QString typeName(const MailAttachment& attachment)
{
    return attachment.mimeType.isEmpty() ? QStringLiteral("unknown")
                                         : QString::fromLatin1(attachment.mimeType);
}

} // namespace

AttachmentKind KindOf(const MailAttachment& attachment)
{
    const QByteArray& content = attachment.content;
    if (attachment.isMessage)
        return AttachmentKind::Message;
    if (content.left(1024).trimmed().startsWith("%PDF-"))
        return AttachmentKind::Pdf;
    if (!pictureType(content).isEmpty())
        return AttachmentKind::Picture;
    if (content.startsWith("II*\0") || content.startsWith(QByteArray("MM\0*", 4)))
        return AttachmentKind::TiffPicture;
    const QString office = officeExtension(attachment);
    // Office documents are ZIP packages (OOXML, ODF), compound files (the
    // older formats, and password-protected OOXML) or RTF text.
    if (!office.isEmpty() && (content.startsWith("PK\x03\x04") || content.startsWith("\xD0\xCF\x11\xE0") ||
                              content.startsWith("{\\rtf")))
        return AttachmentKind::Office;
    const QString extension = extensionOf(attachment);
    if (!looksLikeText(content) || !office.isEmpty())
        return AttachmentKind::Unknown;
    if (attachment.mimeType == "text/html" || extension == QLatin1String("html") ||
        extension == QLatin1String("htm"))
        return AttachmentKind::Html;
    if (attachment.mimeType.startsWith("text/") || extension == QLatin1String("txt") ||
        extension == QLatin1String("log") || extension == QLatin1String("csv"))
        return AttachmentKind::Text;
    return AttachmentKind::Unknown;
}

AttachmentPages::AttachmentPages(OfficeEngine& engine, QString workFolder, QString baseName)
    : m_engine(engine), m_workFolder(std::move(workFolder)), m_baseName(std::move(baseName))
{
}

QStringList AttachmentPages::layOut(const QList<MailAttachment>& attachments)
{
    QStringList pdfs;
    for (qsizetype i = 0; i < attachments.size(); ++i)
        pdfs.append(layOutAttachment(attachments[i], int(i) + 1).pdf);
    return pdfs;
}

AttachmentPages::Laid AttachmentPages::layOutAttachment(const MailAttachment& attachment, int number,
                                                        const QString& textPath)
{
    try {
        return {layOutOne(attachment, number, textPath), QString()};
    } catch (const std::exception& error) {
        // The reader of the page knows the attachment by its name, not by
        // the work file it was written to.
        QString reason = QString::fromUtf8(error.what());
        for (const QString& path : std::as_const(m_workFiles)) {
            reason.replace(QUrl::fromLocalFile(path).toString(), attachment.fileName);
            reason.replace(path, attachment.fileName);
        }
        if (!textPath.isEmpty())
            QFile::remove(textPath);
        return {noticePage(attachment, reason, number), reason};
    }
}

QString AttachmentPages::workPath(int number, const QString& suffix)
{
    const QString path =
        m_workFolder + QLatin1Char('/') + m_baseName + QStringLiteral(".att%1").arg(number) + suffix;
    m_workFiles.append(path);
    return path;
}

void AttachmentPages::engineToPdf(const QString& documentPath, const QString& pdfPath,
                                  const QString& textPath)
{
    EngineToPdf(m_engine, documentPath, pdfPath, textPath);
}

void EngineToPdf(OfficeEngine& engine, const QString& documentPath, const QString& pdfPath,
                 const QString& textPath)
{
    const std::unique_ptr<OfficeApplication> application = engine.create();
    try {
        OpenOptions open;
        open.FileName = documentPath;
        std::unique_ptr<OfficeDocument> document = application->open(open);
        SaveOptions save;
        save.FileName = pdfPath;
        save.FileFormat = kSaveFormatPdf;
        save.TextFileName = textPath;
        document->saveAs(save);
        document.reset();
        application->quit();
    } catch (...) {
        QFile::remove(pdfPath);
        try {
            application->quit();
        } catch (const std::exception&) {
            // The engine's first complaint is the one worth reporting.
        }
        throw;
    }
    if (!QFileInfo(pdfPath).isFile())
        throw std::runtime_error("the office engine laid out no pages for it");
}

QString AttachmentPages::layOutOne(const MailAttachment& attachment, int number, const QString& textPath)
{
    if (attachment.content.isEmpty())
        throw std::runtime_error("it is empty");
    const QString pdf = workPath(number, QStringLiteral(".pdf"));
    switch (KindOf(attachment)) {
    case AttachmentKind::Pdf: {
        writeBytes(pdf, attachment.content);
        if (const QString problem = PdfPages::problemWith(pdf); !problem.isEmpty())
            throw std::runtime_error(problem.toStdString());
        return pdf;
    }
    case AttachmentKind::Picture: {
        const QString page = workPath(number, QStringLiteral(".mht"));
        writeBytes(page,
                   relatedPage(picturesHtml(1), {{pictureType(attachment.content), attachment.content}}));
        engineToPdf(page, pdf);
        return pdf;
    }
    case AttachmentKind::TiffPicture: {
        const QString tiff = workPath(number, QStringLiteral(".tiff"));
        writeBytes(tiff, attachment.content);
        QList<QPair<QByteArray, QByteArray>> pictures;
        for (const QByteArray& png : TiffPagesAsPng(tiff))
            pictures.append({QByteArrayLiteral("image/png"), png});
        const QString page = workPath(number, QStringLiteral(".mht"));
        writeBytes(page, relatedPage(picturesHtml(pictures.size()), pictures));
        engineToPdf(page, pdf);
        return pdf;
    }
    case AttachmentKind::Text:
    case AttachmentKind::Html: {
        const QString page = workPath(number, QStringLiteral(".mht"));
        writeBytes(page, textDocument(attachment, KindOf(attachment) == AttachmentKind::Html));
        engineToPdf(page, pdf, textPath);
        return pdf;
    }
    case AttachmentKind::Message: {
        // The attached message gets a header block of its own, as if it had
        // been converted alone.
        const QString page = workPath(number, QStringLiteral(".mht"));
        WriteTextFile(MessagePageText(QString::fromLatin1(attachment.content)), page);
        engineToPdf(page, pdf, textPath);
        return pdf;
    }
    case AttachmentKind::Office: {
        const QString document = workPath(number, QLatin1Char('.') + officeExtension(attachment));
        writeBytes(document, attachment.content);
        engineToPdf(document, pdf, textPath);
        if (const QString problem = PdfPages::problemWith(pdf); !problem.isEmpty())
            throw std::runtime_error(
                QStringLiteral("LibreOffice's pages cannot be read: %1").arg(problem).toStdString());
        return pdf;
    }
    case AttachmentKind::Unknown:
        break;
    }
    throw std::runtime_error(QStringLiteral("its type (%1) is not one that can be laid out as pages")
                                 .arg(typeName(attachment))
                                 .toStdString());
}

QString AttachmentPages::noticePage(const MailAttachment& attachment, const QString& reason, int number)
{
    const QString html = QStringLiteral("<!DOCTYPE html><html><head><meta charset=\"utf-8\"><style>"
                                        "body { font-family: sans-serif; font-size: 12pt }"
                                        " th { text-align: left; padding-right: 1em }"
                                        "</style></head><body>"
                                        "<h2>Attachment not shown</h2>"
                                        "<table><tr><th>Name</th><td>%1</td></tr>"
                                        "<tr><th>Type</th><td>%2</td></tr>"
                                        "<tr><th>Size</th><td>%3</td></tr></table>"
                                        "<p>This attachment could not be laid out as pages: %4.</p>"
                                        "</body></html>")
                             .arg(attachment.fileName.toHtmlEscaped(), typeName(attachment).toHtmlEscaped(),
                                  SizeText(attachment.content.size()), reason.toHtmlEscaped());
    const QString page = workPath(number, QStringLiteral(".notice.html"));
    const QString pdf = workPath(number, QStringLiteral(".notice.pdf"));
    writeBytes(page, html.toUtf8());
    try {
        engineToPdf(page, pdf);
    } catch (const std::exception& error) {
        throw std::runtime_error(QStringLiteral("the page for the attachment %1 could not be made: %2")
                                     .arg(attachment.fileName, QString::fromUtf8(error.what()))
                                     .toStdString());
    }
    return pdf;
}
