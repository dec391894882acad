#include "terminationcleanup.h"

#include <QFile>

#include <csignal>
#include <cstring>
#include <unistd.h>

namespace {

constexpr size_t kPathCapacity = 4096;
constexpr int kSlots = 3;
char paths[kSlots][kPathCapacity];
volatile sig_atomic_t armed[kSlots] = {};

void OnTerminate(int signalNumber)
{
    for (int slot = 0; slot < kSlots; ++slot) {
        if (!armed[slot])
            continue;
        if (slot == int(CleanupSlot::WorkFolder))
            ::rmdir(paths[slot]);
        else
            ::unlink(paths[slot]);
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
