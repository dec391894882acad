#include "lokruntime.h"

#include "rtflinks.h"

#define LOK_USE_UNSTABLE_API
#include <LibreOfficeKit/LibreOfficeKit.hxx>
#include <LibreOfficeKit/LibreOfficeKitInit.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <QUrl>

#include <algorithm>
#include <stdexcept>

namespace {

constexpr int kProfileSlots = 16;
const char* const kInstallPath = "/usr/lib/libreoffice/program";

std::runtime_error failure(const QString& text)
{
    return std::runtime_error(text.toStdString());
}

QByteArray fileUrl(const QString& path)
{
    return QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()).toEncoded();
}

// Settings LibreOffice keeps in the profile that make an untrusted document
// (an attachment) harmless: nothing it links to is fetched, neither from a
// server nor from this machine's files (linked pictures, sections and OLE
// objects, external cell references), no link or field is brought up to date
// on loading, and none of its macros run.
struct ProfileSafeguard {
    const char* path;
    const char* name;
    const char* value;
};
constexpr ProfileSafeguard kSafeguards[] = {
    {"/org.openoffice.Office.Common/Security/Scripting", "BlockUntrustedRefererLinks", "true"},
    {"/org.openoffice.Office.Common/Security/Scripting", "MacroSecurityLevel", "3"},
    {"/org.openoffice.Office.Common/Security/Scripting", "DisableMacrosExecution", "true"},
    {"/org.openoffice.Office.Writer/Content/Update", "Link", "0"},
    {"/org.openoffice.Office.Writer/Content/Update", "Field", "false"},
    {"/org.openoffice.Office.Calc/Content/Update", "Link", "0"},
};

QByteArray safeguardItem(const ProfileSafeguard& safeguard)
{
    return QByteArray("<item oor:path=\"") + safeguard.path + "\"><prop oor:name=\"" + safeguard.name +
           "\" oor:op=\"fuse\"><value>" + safeguard.value + "</value></prop></item>\n";
}

} // namespace

void WriteProfileSafeguards(const QString& profileFolder)
{
    const QString user = profileFolder + QStringLiteral("/user");
    if (!QDir().mkpath(user))
        throw failure(QStringLiteral("cannot create the office profile folder %1").arg(user));
    QFile file(user + QStringLiteral("/registrymodifications.xcu"));
    QByteArray text;
    if (file.open(QIODevice::ReadOnly))
        text = file.readAll();
    file.close();
    if (!text.contains("</oor:items>"))
        text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
               "<oor:items xmlns:oor=\"http://openoffice.org/2001/registry\" "
               "xmlns:xs=\"http://www.w3.org/2001/XMLSchema\" "
               "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n</oor:items>\n";
    // LibreOffice writes each setting on a line of its own; ours replace any
    // value the profile held, whoever set it.
    QByteArray kept;
    for (const QByteArray& line : text.split('\n')) {
        bool ours = false;
        for (const ProfileSafeguard& safeguard : kSafeguards)
            ours = ours || (line.contains(safeguard.path) &&
                            line.contains(QByteArray("oor:name=\"") + safeguard.name + "\""));
        if (!ours && !(line.isEmpty() && kept.endsWith('\n')))
            kept += line + '\n';
    }
    QByteArray items;
    for (const ProfileSafeguard& safeguard : kSafeguards)
        items += safeguardItem(safeguard);
    kept.replace("</oor:items>", items + "</oor:items>");
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(kept) != kept.size())
        throw failure(QStringLiteral("cannot write the office profile's settings %1: %2")
                          .arg(file.fileName(), file.errorString()));
}

QString OfficeProfilePool()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
           QStringLiteral("/quillmark");
}

OfficeProfile::OfficeProfile(QString folder, std::unique_ptr<QLockFile> lock)
    : m_folder(std::move(folder)), m_lock(std::move(lock))
{
}

QString OfficeProfile::url() const
{
    return QString::fromLatin1(fileUrl(m_folder));
}

std::unique_ptr<OfficeProfile> OfficeProfile::acquire(const QString& poolFolder)
{
    const QString pool = poolFolder.isEmpty() ? OfficeProfilePool() : poolFolder;
    if (!QDir().mkpath(pool))
        throw failure(QStringLiteral("cannot create the office profile folder %1").arg(pool));
    for (int slot = 1; slot <= kProfileSlots; ++slot) {
        const QString folder = pool + QStringLiteral("/office-profile-") + QString::number(slot);
        auto lock = std::make_unique<QLockFile>(folder + QStringLiteral(".lock"));
        // A lock left by a crashed host is taken over once its process is
        // gone; a living host may hold its profile for days, so age alone
        // never makes a lock stale.
        lock->setStaleLockTime(0);
        if (lock->tryLock(0))
            return std::unique_ptr<OfficeProfile>(new OfficeProfile(folder, std::move(lock)));
    }
    throw failure(QStringLiteral("all %1 office profiles in %2 are in use").arg(kProfileSlots).arg(pool));
}

QString LokFormatName(int fileFormat)
{
    switch (fileFormat) {
    case 0:
        return QStringLiteral("doc");
    case 2:
        return QStringLiteral("txt");
    case 6:
        return QStringLiteral("rtf");
    case 8:
        return QStringLiteral("html");
    case 12:
        return QStringLiteral("docx");
    case 17:
        return QStringLiteral("pdf");
    case 23:
        return QStringLiteral("odt");
    case 51: // the spreadsheet automation's workbook
        return QStringLiteral("xlsx");
    default:
        return {};
    }
}

LokRuntime& LokRuntime::instance()
{
    // A failed start is not retried: LibreOffice cannot be initialised twice in
    // one process, so the error is remembered and raised again.
    static QString startError;
    static LokRuntime* runtime = nullptr;
    if (runtime)
        return *runtime;
    if (!startError.isEmpty())
        throw failure(startError);
    try {
        runtime = new LokRuntime(); // lives until the process ends
    } catch (const std::exception& e) {
        startError = QString::fromUtf8(e.what());
        throw;
    }
    return *runtime;
}

LokRuntime::LokRuntime()
{
    // The headless backend: no display, no desktop integration.
    qputenv("SAL_USE_VCLPLUGIN", "svp");
    qputenv("SAL_NO_NWF", "1");
    m_profile = OfficeProfile::acquire();
    WriteProfileSafeguards(m_profile->folder());
    // LibreOffice is only recommended by the package now that mail is laid out
    // by the page engine; without it, office documents fail with this advice.
    if (!QFileInfo::exists(QLatin1String(kInstallPath)))
        throw failure(QStringLiteral("LibreOffice is not installed (%1 is missing); install LibreOffice "
                                     "Writer (libreoffice-writer) to convert office documents")
                          .arg(QLatin1String(kInstallPath)));
    m_office = lok::lok_cpp_init(kInstallPath, m_profile->url().toUtf8().constData());
    if (!m_office)
        throw failure(
            QStringLiteral("LibreOffice could not be loaded from %1").arg(QLatin1String(kInstallPath)));
    if (char* info = m_office->getVersionInfo()) {
        m_version = QString::fromUtf8(info);
        m_office->freeError(info);
    }
}

LokRuntime::~LokRuntime() = default;

QString LokRuntime::lastError()
{
    char* error = m_office->getError();
    if (!error)
        return {};
    QString text = QString::fromUtf8(error).trimmed();
    m_office->freeError(error);
    return text;
}

std::unique_ptr<LokDocument> LokRuntime::load(const QString& path)
{
    const QFileInfo info(path);
    if (!info.isFile())
        throw failure(QStringLiteral("the document %1 does not exist").arg(path));
    if (!info.isReadable())
        throw failure(QStringLiteral("the document %1 cannot be read").arg(path));

    // The copy, when one is needed, is read whole while loading.
    const std::unique_ptr<QTemporaryFile> defused = defusedCopy(path);
    const QString loaded = defused ? defused->fileName() : path;
    lok::Document* document = m_office->documentLoad(fileUrl(loaded).constData(), "Batch=true");
    if (!document) {
        QString error = lastError();
        if (error.isEmpty())
            error = QStringLiteral("LibreOffice could not open %1").arg(path);
        throw failure(error);
    }
    return std::make_unique<LokDocument>(*this, document);
}

std::unique_ptr<QTemporaryFile> LokRuntime::defusedCopy(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw failure(QStringLiteral("the document %1 cannot be read: %2").arg(path, file.errorString()));
    // LibreOffice knows RTF by its content, whatever the file's name says.
    if (!LooksLikeRtf(file.peek(64)))
        return nullptr;
    int emptied = 0;
    const QByteArray defused = DefuseRtfLinks(file.readAll(), &emptied);
    if (emptied == 0)
        return nullptr;
    // In the host's own temporary folder, which goes when the host does.
    auto copy = std::make_unique<QTemporaryFile>(QDir::tempPath() + QStringLiteral("/defused-XXXXXX.rtf"));
    if (!copy->open() || copy->write(defused) != defused.size() || !copy->flush())
        throw failure(
            QStringLiteral("the document %1 cannot be made safe to open: %2").arg(path, copy->errorString()));
    copy->close();
    return copy;
}

LokDocument::LokDocument(LokRuntime& runtime, lok::Document* document)
    : m_runtime(runtime), m_document(document)
{
}

LokDocument::~LokDocument() = default;

void LokDocument::saveAs(const QString& path, const QString& format, const QString& filterOptions)
{
    const QFileInfo target(path);
    if (!target.absoluteDir().exists())
        throw failure(QStringLiteral("the folder %1 does not exist").arg(target.absolutePath()));
    const QByteArray options = filterOptions.toUtf8();
    if (!m_document->saveAs(fileUrl(path).constData(), format.toUtf8().constData(),
                            options.isEmpty() ? nullptr : options.constData())) {
        QString error = m_runtime.lastError();
        if (error.isEmpty())
            error = QStringLiteral("LibreOffice could not save %1").arg(path);
        throw failure(error);
    }
    if (!target.exists())
        throw failure(QStringLiteral("LibreOffice reported %1 saved, but it is not there").arg(path));
}

void LokDocument::saveText(const QString& path)
{
    switch (m_document->getDocumentType()) {
    case LOK_DOCTYPE_TEXT:
        // Without the options the text export writes the locale's charset,
        // which a host started under the C locale has as ASCII.
        saveAs(path, QStringLiteral("txt"), QStringLiteral("UTF8,LF"));
        return dropByteOrderMark(path);
    case LOK_DOCTYPE_SPREADSHEET:
        return saveSheetsAsCsv(path);
    default:
        throw failure(QStringLiteral("LibreOffice has no text export for a presentation or a drawing"));
    }
}

// The text export starts its UTF-8 with a byte order mark, which would
// stand as a character at the start of the text.
void LokDocument::dropByteOrderMark(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        throw failure(QStringLiteral("%1 cannot be read back: %2").arg(path, file.errorString()));
    const QByteArray text = file.readAll();
    if (!text.startsWith("\xEF\xBB\xBF"))
        return;
    const QByteArray rest = text.mid(3);
    if (!file.seek(0) || file.write(rest) != rest.size() || !file.resize(rest.size()))
        throw failure(QStringLiteral("%1 cannot be written: %2").arg(path, file.errorString()));
}

// The CSV export writes one sheet a call (the first, unless told which), so
// a workbook's text is its sheets' CSV one after the other.
void LokDocument::saveSheetsAsCsv(const QString& path)
{
    QFile text(path);
    if (!text.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw failure(QStringLiteral("%1 cannot be written: %2").arg(path, text.errorString()));
    const QString sheetPath = path + QStringLiteral(".sheet.csv");
    const int sheets = std::max(1, m_document->getParts());
    bool first = true;
    for (int sheet = 1; sheet <= sheets; ++sheet) {
        // Comma, double quote, UTF-8 (76), cells as shown, formulas' values.
        saveAs(sheetPath, QStringLiteral("csv"),
               QStringLiteral("44,34,76,1,,0,false,true,true,false,false,%1").arg(sheet));
        QFile part(sheetPath);
        if (!part.open(QIODevice::ReadOnly))
            throw failure(QStringLiteral("%1 cannot be read back: %2").arg(sheetPath, part.errorString()));
        const QByteArray csv = part.readAll();
        part.close();
        part.remove();
        if (csv.trimmed().isEmpty())
            continue;
        const QByteArray separated = first ? csv : "\n" + csv;
        first = false;
        if (text.write(separated) != separated.size())
            throw failure(QStringLiteral("%1 cannot be written: %2").arg(path, text.errorString()));
    }
    if (!text.flush())
        throw failure(QStringLiteral("%1 cannot be written: %2").arg(path, text.errorString()));
}
