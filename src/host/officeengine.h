#pragma once

#include "steperror.h"

#include <QString>
#include <memory>

// The office application as the conversion sees it: create an instance or
// attach to a running one, open a page, save it in another format, quit.
// The option structs keep the argument names and values of the automation
// calls the conversion was written against; an engine honours those that
// mean something to it and ignores the rest.

struct OpenOptions {
    QString FileName;
    bool ConfirmConversions = false;
    bool ReadOnly = false;
    bool AddToRecentFiles = false;
    QString PasswordDocument;
    QString PasswordTemplate;
    bool Revert = false;
    QString WritePasswordDocument;
    QString WritePasswordTemplate;
    qint16 Format = 0; // 0: the engine picks the reader from the file
    QString XMLTransform;
};

// Save formats. The values are those of the automation interface.
inline constexpr qint16 kSaveFormatText = 2;
inline constexpr qint16 kSaveFormatRtf = 6;
inline constexpr qint16 kSaveFormatPdf = 17;

struct SaveOptions {
    QString FileName;
    qint16 FileFormat = kSaveFormatRtf;
    bool LockComments = false;
    QString Password;
    bool AddToRecentFiles = true;
    QString WritePassword;
    bool ReadOnlyRecommended = false;
    bool EmbedTrueTypeFonts = false;
    bool SaveNativePictureFormat = false;
    bool SaveFormsData = false;
    bool SaveAsAOCELetter = false;
    // Ours, beside the automation's: also write the text of the laid-out
    // document here, UTF-8, in the same call (a production's text per
    // document). Empty: no text.
    QString TextFileName;
};

// A failed engine call; the text is the engine's own error text.
class OfficeError : public StepError {
public:
    using StepError::StepError;
};

class OfficeDocument {
public:
    virtual ~OfficeDocument() = default;
    // Throws OfficeError.
    virtual void saveAs(const SaveOptions& options) = 0;
};

class OfficeApplication {
public:
    virtual ~OfficeApplication() = default;
    // The default property: the application's name.
    virtual QString name() = 0;
    // Documents.Open. Throws OfficeError.
    virtual std::unique_ptr<OfficeDocument> open(const OpenOptions& options) = 0;
    // Releases the documents this instance opened. Throws OfficeError.
    virtual void quit() = 0;
};

class OfficeEngine {
public:
    virtual ~OfficeEngine() = default;
    // A new instance. Throws OfficeError when none can be created.
    virtual std::unique_ptr<OfficeApplication> create() = 0;
    // The instance the user already has running, or null when there is none.
    virtual std::unique_ptr<OfficeApplication> attach() = 0;
};

// The program's engine: the quillmark-office host (the page engine for mail,
// LibreOffice for office documents), started from the program folder on first
// use and kept warm for the life of the process.
OfficeEngine& ProgramOfficeEngine();

// Environment variable through which a child tool (vexlo) is told the host.
inline constexpr const char* kOfficeSocketVariable = "QUILLMARK_OFFICE_SOCKET";

// The local socket name of this process's running host, or empty when none
// runs. Put it into vexlo's environment under kOfficeSocketVariable.
QString OfficeHostSocketName();

// Time limit of every engine call, in milliseconds (default 60 s): a page
// that does not load and print within it fails, and the engine is replaced.
void SetOfficeCallTimeLimit(int milliseconds);
int OfficeCallTimeLimit();
