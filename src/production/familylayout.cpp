#include "familylayout.h"

#include "attachmentpages.h"
#include "messageconverter.h"
#include "messagefields.h"
#include "messagepage.h"
#include "ocr.h"
#include "partialfiles.h"
#include "pdfpages.h"
#include "processrunner.h"
#include "stepguard.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <unistd.h>

namespace {

// Attached messages inside attached messages: deep enough for any real
// thread, shallow enough that a crafted one cannot exhaust the worker.
constexpr int kDeepestAttachment = 8;
// A slip sheet names the file on one page, however long its name.
constexpr qsizetype kLongestShownName = 300;

[[noreturn]] void Fail(const QString& reason)
{
    throw std::runtime_error(reason.toStdString());
}

QByteArray ReadWhole(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        Fail(QStringLiteral("%1 cannot be read: %2").arg(path, file.errorString()));
    return file.readAll();
}

QString ReadText(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

void WriteBytes(const QString& path, const QByteArray& bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        Fail(QStringLiteral("%1 cannot be written: %2").arg(path, file.errorString()));
}

// Text files of a volume: UTF-8 with CR LF line ends, as review platforms on
// Windows read them.
void WriteText(const QString& path, QString text)
{
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    text.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
    WriteBytes(path, text.toUtf8());
}

QString Hash(const QByteArray& bytes, QCryptographicHash::Algorithm algorithm)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, algorithm).toHex());
}

void Describe(LaidOutDocument& document, const QByteArray& bytes)
{
    document.fileSize = bytes.size();
    document.md5 = Hash(bytes, QCryptographicHash::Md5);
    document.sha1 = Hash(bytes, QCryptographicHash::Sha1);
}

// An attachment's content is a file of the work folder, read a block at a
// time: its size is not memory's business.
void DescribeFile(LaidOutDocument& document, const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        Fail(QStringLiteral("the content of %1 cannot be read back: %2")
                 .arg(document.fileName, file.errorString()));
    QCryptographicHash md5(QCryptographicHash::Md5);
    QCryptographicHash sha1(QCryptographicHash::Sha1);
    qint64 size = 0;
    while (!file.atEnd()) {
        const QByteArray block = file.read(1 << 20);
        if (block.isEmpty())
            Fail(QStringLiteral("the content of %1 cannot be read back: %2")
                     .arg(document.fileName, file.errorString()));
        md5.addData(block);
        sha1.addData(block);
        size += block.size();
    }
    document.fileSize = size;
    document.md5 = QString::fromLatin1(md5.result().toHex());
    document.sha1 = QString::fromLatin1(sha1.result().toHex());
}

// Where the content stays for the second pass: a link when the folder
// allows one, else a copy.
void KeepContent(const QString& from, const QString& to)
{
    QFile::remove(to);
    if (::link(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return;
    QFile source(from);
    if (!source.copy(to))
        Fail(QStringLiteral("the work file %1 cannot be written: %2").arg(to, source.errorString()));
}

void TakeFields(LaidOutDocument& document, const MessageFields& fields)
{
    document.from = fields.from;
    document.to = fields.to;
    document.cc = fields.cc;
    document.bcc = fields.bcc;
    document.subject = fields.subject;
    document.dateSent = fields.dateSent;
    document.timeSent = fields.timeSent;
    document.messageId = fields.messageId;
    document.inReplyTo = fields.inReplyTo;
}

int PageCount(const QString& pdfPath)
{
    if (const QString problem = PdfPages::problemWith(pdfPath); !problem.isEmpty())
        Fail(QStringLiteral("its laid-out pages cannot be read: %1").arg(problem));
    return PdfPages(pdfPath).count();
}

bool StartsWith(const QByteArray& content, QByteArrayView magic, qsizetype at = 0)
{
    return content.mid(at, magic.size()) == magic;
}

// HEIF and AVIF pictures share the ISO container of MP4 video.
bool StillPicture(const QByteArray& content)
{
    const QByteArray brand = content.mid(8, 4);
    return brand == "heic" || brand == "heix" || brand == "mif1" || brand == "avif" || brand == "msf1";
}

QString SlipSheetHtml(const LaidOutDocument& document, const QString& number)
{
    QString name = document.fileName;
    if (name.size() > kLongestShownName)
        name = name.left(kLongestShownName) + QStringLiteral("...");
    return QStringLiteral("<!DOCTYPE html><html><head><meta charset=\"utf-8\"><style>"
                          "body { font-family: sans-serif; font-size: 14pt; margin-top: 30% }"
                          " h1 { text-align: center; font-size: 24pt }"
                          " table { margin: 0 auto } th { text-align: left; padding-right: 1em }"
                          " td { word-break: break-all }"
                          "</style></head><body>"
                          "<h1>Produced in native format</h1>"
                          "<table><tr><th>File name</th><td>%1</td></tr>"
                          "<tr><th>Size</th><td>%2</td></tr>"
                          "<tr><th>Bates number</th><td>%3</td></tr></table>"
                          "</body></html>")
        .arg(name.toHtmlEscaped(), SizeText(document.fileSize), number.toHtmlEscaped());
}

// Copies whole, under its final name only once complete.
void CopyInto(const QString& from, const QString& to)
{
    QFile source(from);
    if (!source.open(QIODevice::ReadOnly))
        Fail(QStringLiteral("%1 cannot be read: %2").arg(from, source.errorString()));
    QSaveFile target(to);
    if (!target.open(QIODevice::WriteOnly))
        Fail(QStringLiteral("%1 cannot be written: %2").arg(to, target.errorString()));
    while (!source.atEnd()) {
        const QByteArray chunk = source.read(1 << 20);
        if (chunk.isEmpty() || target.write(chunk) != chunk.size())
            Fail(QStringLiteral("%1 cannot be written: %2").arg(to, target.errorString()));
    }
    if (!target.commit())
        Fail(QStringLiteral("%1 cannot be written: %2").arg(to, target.errorString()));
}

void MakeFolderFor(const QString& path)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        Fail(QStringLiteral("the folder %1 cannot be made").arg(QFileInfo(path).absolutePath()));
}

QString RendererReason(const QString& errorOutput, int status)
{
    const QStringList lines = errorOutput.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (!lines.isEmpty())
        return lines.last().trimmed();
    return QStringLiteral("vexlo ended with status %1").arg(status);
}

} // namespace

std::optional<NativeKinds> NativeKinds::parse(const QString& text)
{
    NativeKinds kinds{false, false, false, false};
    if (text.trimmed() == QLatin1String("none"))
        return kinds;
    for (const QString& item : text.split(QLatin1Char(','))) {
        const QString kind = item.trimmed();
        if (kind == QLatin1String("spreadsheets"))
            kinds.spreadsheets = true;
        else if (kind == QLatin1String("media"))
            kinds.media = true;
        else if (kind == QLatin1String("archives"))
            kinds.archives = true;
        else if (kind == QLatin1String("presentations"))
            kinds.presentations = true;
        else
            return std::nullopt;
    }
    return kinds;
}

QString NativeKinds::text() const
{
    QStringList kinds;
    if (spreadsheets)
        kinds << QStringLiteral("spreadsheets");
    if (media)
        kinds << QStringLiteral("media");
    if (archives)
        kinds << QStringLiteral("archives");
    if (presentations)
        kinds << QStringLiteral("presentations");
    return kinds.isEmpty() ? QStringLiteral("none") : kinds.join(QLatin1Char(','));
}

NativeKind NativeKindOf(const MailAttachment& attachment)
{
    const QByteArray content = attachment.head();
    const QString extension = QFileInfo(attachment.fileName).suffix().toLower();
    const QByteArray& type = attachment.mimeType;
    const auto named = [&](std::initializer_list<const char*> extensions) {
        for (const char* candidate : extensions)
            if (extension == QLatin1String(candidate))
                return true;
        return false;
    };
    if (named({"xlsx", "xlsm", "xls", "ods", "csv"}) || type == "text/csv" ||
        type == "application/vnd.ms-excel" || type == "application/vnd.oasis.opendocument.spreadsheet" ||
        type == "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet")
        return NativeKind::Spreadsheet;
    if (named({"pptx", "ppt", "odp"}) || type == "application/vnd.ms-powerpoint" ||
        type == "application/vnd.oasis.opendocument.presentation" ||
        type == "application/vnd.openxmlformats-officedocument.presentationml.presentation")
        return NativeKind::Presentation;
    // Archives and media by their first bytes: their names and types are the
    // ones senders get wrong most. A ZIP that is an office document was
    // caught above or is laid out by its kind.
    if (StartsWith(content, "7z\xBC\xAF\x27\x1C") || StartsWith(content, "Rar!\x1A\x07") ||
        StartsWith(content, "ustar", 257) || StartsWith(content, "\x1F\x8B"))
        return NativeKind::Archive;
    if (StartsWith(content, "PK\x03\x04") && KindOf(attachment) != AttachmentKind::Office)
        return NativeKind::Archive;
    if (StartsWith(content, "ID3") || StartsWith(content, "OggS") || StartsWith(content, "fLaC") ||
        (StartsWith(content, "RIFF") && (StartsWith(content, "WAVE", 8) || StartsWith(content, "AVI ", 8))) ||
        (StartsWith(content, "ftyp", 4) && !StillPicture(content)) ||
        StartsWith(content, "\x1A\x45\xDF\xA3") ||
        StartsWith(content, QByteArrayView("\x00\x00\x01\xBA", 4)) || type.startsWith("audio/") ||
        type.startsWith("video/"))
        return NativeKind::Media;
    if (named({"zip", "7z", "rar", "tar", "tgz", "gz"}))
        return NativeKind::Archive;
    if (named({"mp3", "wav", "m4a", "aac", "ogg", "flac", "wma", "mp4", "mov", "avi", "mkv", "wmv", "webm",
               "mpg", "mpeg", "3gp"}))
        return NativeKind::Media;
    return NativeKind::None;
}

bool ImpressInstalled()
{
    return QFileInfo::exists(QStringLiteral("/usr/lib/libreoffice/program/libsdlo.so"));
}

QString MessageText(const MessageFields& fields, const QString& pageText)
{
    QString text;
    const auto line = [&](const char* label, const QString& value) {
        if (!value.isEmpty())
            text += QLatin1String(label) + value + QLatin1Char('\n');
    };
    line("From: ", fields.from);
    line("To: ", fields.to);
    line("Cc: ", fields.cc);
    line("Bcc: ", fields.bcc);
    line("Subject: ", fields.subject);
    line("Date: ", fields.date);
    // The page shows its own header block on top; the lines above stand for
    // it, with Bcc, which the page never shows.
    QStringList lines = pageText.split(QLatin1Char('\n'));
    static const QStringList labels{QStringLiteral("From:"),    QStringLiteral("To:"),
                                    QStringLiteral("Subject:"), QStringLiteral("Date:"),
                                    QStringLiteral("Cc:"),      QStringLiteral("Attachments:")};
    if (!lines.isEmpty() && lines.first().startsWith(QLatin1String("From:"))) {
        qsizetype at = 0;
        while (at < lines.size() && at < labels.size() &&
               std::any_of(labels.begin(), labels.end(),
                           [&](const QString& label) { return lines[at].startsWith(label); }))
            ++at;
        lines = lines.mid(at);
    }
    while (!lines.isEmpty() && lines.first().trimmed().isEmpty())
        lines.removeFirst();
    return text + QLatin1Char('\n') + lines.join(QLatin1Char('\n')).trimmed() + QLatin1Char('\n');
}

FamilyLayout::FamilyLayout(OfficeEngine& engine, StepGuard& guard, QString workFolder,
                           FamilyLayoutOptions options)
    : m_engine(engine), m_guard(guard), m_workFolder(std::move(workFolder)), m_options(options)
{
}

FamilyLayout::~FamilyLayout() = default;

QString FamilyLayout::workPath(qsizetype document, const char* suffix) const
{
    return m_workFolder + QStringLiteral("/d%1").arg(document) + QLatin1String(suffix);
}

Ocr& FamilyLayout::ocr()
{
    if (!m_ocr)
        m_ocr = std::make_unique<Ocr>();
    return *m_ocr;
}

QString FamilyLayout::pdfText(const QString& pdfPath)
{
    const PdfPages pages(pdfPath);
    QStringList texts;
    for (int i = 0; i < pages.count(); ++i) {
        QString text = pages.text(i).trimmed();
        if (text.isEmpty() && m_options.ocr)
            text = ocr().read(pages.render(i, m_options.ocrDpi), m_options.ocrDpi);
        texts.append(text);
    }
    return texts.join(QStringLiteral("\n\n"));
}

// A CSV is its own text, a workbook has LibreOffice's CSV of its sheets;
// media and archives leave their text to the platform that opens them. A
// workbook LibreOffice cannot read is still handed over, without text.
QString FamilyLayout::nativeText(const LaidOutDocument& document, NativeKind kind,
                                 const MailAttachment& attachment)
{
    if (document.extension() == QLatin1String("csv") || attachment.mimeType == "text/csv")
        return ReadText(attachment.contentPath);
    if (kind != NativeKind::Spreadsheet)
        return {};
    const QString text = document.nativePath + QStringLiteral(".txt");
    try {
        EngineToText(m_engine, document.nativePath, text);
    } catch (const std::exception&) {
        return {};
    }
    const QString read = ReadText(text);
    QFile::remove(text);
    return read;
}

Family FamilyLayout::layOut(const QString& messagePath, const QString& fileName)
{
    m_family = {};
    if (const QString refusal = RefusalReason(messagePath); !refusal.isEmpty())
        Fail(refusal);
    const QByteArray bytes = ReadWhole(messagePath);
    const MessageFields fields = ReadMessageFields(bytes);

    LaidOutDocument message;
    message.fileName = fileName;
    Describe(message, bytes);
    TakeFields(message, fields);
    const QString page = workPath(0, ".mht");
    WriteBytes(page, bytes);
    HeaderExtras extras;
    extras.cc = true;
    PrepareMessagePage(page, m_guard, extras);
    message.pdfPath = workPath(0, ".pdf");
    const QString pageText = workPath(0, ".page.txt");
    try {
        EngineToPdf(m_engine, page, message.pdfPath, pageText);
    } catch (const std::exception& error) {
        Fail(QStringLiteral("the page engine could not lay the message out: %1")
                 .arg(QString::fromUtf8(error.what())));
    }
    message.pages = PageCount(message.pdfPath);
    message.textPath = workPath(0, ".txt");
    WriteText(message.textPath, MessageText(fields, ReadText(pageText)));
    m_family.documents.append(message);
    addAttachmentsOf(messagePath, 0, 1);
    return m_family;
}

void FamilyLayout::addAttachmentsOf(const QString& messagePath, int parent, int depth)
{
    if (depth > kDeepestAttachment)
        return;
    // The content files go when these do, once the attachments (and theirs)
    // have what they need of them.
    const MailAttachments attachments =
        ReadAttachments(messagePath, m_workFolder, QStringLiteral("d%1").arg(parent));
    for (const MailAttachment& attachment : attachments)
        addAttachment(attachment, parent, depth);
}

void FamilyLayout::addAttachment(const MailAttachment& attachment, int parent, int depth)
{
    const qsizetype index = m_family.documents.size();
    LaidOutDocument document;
    document.type = LaidOutDocument::Type::Attachment;
    document.parent = parent;
    document.isMessage = attachment.isMessage;
    document.fileName = attachment.fileName;
    DescribeFile(document, attachment.contentPath);
    document.textPath = workPath(index, ".txt");

    const NativeKind native = NativeKindOf(attachment);
    const NativeKinds& wanted = m_options.natives;
    const bool asNative =
        !attachment.isMessage &&
        ((native == NativeKind::Spreadsheet && wanted.spreadsheets) ||
         (native == NativeKind::Media && wanted.media) ||
         (native == NativeKind::Archive && wanted.archives) ||
         (native == NativeKind::Presentation && wanted.presentations && !ImpressInstalled()));
    if (asNative) {
        document.nativePath = workPath(index, ".native");
        KeepContent(attachment.contentPath, document.nativePath);
        document.pages = 1;
        WriteText(document.textPath, nativeText(document, native, attachment));
        m_family.documents.append(document);
        return;
    }

    AttachmentPages pages(m_engine, m_workFolder, QStringLiteral("d%1").arg(index));
    const QString engineText = workPath(index, ".page.txt");
    const AttachmentPages::Laid laid = pages.layOutAttachment(attachment, 1, engineText);
    document.pdfPath = laid.pdf;
    document.notice = laid.notice;
    document.pages = PageCount(laid.pdf);
    QString text;
    if (laid.notice.isEmpty()) {
        switch (KindOf(attachment)) {
        case AttachmentKind::Pdf:
        case AttachmentKind::Picture:
        case AttachmentKind::TiffPicture:
            text = pdfText(laid.pdf);
            break;
        case AttachmentKind::Message:
            text = MessageText(ReadMessageFields(ReadWhole(attachment.contentPath)), ReadText(engineText));
            break;
        default:
            text = ReadText(engineText);
        }
    }
    if (attachment.isMessage)
        TakeFields(document, ReadMessageFields(ReadWhole(attachment.contentPath)));
    WriteText(document.textPath, text);
    m_family.documents.append(document);
    if (attachment.isMessage)
        addAttachmentsOf(attachment.contentPath, int(index), depth + 1);
}

int ImageFamily(OfficeEngine& engine, const VolumeLayout& layout, const ImagingJob& job)
{
    const QList<NumberedDocument> numbers = NumberFamily(job.family, job.firstNumber);
    const BatesNumbering& numbering = layout.numbering();
    QStringList pdfs;
    for (qsizetype i = 0; i < job.family.documents.size(); ++i) {
        const LaidOutDocument& document = job.family.documents[i];
        if (!document.isNative()) {
            pdfs.append(document.pdfPath);
            continue;
        }
        const QString html = job.workFolder + QStringLiteral("/d%1.slip.html").arg(i);
        const QString pdf = job.workFolder + QStringLiteral("/d%1.slip.pdf").arg(i);
        WriteBytes(html, SlipSheetHtml(document, numbering.number(numbers[i].begin)).toUtf8());
        EngineToPdf(engine, html, pdf);
        if (PageCount(pdf) != 1)
            Fail(QStringLiteral("the slip sheet of %1 took more than one page").arg(document.fileName));
        pdfs.append(pdf);
    }

    const int pages = job.family.pageCount();
    const QString part =
        layout.absolute(QStringLiteral(".quillmark/work/%1").arg(numbering.number(job.firstNumber)));
    QDir(part).removeRecursively();
    if (!QDir().mkpath(part))
        Fail(QStringLiteral("the folder %1 cannot be made").arg(part));
    const QString output = part + QStringLiteral("/page.tiff");
    RenderOptions render = job.render;
    render.pages = PageFiles::Single;
    QStringList arguments = PageOptionArguments(render);
    arguments << QStringLiteral("--bates") << numbering.prefix << QStringLiteral("--bates-start")
              << QString::number(job.firstNumber) << QStringLiteral("--bates-digits")
              << QString::number(numbering.digits) << QStringLiteral("--output") << output;
    arguments += pdfs;
    QString errorOutput;
    RunLimits limits;
    limits.errorOutput = &errorOutput;
    // A family's pages at a second or two each, and room for a slow machine.
    limits.timeLimit = std::chrono::seconds(120 + 10 * pages);
    const int status = RunProcessAndWait(job.vexloPath, arguments, 0, nullptr, QString(), 0, 1, limits);
    if (status != 0) {
        // A renderer killed outright cannot remove its half-written pages.
        RemoveAbandonedPartials(QFileInfo(output).absolutePath());
        Fail(
            QStringLiteral("the pages could not be rasterised: %1").arg(RendererReason(errorOutput, status)));
    }
    const QStringList written = ExistingPageFiles(output);
    if (written.size() != pages)
        Fail(QStringLiteral("vexlo wrote %1 pages, not the %2 that were laid out")
                 .arg(written.size())
                 .arg(pages));

    for (int page = 0; page < pages; ++page) {
        const QString target = layout.absolute(layout.imagePath(job.firstNumber + page));
        MakeFolderFor(target);
        if (::rename(QFile::encodeName(written[page]).constData(), QFile::encodeName(target).constData()) !=
            0)
            Fail(QStringLiteral("the image %1 cannot be put in place").arg(target));
    }
    for (qsizetype i = 0; i < job.family.documents.size(); ++i) {
        const LaidOutDocument& document = job.family.documents[i];
        const QString text = layout.absolute(layout.textPath(numbers[i].begin));
        MakeFolderFor(text);
        CopyInto(document.textPath, text);
        if (document.isNative()) {
            const QString native = layout.absolute(layout.nativePath(numbers[i].begin, document.extension()));
            MakeFolderFor(native);
            CopyInto(document.nativePath, native);
        }
    }
    QDir(part).removeRecursively();
    return pages;
}
