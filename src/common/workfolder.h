#pragma once

#include <QString>

// Everything the program writes while it works (run folders, the office
// host's socket and log, the mbox spool, the renderer's laid-out pages) lives
// in one folder of its own, TempFolder() (paths.h): <TEMP>/quillmark-<uid>,
// never loose in a folder the user or other programs share. Only folders this
// program made there and marked as its own are ever removed.

// Makes `folder` when it is missing (mode 0700) and checks that it is a real
// folder, not a link, owned by this user; a mode that lets others in is put
// right. Empty when the folder may be used, otherwise what is wrong and what
// to do about it.
QString PrepareOwnFolder(const QString& folder);

// Removes the folders in `parent` whose maker is gone: marked ones that no
// living process holds, and half-made ones older than a minute. Folders
// kept on request ("kept-...") and anything unmarked stay.
void RemoveAbandonedWorkFolders(const QString& parent);

// A work folder of one run (or one office host, one renderer) alone: made
// fresh inside `parent` as `<kind>-XXXXXX`, open to this user only, marked
// and held for as long as the object lives, and removed with everything in
// it when the object goes. Two runs at once never read each other's work
// files, and no other user can plant a link at a path the run writes.
//
// A process killed outright leaves its folder behind; the next folder made
// in the same parent, and every one that goes, removes it.
class RunWorkFolder {
public:
    explicit RunWorkFolder(const QString& parent, const QString& kind = QStringLiteral("run"));
    ~RunWorkFolder();
    RunWorkFolder(const RunWorkFolder&) = delete;
    RunWorkFolder& operator=(const RunWorkFolder&) = delete;
    bool isValid() const { return !m_path.isEmpty(); }
    QString path() const { return m_path; }
    // What to tell the user when the folder could not be made.
    QString problem() const;

private:
    QString m_parent;
    QString m_path;
    QString m_error;
    int m_lock = -1;
};

// Set (to anything) in the environment, it keeps each run's work files in
// a folder "kept-..." beside where the run worked, for a look afterwards.
inline constexpr const char* kKeepWorkFilesVariable = "QUILLMARK_KEEP_WORK_FILES";
