#include "samplefiles.h"

#include "dialogs.h"
#include "filelisttarget.h"
#include "folderscan.h"
#include "paths.h"
#include "settingsstore.h"
#include "stepguard.h"

#include <algorithm>

namespace {

const QString kSamplesLocation = QStringLiteral("in Quillmark2021/08/31.Form1.PushButton7_Click ");
const QString kSnapshotKey = QStringLiteral("Snapshot");
const QString kOpenFolderQuestion = QStringLiteral(
    "Would you like this software to open the folder where these sample files are stored (so that "
    "you can view them before working with them)?");

// The snapshot joins paths with '|', which a path here may contain; such a
// path (and '%', the escape itself) is stored escaped so it reads back exactly.
QString escapeSnapshotPath(const QString& path)
{
    QString out;
    out.reserve(path.size());
    for (const QChar c : path) {
        if (c == u'%')
            out += QLatin1String("%25");
        else if (c == u'|')
            out += QLatin1String("%7C");
        else
            out += c;
    }
    return out;
}

QString unescapeSnapshotPath(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QStringView code = QStringView(text).mid(i + 1, 2);
        if (text[i] == u'%' && code.compare(QLatin1String("25"), Qt::CaseInsensitive) == 0) {
            out += u'%';
            i += 2;
        } else if (text[i] == u'%' && code.compare(QLatin1String("7C"), Qt::CaseInsensitive) == 0) {
            out += u'|';
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

void loadSamples(Dialogs& dialogs, SettingsStore& settings, FileListTarget& list,
                 const QString& programFolder)
{
    QStringList toAdd;
    for (const QString& path : ReadSampleSnapshot(settings)) {
        if (PathExists(path) && !ListContains(list, path) && !toAdd.contains(path))
            toAdd.append(path);
    }
    if (!toAdd.isEmpty())
        list.appendItems(toAdd);

    if (dialogs.messageBox(kOpenFolderQuestion, Dialogs::YesNo) == Dialogs::AnswerYes)
        dialogs.openInShell(SamplesFolder(programFolder));
}

} // namespace

QString SamplesFolder(const QString& programFolder)
{
    return programFolder + QStringLiteral("/Samples");
}

bool ListContains(const FileListTarget& list, const QString& path)
{
    return list.items().contains(path);
}

void LoadSampleFiles(Dialogs& dialogs, SettingsStore& settings, FileListTarget& list,
                     const QString& programFolder)
{
    StepGuard guard(dialogs, kSamplesLocation);
    guard.step(100, [&] { loadSamples(dialogs, settings, list, programFolder); });
}

void TakeSampleSnapshot(SettingsStore& settings, const QString& programFolder)
{
    const QString folder = SamplesFolder(programFolder);
    QStringList paths;
    // A file manager that shows the folder leaves its hidden files there.
    for (const QString& name : ListFilesInFolder(folder, QStringLiteral("*.*")))
        if (!IsHiddenName(name))
            paths.append(escapeSnapshotPath(folder + u'/' + name));
    settings.write(kSnapshotKey, paths.join(u'|'));
}

void EnsureSampleSnapshot(SettingsStore& settings, const QString& programFolder)
{
    // The build tree and an installed copy share one settings store, so the
    // record may name another copy's samples: those are not this program's,
    // and a copy that is gone would leave the button with nothing to load.
    const QString ownFolder = SamplesFolder(programFolder) + u'/';
    const QStringList recorded = ReadSampleSnapshot(settings);
    const bool ours =
        !recorded.isEmpty() && std::all_of(recorded.begin(), recorded.end(), [&](const QString& path) {
            return path.startsWith(ownFolder) && !QStringView(path).mid(ownFolder.size()).contains(u'/');
        });
    if (!ours)
        TakeSampleSnapshot(settings, programFolder);
}

QStringList ReadSampleSnapshot(const SettingsStore& settings)
{
    const QString text = settings.read(kSnapshotKey);
    if (text.isEmpty())
        return {};
    QStringList paths;
    for (const QString& part : text.split(u'|'))
        paths.append(unescapeSnapshotPath(part));
    return paths;
}
