#pragma once

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

// File chores shared by the renderer tests.
namespace testfiles {

inline void Write(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

// Everything in the folder, hidden files included.
inline QStringList Entries(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

// An output named out.tiff, or a partial image, left in the folder.
inline QStringList LeftOvers(const QString& folder)
{
    return Entries(folder).filter(QRegularExpression(QStringLiteral("out\\.tiff|\\.part$")));
}

// A folder this process cannot create files in. Root may write into any
// folder whatever its mode, but nobody can create files in /proc.
inline QString UnwritableFolder(const QTemporaryDir& dir)
{
    if (::geteuid() == 0)
        return QStringLiteral("/proc");
    const QString locked = dir.filePath(QStringLiteral("locked"));
    QDir().mkdir(locked);
    ::chmod(QFile::encodeName(locked).constData(), 0555);
    return locked;
}

} // namespace testfiles
