#pragma once

#include "attachments.h"
#include "productiondocument.h"

#include <QString>

#include <memory>
#include <optional>

class OfficeEngine;
class Ocr;
class StepGuard;

// Which attachments a production hands over as they came, with a slip sheet
// in the images, rather than as pages: those that do not image well.
struct NativeKinds {
    bool spreadsheets = true; // XLSX, XLS, ODS, CSV
    bool media = true;        // audio and video
    bool archives = true;     // ZIP, 7z, RAR, TAR, gzip
    // Presentations only where LibreOffice Impress is missing, which could
    // not image them.
    bool presentations = true;

    // "spreadsheets,media,archives,presentations" in any order and part, or
    // "none"; no value for anything else.
    static std::optional<NativeKinds> parse(const QString& text);
    QString text() const;
};

enum class NativeKind { None, Spreadsheet, Presentation, Media, Archive };
// Told from the first bytes where they say it (archives, audio, video), else
// from the name and the declared type.
NativeKind NativeKindOf(const MailAttachment& attachment);
// Whether LibreOffice Impress is installed to lay out presentations.
bool ImpressInstalled();

struct FamilyLayoutOptions {
    NativeKinds natives;
    // Tesseract reads pictures and the pages of a PDF that carry no text.
    bool ocr = false;
    int ocrDpi = 300;
};

// The first pass of a production over one message: lays out the message
// and, each as a document of its own, its attachments in the order of the
// message, an attached message followed by its own attachments. Each
// document gets its PDF (or, for a native, the file as it came), its page
// count, its text and its metadata; every file goes into `workFolder`.
class FamilyLayout {
public:
    FamilyLayout(OfficeEngine& engine, StepGuard& guard, QString workFolder, FamilyLayoutOptions options);
    ~FamilyLayout();

    // Throws std::runtime_error with the reason when the message itself
    // cannot be laid out; an attachment that cannot gets its notice page.
    Family layOut(const QString& messagePath, const QString& fileName);

private:
    void addAttachment(const MailAttachment& attachment, int parent, int depth);
    void addAttachmentsOf(const QString& messagePath, int parent, int depth);
    QString workPath(qsizetype document, const char* suffix) const;
    QString pdfText(const QString& pdfPath);
    QString nativeText(const LaidOutDocument& document, NativeKind kind, const MailAttachment& attachment);
    Ocr& ocr();

    OfficeEngine& m_engine;
    StepGuard& m_guard;
    QString m_workFolder;
    FamilyLayoutOptions m_options;
    std::unique_ptr<Ocr> m_ocr;
    Family m_family;
};

// The second pass, once the family's numbers are known: the slip sheets of
// its natives, its pages rasterised by vexlo and stamped with their numbers
// into IMAGES, its texts into TEXT and its natives into NATIVES. Every file
// appears whole under its final name. Returns the pages written; throws
// std::runtime_error.
struct ImagingJob {
    Family family;
    qint64 firstNumber = 0;
    RenderOptions render;
    QString workFolder;
    QString vexloPath;
};
int ImageFamily(OfficeEngine& engine, const VolumeLayout& layout, const ImagingJob& job);

// The text of a message as a production lists it: its header lines (From,
// To, Cc, Bcc, Subject, Date), an empty line and the text of its laid-out
// page without the header block the page shows on top.
struct MessageFields;
QString MessageText(const MessageFields& fields, const QString& pageText);
