#pragma once

#include <QString>

// The renderer writes an image file (or a folder of page files) under a
// hidden name beside its output and renames it into place once complete.
// While it writes, it holds a lock on that file or folder; the system lets go
// of the lock however the renderer ends, kill -9 included, so a partial file
// nobody holds is one whose renderer is gone.

// Holds the lock on a partial file or folder for as long as it lives.
class PartialLock {
public:
    PartialLock() = default;
    ~PartialLock();
    PartialLock(PartialLock&& other) noexcept;
    PartialLock& operator=(PartialLock&& other) noexcept;
    PartialLock(const PartialLock&) = delete;
    PartialLock& operator=(const PartialLock&) = delete;

    // Locks what `path` names. False when it cannot be opened, or when it was
    // removed (by another run's clean-up) before the lock was taken, in which
    // case the caller makes a new one.
    bool lock(const QString& path);

private:
    int m_fd = -1;
};

// Removes the renderer's partial files and folders in `folder` (".vexlo-*")
// that belong to this user and that no living renderer holds.
void RemoveAbandonedPartials(const QString& folder);
