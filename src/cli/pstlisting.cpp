#include "pstlisting.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <stdexcept>

namespace {

// A listing reads no item, an extraction one: long enough for a store of
// millions of items on a slow disk, short enough that a hung child does not
// hold the run for ever.
constexpr int kListingLimitMs = 30 * 60 * 1000;
constexpr int kExtractionLimitMs = 10 * 60 * 1000;

bool WriteLine(QIODevice& out, const QJsonObject& object)
{
    const QByteArray bytes = QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
    return out.write(bytes) == bytes.size();
}

// Why the child did not finish its work, for the user.
QString ChildFailure(const QProcess& child, int limitMs)
{
    if (child.error() == QProcess::FailedToStart)
        return QStringLiteral("the reader could not be started (%1)").arg(child.errorString());
    if (child.error() == QProcess::Timedout || child.state() != QProcess::NotRunning)
        return QStringLiteral("reading it took longer than %1 minutes and was stopped").arg(limitMs / 60000);
    if (child.exitStatus() == QProcess::CrashExit)
        return QStringLiteral("the PST reader crashed on it; the file is probably damaged");
    return {};
}

void RunChild(QProcess& child, const QString& program, const QStringList& arguments, int limitMs)
{
    child.setProgram(program);
    child.setArguments(arguments);
    child.start();
    if (!child.waitForFinished(limitMs)) {
        const QString reason = ChildFailure(child, limitMs);
        child.kill();
        child.waitForFinished();
        throw std::runtime_error(reason.toStdString());
    }
    if (const QString reason = ChildFailure(child, limitMs); !reason.isEmpty())
        throw std::runtime_error(reason.toStdString());
}

} // namespace

int ServePstListing(const QString& path, QIODevice& out)
{
    try {
        const PstListing listing = ListPst(path);
        for (const PstItem& item : listing.items)
            if (!WriteLine(out, {{QStringLiteral("folder"), item.folderPath},
                                 {QStringLiteral("number"), item.number},
                                 {QStringLiteral("item"), double(item.identifier)}}))
                return 1;
        for (const QString& problem : listing.problems)
            if (!WriteLine(out, {{QStringLiteral("problem"), problem}}))
                return 1;
        return WriteLine(out, {{QStringLiteral("done"), true}}) ? 0 : 1;
    } catch (const std::exception& error) {
        WriteLine(out, {{QStringLiteral("error"), QString::fromUtf8(error.what())}});
        return 1;
    }
}

int ServePstExtraction(const QString& path, quint32 identifier, const QString& destination, QIODevice& err)
{
    try {
        ExtractPstItem(path, identifier, destination);
        return 0;
    } catch (const std::exception& error) {
        err.write(error.what());
        return 1;
    }
}

PstListing ListPstIsolated(const QString& program, const QString& path)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::SeparateChannels);
    RunChild(child, program, {QStringLiteral("--list-pst"), QStringLiteral("--"), path}, kListingLimitMs);
    PstListing listing;
    bool done = false;
    for (const QByteArray& line : child.readAllStandardOutput().split('\n')) {
        if (line.trimmed().isEmpty())
            continue;
        const QJsonObject object = QJsonDocument::fromJson(line).object();
        if (object.contains(QLatin1String("error")))
            throw std::runtime_error(object.value(QLatin1String("error")).toString().toStdString());
        if (object.contains(QLatin1String("problem")))
            listing.problems.append(object.value(QLatin1String("problem")).toString());
        else if (object.contains(QLatin1String("item")))
            listing.items.append(PstItem{object.value(QLatin1String("folder")).toString(),
                                         object.value(QLatin1String("number")).toInt(),
                                         quint32(object.value(QLatin1String("item")).toDouble())});
        else if (object.value(QLatin1String("done")).toBool())
            done = true;
    }
    // A listing without its end would pass a part of the store off as all
    // of it.
    if (!done)
        throw std::runtime_error("the PST reader stopped before it had listed the whole store");
    return listing;
}

void ExtractPstIsolated(const QString& program, const QString& path, quint32 identifier,
                        const QString& destination)
{
    QProcess child;
    RunChild(child, program,
             {QStringLiteral("--extract-pst"), QString::number(identifier), QStringLiteral("--"), path,
              destination},
             kExtractionLimitMs);
    if (child.exitCode() != 0) {
        const QString reason = QString::fromUtf8(child.readAllStandardError()).trimmed();
        throw std::runtime_error(
            (reason.isEmpty() ? QStringLiteral("the PST reader failed") : reason).toStdString());
    }
}
