#pragma once

#include <QLockFile>
#include <QString>
#include <QTemporaryFile>
#include <memory>

namespace lok {
class Office;
class Document;
} // namespace lok

// A LibreOffice user profile of our own, never the user's, so a LibreOffice the
// user has open neither blocks us nor is touched by us. Profiles are kept
// between starts in the user's cache folder (a new one costs seconds to make,
// an existing one a fraction of a second); one in use by another process is
// skipped and the next free one taken.
class OfficeProfile {
public:
    // Locks the first free profile under the cache folder (or under `poolFolder`
    // when given). Throws std::runtime_error when none can be locked.
    static std::unique_ptr<OfficeProfile> acquire(const QString& poolFolder = {});

    QString folder() const { return m_folder; }
    QString url() const;

private:
    OfficeProfile(QString folder, std::unique_ptr<QLockFile> lock);
    QString m_folder;
    std::unique_ptr<QLockFile> m_lock;
};

// Makes the profile's settings keep documents from fetching what they link to
// and from running macros, whatever the profile held before. Throws
// std::runtime_error when the settings cannot be written.
void WriteProfileSafeguards(const QString& profileFolder);

// The default pool folder: <user cache>/quillmark.
QString OfficeProfilePool();

class LokDocument;

// LibreOffice loaded into this process. It can be initialised only once per
// process, so there is one instance, made on first use and kept until exit.
class LokRuntime {
public:
    // Throws std::runtime_error when LibreOffice cannot be loaded.
    static LokRuntime& instance();

    // Loads any document LibreOffice reads. Throws std::runtime_error with
    // LibreOffice's error text.
    std::unique_ptr<LokDocument> load(const QString& path);

    QString lastError();
    QString version() const { return m_version; }

private:
    LokRuntime();
    // A copy of the document without what LibreOffice would fetch from this
    // machine despite the profile's settings; null when the document needs none.
    static std::unique_ptr<QTemporaryFile> defusedCopy(const QString& path);
    ~LokRuntime();
    std::unique_ptr<OfficeProfile> m_profile;
    lok::Office* m_office = nullptr; // deliberately never deleted: see ~LokRuntime
    QString m_version;
};

class LokDocument {
public:
    LokDocument(LokRuntime& runtime, lok::Document* document);
    ~LokDocument();
    LokDocument(const LokDocument&) = delete;
    LokDocument& operator=(const LokDocument&) = delete;

    // Saves into `path` in `format` ("rtf", "pdf", ...). Throws std::runtime_error.
    void saveAs(const QString& path, const QString& format, const QString& filterOptions = {});
    // Writes the document's text into `path`, UTF-8: a text document as
    // plain text, a spreadsheet as CSV, every sheet in turn. Throws
    // std::runtime_error for a kind that has no text export (a drawing).
    void saveText(const QString& path);

private:
    void saveSheetsAsCsv(const QString& path);
    static void dropByteOrderMark(const QString& path);

    LokRuntime& m_runtime;
    std::unique_ptr<lok::Document> m_document;
};

// The file name extension LibreOffice uses for a save format of the engine
// interface (6 RTF, 17 PDF, ...); empty for one it does not write.
QString LokFormatName(int fileFormat);
