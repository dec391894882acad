#include "workerpool.h"

#include "childprocess.h"
#include "consoledialogs.h"
#include "conversionrun.h"
#include "messageconverter.h"
#include "productionworker.h"
#include "pstreader.h"
#include "stepguard.h"

#include <QFileDevice>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <csignal>

namespace {

QByteArray JsonLine(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

// The two halves of a Bates-numbered message: laid out and counted, then,
// once its first number is known, rasterised and stamped. The work files
// stay in the task's folder between the two.
QJsonObject ServeBatesTask(MessageConverter& converter, const QJsonObject& task, StepGuard& guard)
{
    const QString op = task.value(QStringLiteral("op")).toString();
    if (op == QLatin1String("bates-layout")) {
        const QString messagePath = task.value(QStringLiteral("message")).toString();
        const LaidOutMessage laidOut = converter.layOut(
            guard, messagePath, FormWorkPaths(messagePath, task.value(QStringLiteral("work")).toString()));
        return {{QStringLiteral("converted"), laidOut.laidOut},
                {QStringLiteral("reason"), laidOut.reason},
                {QStringLiteral("pages"), laidOut.pages},
                {QStringLiteral("documents"), QJsonArray::fromStringList(laidOut.documents)}};
    }
    QStringList documents;
    for (const QJsonValue document : task.value(QStringLiteral("documents")).toArray())
        documents.append(document.toString());
    const MessageResult result =
        converter.render(guard, documents, task.value(QStringLiteral("output")).toString(),
                         qint64(task.value(QStringLiteral("first")).toDouble()), nullptr, 1);
    return {{QStringLiteral("converted"), result.converted},
            {QStringLiteral("reason"), result.reason},
            {QStringLiteral("pages"), result.pages},
            {QStringLiteral("outputs"), QJsonArray::fromStringList(result.outputPaths)}};
}

// A task's message that lies in a PST is written out first, here in the
// worker, so that a store that crashes the library costs only the message.
// The reason it could not be, or empty.
QString TakeOutOfPst(const QJsonObject& task)
{
    const QString pst = task.value(QStringLiteral("pst")).toString();
    if (pst.isEmpty())
        return {};
    try {
        ExtractPstItem(pst, quint32(task.value(QStringLiteral("pstItem")).toDouble()),
                       task.value(QStringLiteral("message")).toString());
        return {};
    } catch (const std::exception& error) {
        return QStringLiteral("the message could not be read from the PST: %1")
            .arg(QString::fromUtf8(error.what()));
    }
}

bool IsBatesTask(const QJsonObject& task)
{
    const QString op = task.value(QStringLiteral("op")).toString();
    return op == QLatin1String("bates-layout") || op == QLatin1String("bates-image");
}

} // namespace

int ServeAsWorker(MessageConverter& converter, ProductionWorker& production, QIODevice& in, QIODevice& out)
{
    const RunWorkFolder workFolder(converter.workParent());
    while (true) {
        const QByteArray line = in.readLine();
        if (line.isEmpty())
            return 0;
        const QJsonObject task = QJsonDocument::fromJson(line).object();
        if (const QString reason = TakeOutOfPst(task); !reason.isEmpty()) {
            const QByteArray bytes = JsonLine({{QStringLiteral("converted"), false},
                                               {QStringLiteral("reason"), reason},
                                               {QStringLiteral("pages"), 0}});
            if (out.write(bytes) != bytes.size())
                return 1;
            if (auto* file = qobject_cast<QFileDevice*>(&out); file && !file->flush())
                return 1;
            continue;
        }
        if (ProductionWorker::handles(task) || IsBatesTask(task)) {
            ConsoleDialogs dialogs;
            StepGuard guard(dialogs, QString::fromLatin1(kConversionRunLocation));
            QJsonObject answer =
                IsBatesTask(task) ? ServeBatesTask(converter, task, guard) : production.serve(task, guard);
            answer.insert(QStringLiteral("reports"), QJsonArray::fromStringList(dialogs.takeMessages()));
            const QByteArray bytes = JsonLine(answer);
            if (out.write(bytes) != bytes.size())
                return 1;
            if (auto* file = qobject_cast<QFileDevice*>(&out); file && !file->flush())
                return 1;
            continue;
        }
        const QString messagePath = task.value(QStringLiteral("message")).toString();
        const QString outputPath = task.value(QStringLiteral("output")).toString();
        if (converter.imagingOptions().render.bates)
            converter.setNextBatesNumber(qint64(task.value(QStringLiteral("bates")).toDouble()));

        ConsoleDialogs dialogs;
        StepGuard guard(dialogs, QString::fromLatin1(kConversionRunLocation));
        MessageResult result{false, workFolder.problem()};
        if (workFolder.isValid())
            result = converter.convert(guard, messagePath, FormWorkPaths(messagePath, workFolder.path()),
                                       outputPath, nullptr, 1);
        QJsonObject answer{{QStringLiteral("converted"), result.converted},
                           {QStringLiteral("reason"), result.reason},
                           {QStringLiteral("pages"), result.pages},
                           {QStringLiteral("outputs"), QJsonArray::fromStringList(result.outputPaths)},
                           {QStringLiteral("reports"), QJsonArray::fromStringList(dialogs.takeMessages())}};
        const QByteArray bytes = JsonLine(answer);
        if (out.write(bytes) != bytes.size())
            return 1;
        // The run waits for this line; nothing may sit in a buffer.
        if (auto* file = qobject_cast<QFileDevice*>(&out); file && !file->flush())
            return 1;
    }
}

WorkerPool::WorkerPool(QString program, QStringList arguments, int size, std::chrono::milliseconds taskLimit)
    : m_program(std::move(program)), m_arguments(std::move(arguments)), m_taskLimit(taskLimit)
{
    for (int i = 0; i < std::max(size, 1); ++i) {
        auto worker = std::make_unique<Worker>();
        worker->watchdog.setSingleShot(true);
        Worker* raw = worker.get();
        connect(&worker->watchdog, &QTimer::timeout, this, [this, raw] {
            fail(*raw, QStringLiteral("its conversion took longer than %1 s and was stopped")
                           .arg(m_taskLimit.count() / 1000));
        });
        m_workers.push_back(std::move(worker));
    }
}

WorkerPool::~WorkerPool()
{
    stop();
}

bool WorkerPool::hasIdleWorker() const
{
    for (const auto& worker : m_workers)
        if (!worker->task)
            return true;
    return false;
}

bool WorkerPool::isBusy() const
{
    for (const auto& worker : m_workers)
        if (worker->task)
            return true;
    return false;
}

void WorkerPool::start(Worker& worker)
{
    worker.process = std::make_unique<QProcess>();
    QProcess& process = *worker.process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // A run killed outright must not leave workers converting on their own.
    EndWithParent(process, SIGTERM);
    connect(&process, &QProcess::readyReadStandardOutput, this, [this, &worker] { readAnswers(worker); });
    connect(&process, &QProcess::finished, this, [this, &worker](int code, QProcess::ExitStatus status) {
        if (!worker.task)
            return;
        fail(worker,
             status == QProcess::CrashExit
                 ? QStringLiteral("the worker converting it crashed")
                 : QStringLiteral("the worker converting it ended unexpectedly (exit status %1)").arg(code));
    });
    connect(&process, &QProcess::errorOccurred, this, [this, &worker](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            fail(worker, QStringLiteral("no worker could be started (%1); reinstall the program")
                             .arg(worker.process->errorString()));
    });
    process.start(m_program, m_arguments);
}

void WorkerPool::submit(const WorkerTask& task)
{
    for (const auto& candidate : m_workers) {
        Worker& worker = *candidate;
        if (worker.task)
            continue;
        worker.task = task;
        worker.clock.start();
        worker.watchdog.start(m_taskLimit);
        // A worker that cannot start answers for its task at once.
        if (!worker.process || worker.process->state() == QProcess::NotRunning)
            start(worker);
        if (worker.process && worker.task) {
            QJsonObject sent = !task.production.isEmpty()
                                   ? task.production
                                   : QJsonObject{{QStringLiteral("message"), task.messagePath},
                                                 {QStringLiteral("output"), task.outputPath},
                                                 {QStringLiteral("bates"), double(task.batesNumber)}};
            if (!task.pstPath.isEmpty()) {
                sent.insert(QStringLiteral("pst"), task.pstPath);
                sent.insert(QStringLiteral("pstItem"), double(task.pstItem));
            }
            worker.process->write(JsonLine(sent));
        }
        return;
    }
}

void WorkerPool::readAnswers(Worker& worker)
{
    worker.pending += worker.process->readAllStandardOutput();
    qsizetype end;
    while ((end = worker.pending.indexOf('\n')) >= 0) {
        const QByteArray line = worker.pending.left(end);
        worker.pending.remove(0, end + 1);
        if (!worker.task)
            continue;
        const QJsonObject object = QJsonDocument::fromJson(line).object();
        WorkerAnswer answer;
        answer.converted = object.value(QStringLiteral("converted")).toBool();
        answer.reason = object.value(QStringLiteral("reason")).toString();
        answer.pages = object.value(QStringLiteral("pages")).toInt();
        for (const QJsonValue report : object.value(QStringLiteral("reports")).toArray())
            answer.reports.append(report.toString());
        for (const QJsonValue output : object.value(QStringLiteral("outputs")).toArray())
            answer.outputPaths.append(output.toString());
        answer.production = object;
        if (object.isEmpty())
            answer.reason = QStringLiteral("the worker converting it gave no readable answer");
        finishTask(worker, answer);
    }
}

void WorkerPool::fail(Worker& worker, const QString& reason)
{
    if (!worker.task)
        return;
    // The worker goes, whatever it was doing; the next task starts a fresh one.
    if (worker.process) {
        worker.process->disconnect(this);
        worker.process->kill();
        worker.process->waitForFinished(5000);
        worker.process.release()->deleteLater();
    }
    worker.pending.clear();
    WorkerAnswer answer;
    answer.reason = reason;
    finishTask(worker, answer);
}

void WorkerPool::finishTask(Worker& worker, WorkerAnswer answer)
{
    worker.watchdog.stop();
    answer.index = worker.task->index;
    answer.seconds = double(worker.clock.nsecsElapsed()) / 1e9;
    worker.task.reset();
    emit answered(answer);
}

void WorkerPool::stop()
{
    // Closing its input ends an idle worker, which then removes its work
    // folder and closes its page engine; a busy one is asked to stop, so its
    // renderer can remove its half-written file, then made to.
    for (const auto& worker : m_workers) {
        worker->watchdog.stop();
        if (!worker->process)
            continue;
        worker->process->disconnect(this);
        worker->process->closeWriteChannel();
        if (worker->task)
            worker->process->terminate();
    }
    for (const auto& worker : m_workers) {
        worker->task.reset();
        if (!worker->process)
            continue;
        if (!worker->process->waitForFinished(10000)) {
            worker->process->terminate();
            if (!worker->process->waitForFinished(5000)) {
                worker->process->kill();
                worker->process->waitForFinished(5000);
            }
        }
        worker->process.reset();
    }
}
