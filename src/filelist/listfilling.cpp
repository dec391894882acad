#include "listfilling.h"

#include "dialogs.h"
#include "filelisttarget.h"
#include "folderpicker.h"
#include "folderscan.h"
#include "paths.h"
#include "settingsstore.h"
#include "steperror.h"
#include "stepguard.h"

#include <QCoreApplication>
#include <QtDebug>

#include <utility>

namespace {

const QString kAddFilesLocation = QStringLiteral("in Quillmark2021/08/31.Form1.PushButton1_Click ");
const QString kAddFolderLocation = QStringLiteral("in Quillmark2021/08/31.Form1.PushButton4_Click ");

const QString kAddFilesTitle = QStringLiteral("Add File(s) - Hold Ctrl to select multiple files");
const QString kEmlFilter = QStringLiteral("EML Files (*.eml)");
const QString kExtensionPrompt =
    QStringLiteral("Enter file extension to load:\r\r"
                   "(* for all files, txt for all txt files, doc for all doc files, etc.)");
const QString kFolderPrompt = QStringLiteral("Please select folder:");

const QString kExtensionKey = QStringLiteral("Extension");
const QString kLastFolderKey = QStringLiteral("LastFolder");

// Items go to the list in runs of this many: one call per file is what makes
// a list of a hundred thousand files slow, and between runs the window draws.
constexpr qsizetype kBatchSize = 2000;
// Names of folders that could not be read, shown after a drop.
constexpr qsizetype kUnreadableShown = 10;

class ItemBatch {
public:
    explicit ItemBatch(FileListTarget& list) : m_list(list) {}

    void add(const QString& path)
    {
        m_pending.append(path);
        if (m_pending.size() >= kBatchSize)
            flush();
    }

    void flush()
    {
        if (m_pending.isEmpty())
            return;
        const QStringList items = std::exchange(m_pending, {});
        m_list.appendItems(items);
        QCoreApplication::processEvents();
    }

private:
    FileListTarget& m_list;
    QStringList m_pending;
};

// A folder as a FolderList entry; the root already ends in its separator.
QString folderEntry(const QString& folder)
{
    return folder.endsWith(u'/') ? folder : folder + u'/';
}

// The filter of a folder scan. The names come from ListFilesInFolder, which
// keeps only readable regular files, so what is left to skip here are the
// "~" files (office lock and backup files) and hidden files.
void appendFolderFiles(const QString& folder, const QStringList& names, ItemBatch& batch)
{
    for (const QString& name : names) {
        if (name.startsWith(u'~') || IsHiddenName(name))
            continue;
        batch.add(CollapseSeparators(folder + u'/' + name));
    }
}

// For drops without a window: what would have been shown goes to the log.
class LogOnlyDialogs : public Dialogs {
public:
    int messageBox(const QString& text, int style, const QString&) override
    {
        qWarning().noquote() << text;
        return style == YesNo ? AnswerNo : AnswerOk;
    }
    QString inputBox(const QString&, const QString&, const QString&) override { return {}; }
    QStringList openFiles(const QString&, const QString&, const QString&) override { return {}; }
    QString pickFolder(const QString&, const QString&) override { return {}; }
    void openInShell(const QString&) override {}
};

QString unreadableMessage(const QStringList& folders)
{
    QStringList shown = folders.mid(0, kUnreadableShown);
    if (folders.size() > kUnreadableShown)
        shown << QStringLiteral("(and %1 more)").arg(folders.size() - kUnreadableShown);
    return QStringLiteral(
               "Some of the dropped folders could not be read, so the files in them were not added:") +
           QStringLiteral("\r\n\r\n") + shown.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n\r\n") +
           QStringLiteral("Check that you are allowed to open these folders, then drop them again.");
}

void addDropped(Dialogs& dialogs, const QStringList& paths, FileListTarget& list, QStringList& unreadable)
{
    ItemBatch batch(list);
    for (const QString& dropped : paths) {
        try {
            if (!IsFolder(dropped)) {
                batch.add(dropped);
                continue;
            }
            FolderList folders{folderEntry(dropped)};
            FolderList dropOuts;
            GetSubDirectories2016(dialogs, folders, true, &dropOuts);
            for (const QString& folder : std::as_const(dropOuts))
                unreadable << folder.chopped(1);
            for (const QString& entry : std::as_const(folders)) {
                const QString folder = entry.chopped(1);
                try {
                    appendFolderFiles(folder, ListFilesInFolder(folder, QStringLiteral("*.*")), batch);
                } catch (const std::exception&) {
                    unreadable << folder;
                }
            }
        } catch (const std::exception& e) {
            // Nothing else is expected to fail here; whatever did must not
            // take the rest of the drop with it.
            unreadable << dropped + QStringLiteral(" (") + ExceptionText(e) + u')';
        }
    }
    batch.flush();
}

} // namespace

void AddEmlFiles(Dialogs& dialogs, FileListTarget& list)
{
    StepGuard guard(dialogs, kAddFilesLocation);
    // The dialog hands back a list of full paths rather than a fixed buffer
    // of names, so no selection is ever too long for it.
    QStringList chosen;
    guard.step(112, [&] { chosen = dialogs.openFiles(kAddFilesTitle, kEmlFilter, {}); });
    if (guard.test(114, [&] { return chosen.isEmpty(); }))
        return;
    if (chosen.size() == 1) {
        guard.step(122, [&] { list.appendItems(chosen); });
        return;
    }
    QStringList items;
    items.reserve(chosen.size());
    for (const QString& path : std::as_const(chosen))
        guard.step(138, [&] { items.append(CollapseSeparators(path)); });
    guard.step(140, [&] { list.appendItems(items); });
}

void AddAllFilesInFolder(Dialogs& dialogs, SettingsStore& settings, FileListTarget& list)
{
    StepGuard guard(dialogs, kAddFolderLocation);

    QString extension;
    guard.step(100, [&] {
        extension = dialogs.inputBox(kExtensionPrompt, dialogs.applicationTitle(),
                                     settings.read(kExtensionKey, QStringLiteral("eml")));
        if (!extension.isEmpty())
            settings.write(kExtensionKey, extension);
    });
    if (guard.test(102, [&] { return extension.isEmpty(); }))
        return;

    QString folder;
    guard.step(104, [&] { folder = BrowseForFolder(dialogs, kFolderPrompt, settings.read(kLastFolderKey)); });
    if (guard.test(106, [&] { return folder.isEmpty(); }))
        return;
    guard.step(334, [&] { settings.write(kLastFolderKey, folder); });

    guard.step(112, [&] { list.setBusy(true); });
    FolderList folders;
    guard.step(114, [&] { folders.append(folderEntry(folder)); });
    guard.step(116, [&] { GetSubDirectories2016(dialogs, folders, true); });

    const QString pattern = QStringLiteral("*.") + extension;
    ItemBatch batch(list);
    for (const QString& entry : std::as_const(folders)) {
        QString current;
        guard.step(120, [&] { current = entry.chopped(1); });
        QStringList names;
        guard.step(122, [&] { names = ListFilesInFolder(current, pattern); });
        guard.step(132, [&] { appendFolderFiles(current, names, batch); });
    }
    guard.step(132, [&] { batch.flush(); });
    guard.step(136, [&] { list.setBusy(false); });
}

void AddDroppedPaths(Dialogs& dialogs, const QStringList& paths, FileListTarget& list)
{
    QStringList unreadable;
    addDropped(dialogs, paths, list, unreadable);
    if (!unreadable.isEmpty())
        dialogs.messageBox(unreadableMessage(unreadable), Dialogs::OkOnly);
}

void AddDroppedPaths(const QStringList& paths, FileListTarget& list)
{
    LogOnlyDialogs log;
    QStringList unreadable;
    addDropped(log, paths, list, unreadable);
    if (!unreadable.isEmpty())
        log.messageBox(unreadableMessage(unreadable), Dialogs::OkOnly, {});
}
