#include "terminationcleanup.h"

#include <QFile>

#include <csignal>
#include <cstring>
#include <unistd.h>

namespace {

constexpr size_t kPathCapacity = 4096;
constexpr size_t kSuffixCapacity = 16;
constexpr int kSlots = 3;
char paths[kSlots][kPathCapacity];
char suffixes[kSlots][kSuffixCapacity];
volatile sig_atomic_t armed[kSlots] = {};
volatile sig_atomic_t fileCounts[kSlots] = {};

// "<folder>/<number><suffix>" without the library, which a handler may not call.
void UnlinkNumbered(const char* folder, int number, const char* suffix)
{
    char path[kPathCapacity + 32];
    size_t at = 0;
    for (const char* c = folder; *c && at < kPathCapacity; ++c)
        path[at++] = *c;
    path[at++] = '/';
    char digits[16];
    int count = 0;
    do {
        digits[count++] = char('0' + number % 10);
        number /= 10;
    } while (number > 0 && count < 15);
    while (count > 0)
        path[at++] = digits[--count];
    for (const char* c = suffix; *c && at < sizeof path - 1; ++c)
        path[at++] = *c;
    path[at] = '\0';
    ::unlink(path);
}

void OnTerminate(int signalNumber)
{
    for (int slot = 0; slot < kSlots; ++slot) {
        if (!armed[slot])
            continue;
        if (slot == int(CleanupSlot::PartialOutput)) {
            ::unlink(paths[slot]);
            continue;
        }
        for (int number = 1; number <= fileCounts[slot]; ++number)
            UnlinkNumbered(paths[slot], number, suffixes[slot]);
        ::rmdir(paths[slot]);
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
    fileCounts[index] = 0;
    const QByteArray bytes = QFile::encodeName(path);
    if (bytes.isEmpty() || bytes.size() >= qsizetype(kPathCapacity))
        return;
    std::memcpy(paths[index], bytes.constData(), size_t(bytes.size()) + 1);
    armed[index] = 1;
}

void SetCleanupFileCount(CleanupSlot slot, int count, const char* suffix)
{
    const int index = int(slot);
    if (std::strlen(suffix) < kSuffixCapacity)
        std::memcpy(suffixes[index], suffix, std::strlen(suffix) + 1);
    fileCounts[index] = count;
}
