#pragma once

#include <QByteArray>
#include <QFile>

#include <optional>

// The most memory the process has held since the last reset, from Linux's own
// high-water mark; no value where the kernel does not keep one.
class PeakMemory {
public:
    // Sets the high-water mark to what the process holds now.
    static bool reset()
    {
        QFile clear(QStringLiteral("/proc/self/clear_refs"));
        return clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
    }

    static std::optional<qint64> bytesSinceReset() { return field("VmHWM:"); }
    static std::optional<qint64> bytesNow() { return field("VmRSS:"); }

    // How much more the process held at its peak while `work` ran than
    // before it; no value where the kernel keeps no peak, or under the
    // sanitizers, which hold freed memory back to catch late uses of it.
    template <typename Work> static std::optional<qint64> growthWhile(Work&& work)
    {
#ifdef QM_WITH_SANITIZERS
        work();
        return std::nullopt;
#else
        const bool measured = reset();
        const std::optional<qint64> before = bytesNow();
        work();
        const std::optional<qint64> peak = bytesSinceReset();
        if (!measured || !before || !peak)
            return std::nullopt;
        return *peak - *before;
#endif
    }

private:
    static std::optional<qint64> field(const QByteArray& name)
    {
        QFile status(QStringLiteral("/proc/self/status"));
        if (!status.open(QIODevice::ReadOnly))
            return std::nullopt;
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (!line.startsWith(name))
                continue;
            bool ok = false;
            const qint64 kilobytes = line.mid(name.size()).trimmed().split(' ').value(0).toLongLong(&ok);
            return ok ? std::optional<qint64>(kilobytes * 1024) : std::nullopt;
        }
        return std::nullopt;
    }
};

// A message of about `size` bytes: a short text body, then one attachment
// that makes up the rest, base64 in lines as mail writes them. Readers must
// pass it on without holding it more than once.
inline QByteArray MessageWithLargeAttachment(const QByteArray& headers, qsizetype size)
{
    QByteArray message = headers + "Content-Type: multipart/mixed; boundary=big\r\n\r\n"
                                   "--big\r\nContent-Type: text/plain\r\n\r\nSee attached.\r\n"
                                   "--big\r\nContent-Type: application/octet-stream\r\n"
                                   "Content-Disposition: attachment; filename=\"big.bin\"\r\n"
                                   "Content-Transfer-Encoding: base64\r\n\r\n";
    message.reserve(size + 64);
    const QByteArray line = QByteArray(57, 'q').toBase64() + "\r\n";
    while (message.size() < size)
        message += line;
    return message + "--big--\r\n";
}
