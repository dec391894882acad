#include "terminationcleanup.h"

#include <QFile>

#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr size_t kPathCapacity = 4096;
constexpr int kSlots = 3;
char paths[kSlots][kPathCapacity];
volatile sig_atomic_t armed[kSlots] = {};

// Empties the folder, then removes it. The office engine puts files of its
// own beside the PDF it writes (a lock file, a temporary copy), and a folder
// that still holds one cannot be removed. System calls only, which a signal
// handler may make: no directory stream, no allocation.
void removeFolder(const char* path)
{
    const int folder = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        alignas(dirent64) static char entries[8192];
        for (;;) {
            const ssize_t length = ::getdents64(folder, entries, sizeof entries);
            if (length <= 0)
                break;
            for (ssize_t at = 0; at < length;) {
                const auto* entry = reinterpret_cast<const dirent64*>(entries + at);
                at += entry->d_reclen;
                if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                    ::unlinkat(folder, entry->d_name, 0);
            }
        }
        ::close(folder);
    }
    ::rmdir(path);
}

void OnTerminate(int signalNumber)
{
    for (int slot = 0; slot < kSlots; ++slot) {
        if (!armed[slot])
            continue;
        if (slot == int(CleanupSlot::PartialOutput))
            ::unlink(paths[slot]);
        else
            removeFolder(paths[slot]);
    }
    ::_exit(128 + signalNumber);
}

} // namespace

void InstallTerminationCleanup()
{
    struct sigaction action = {};
    action.sa_handler = OnTerminate;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

void SetCleanupPath(CleanupSlot slot, const QString& path)
{
    const int index = int(slot);
    armed[index] = 0;
    const QByteArray bytes = QFile::encodeName(path);
    if (bytes.isEmpty() || bytes.size() >= qsizetype(kPathCapacity))
        return;
    std::memcpy(paths[index], bytes.constData(), size_t(bytes.size()) + 1);
    armed[index] = 1;
}
