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
#include <unistd.h>

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

QString officeExtension(const MailAttachment& attachment, const QByteArray& head)
{
    const QString named = extensionOf(attachment);
    if (kOfficeExtensions.contains(named))
        return named;
    for (const auto& [type, extension] : kOfficeTypes)
        if (type == attachment.mimeType)
            return extension;
    if (head.startsWith("{\\rtf"))
        return QStringLiteral("rtf");
    return {};
}

bool looksLikeText(const QByteArray& head)
{
    return !head.contains('\0');
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

std::runtime_error unwritable(const QFile& file)
{
    return std::runtime_error(QStringLiteral("the work file %1 cannot be written: %2")
                                  .arg(file.fileName(), file.errorString())
                                  .toStdString());
}

// A work document written as it is made, so that an attachment's content
// goes through in blocks and never whole into memory.
class WorkDocument {
public:
    explicit WorkDocument(const QString& path) : m_file(path)
    {
        if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            throw unwritable(m_file);
    }

    WorkDocument& operator<<(const QByteArray& bytes)
    {
        if (m_file.write(bytes) != bytes.size())
            throw unwritable(m_file);
        return *this;
    }

    // Base64 in lines of 76 characters: 57 bytes make one line.
    WorkDocument& appendBase64(const QByteArray& bytes)
    {
        for (qsizetype at = 0; at < bytes.size(); at += 57)
            *this << bytes.mid(at, 57).toBase64() + "\r\n";
        return *this;
    }

    WorkDocument& appendBase64Of(const QString& contentPath)
    {
        QFile content(contentPath);
        if (!content.open(QIODevice::ReadOnly))
            throw std::runtime_error(QStringLiteral("its content cannot be read back: %1")
                                         .arg(content.errorString())
                                         .toStdString());
        while (!content.atEnd()) {
            const QByteArray block = content.read(57 * 1024);
            if (block.isEmpty())
                throw std::runtime_error(QStringLiteral("its content cannot be read back: %1")
                                             .arg(content.errorString())
                                             .toStdString());
            appendBase64(block);
        }
        return *this;
    }

    void close()
    {
        if (!m_file.flush())
            throw unwritable(m_file);
        m_file.close();
    }

private:
    QFile m_file;
};

// A picture of the page: its type and either its bytes or the file holding them.
struct PagePicture {
    QByteArray type;
    QByteArray bytes;
    QString path;
};

// A page of our own as a MIME document the page engine reads: the HTML and
// the pictures it names by Content-ID. The boundary holds '_', which base64
// never does.
void writeRelatedPage(const QString& pagePath, const QString& html, const QList<PagePicture>& pictures)
{
    const QByteArray boundary = "=_quillmark_attachment";
    WorkDocument page(pagePath);
    page << "MIME-Version: 1.0\r\nContent-Type: multipart/related; boundary=\"" + boundary +
                "\"; type=\"text/html\"\r\n\r\n--" + boundary +
                "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Transfer-Encoding: base64\r\n\r\n";
    page.appendBase64(html.toUtf8());
    for (qsizetype i = 0; i < pictures.size(); ++i) {
        page << "--" + boundary + "\r\nContent-Type: " + pictures[i].type + "\r\nContent-ID: <page" +
                    QByteArray::number(i + 1) + "@quillmark>\r\nContent-Transfer-Encoding: base64\r\n\r\n";
        if (pictures[i].path.isEmpty())
            page.appendBase64(pictures[i].bytes);
        else
            page.appendBase64Of(pictures[i].path);
    }
    page << "--" + boundary + "--\r\n";
    page.close();
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
void writeTextDocument(const QString& pagePath, const MailAttachment& attachment, bool html)
{
    QByteArray type = html ? "text/html" : "text/plain";
    if (!attachment.charset.isEmpty())
        type += "; charset=\"" + attachment.charset + "\"";
    WorkDocument page(pagePath);
    page << "MIME-Version: 1.0\r\nContent-Type: " + type + "\r\nContent-Transfer-Encoding: base64\r\n\r\n";
    page.appendBase64Of(attachment.contentPath);
    page.close();
}

void writeBytes(const QString& path, const QByteArray& bytes)
{
    WorkDocument file(path);
    file << bytes;
    file.close();
}

// The content under the name that the program reading it goes by (vexlo
// takes a ".pdf" as PDF, LibreOffice an office document by its extension):
// a second name for the same file where the file system allows, as it may be
// big, else a copy.
void placeContent(const MailAttachment& attachment, const QString& path)
{
    QFile::remove(path);
    if (::link(QFile::encodeName(attachment.contentPath).constData(), QFile::encodeName(path).constData()) ==
        0)
        return;
    QFile copy(attachment.contentPath);
    if (!copy.copy(path))
        throw std::runtime_error(QStringLiteral("the work file %1 cannot be written: %2")
                                     .arg(path, copy.errorString())
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
    const QByteArray content = attachment.head();
    if (attachment.isMessage)
        return AttachmentKind::Message;
    if (content.left(1024).trimmed().startsWith("%PDF-"))
        return AttachmentKind::Pdf;
    if (!pictureType(content).isEmpty())
        return AttachmentKind::Picture;
    if (content.startsWith("II*\0") || content.startsWith(QByteArray("MM\0*", 4)))
        return AttachmentKind::TiffPicture;
    const QString office = officeExtension(attachment, content);
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

namespace {

// Opens the document, has `save` save it and releases it; whatever `save`
// leaves at `outputPath` goes when it fails.
template <typename Save>
void WithEngineDocument(OfficeEngine& engine, const QString& documentPath, const QString& outputPath,
                        const Save& save)
{
    const std::unique_ptr<OfficeApplication> application = engine.create();
    try {
        OpenOptions open;
        open.FileName = documentPath;
        std::unique_ptr<OfficeDocument> document = application->open(open);
        save(*document);
        document.reset();
        application->quit();
    } catch (...) {
        QFile::remove(outputPath);
        try {
            application->quit();
        } catch (const std::exception&) {
            // The engine's first complaint is the one worth reporting.
        }
        throw;
    }
}

} // namespace

void EngineToPdf(OfficeEngine& engine, const QString& documentPath, const QString& pdfPath,
                 const QString& textPath)
{
    WithEngineDocument(engine, documentPath, pdfPath, [&](OfficeDocument& document) {
        SaveOptions save;
        save.FileName = pdfPath;
        save.FileFormat = kSaveFormatPdf;
        save.TextFileName = textPath;
        document.saveAs(save);
    });
    if (!QFileInfo(pdfPath).isFile())
        throw std::runtime_error("the office engine laid out no pages for it");
}

void EngineToText(OfficeEngine& engine, const QString& documentPath, const QString& textPath)
{
    WithEngineDocument(engine, documentPath, textPath, [&](OfficeDocument& document) {
        SaveOptions save;
        save.FileName = textPath;
        save.FileFormat = kSaveFormatText;
        document.saveAs(save);
    });
    if (!QFileInfo(textPath).isFile())
        throw std::runtime_error("the office engine wrote no text for it");
}

QString AttachmentPages::layOutOne(const MailAttachment& attachment, int number, const QString& textPath)
{
    if (attachment.size == 0)
        throw std::runtime_error("it is empty");
    const QString pdf = workPath(number, QStringLiteral(".pdf"));
    const AttachmentKind kind = KindOf(attachment);
    switch (kind) {
    case AttachmentKind::Pdf: {
        placeContent(attachment, pdf);
        if (const QString problem = PdfPages::problemWith(pdf); !problem.isEmpty())
            throw std::runtime_error(problem.toStdString());
        return pdf;
    }
    case AttachmentKind::Picture: {
        const QString page = workPath(number, QStringLiteral(".mht"));
        writeRelatedPage(page, picturesHtml(1),
                         {{pictureType(attachment.head()), {}, attachment.contentPath}});
        engineToPdf(page, pdf);
        return pdf;
    }
    case AttachmentKind::TiffPicture: {
        QList<PagePicture> pictures;
        for (const QByteArray& png : TiffPagesAsPng(attachment.contentPath))
            pictures.append({QByteArrayLiteral("image/png"), png, {}});
        const QString page = workPath(number, QStringLiteral(".mht"));
        writeRelatedPage(page, picturesHtml(pictures.size()), pictures);
        engineToPdf(page, pdf);
        return pdf;
    }
    case AttachmentKind::Text:
    case AttachmentKind::Html: {
        const QString page = workPath(number, QStringLiteral(".mht"));
        writeTextDocument(page, attachment, kind == AttachmentKind::Html);
        engineToPdf(page, pdf, textPath);
        return pdf;
    }
    case AttachmentKind::Message: {
        // The attached message gets a header block of its own, as if it had
        // been converted alone; like a message of its own, it is read whole.
        const QString page = workPath(number, QStringLiteral(".mht"));
        QFile content(attachment.contentPath);
        if (!content.open(QIODevice::ReadOnly))
            throw std::runtime_error(QStringLiteral("its content cannot be read back: %1")
                                         .arg(content.errorString())
                                         .toStdString());
        WriteMessagePage(content.readAll(), page);
        engineToPdf(page, pdf, textPath);
        return pdf;
    }
    case AttachmentKind::Office: {
        const QString document =
            workPath(number, QLatin1Char('.') + officeExtension(attachment, attachment.head()));
        placeContent(attachment, document);
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
                                  SizeText(attachment.size), reason.toHtmlEscaped());
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
