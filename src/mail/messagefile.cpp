#include "messagefile.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

void WriteMessageFile(const QString& destination, const QByteArray& bytes)
{
    const QByteArray name = QFile::encodeName(destination);
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        throw std::runtime_error(QStringLiteral("%1 cannot be written: %2")
                                     .arg(destination, QString::fromLocal8Bit(std::strerror(errno)))
                                     .toStdString());
    qsizetype written = 0;
    int err = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + written, size_t(bytes.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            err = n < 0 ? errno : ENOSPC;
            break;
        }
        written += n;
    }
    if (::close(fd) != 0 && err == 0)
        err = errno;
    if (err != 0) {
        ::unlink(name.constData());
        throw std::runtime_error(QStringLiteral("%1 cannot be written: %2")
                                     .arg(destination, QString::fromLocal8Bit(std::strerror(err)))
                                     .toStdString());
    }
}
