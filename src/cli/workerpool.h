#pragma once

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

class MessageConverter;
class ProductionWorker;
class QIODevice;

struct WorkerTask {
    int index = 0;
    QString messagePath;
    QString outputPath;
    // The Bates number of the message's first page, when pages are numbered.
    qint64 batesNumber = 0;
    // A production's task, sent as it is instead of the fields above.
    QJsonObject production;
    // An item of this PST that the worker first writes as a message to
    // messagePath (or a production task's "message").
    QString pstPath;
    quint32 pstItem = 0;
};

struct WorkerAnswer {
    int index = 0;
    bool converted = false;
    QString reason;
    int pages = 0;
    // The files written: the TIFF, or with one file per page the pages in order.
    QStringList outputPaths;
    // The error reports of the steps that failed, one line each.
    QStringList reports;
    double seconds = 0;
    // The whole answer, for a production's task.
    QJsonObject production;
};

// The worker's side: one task per line on `in` (JSON), one answer per line
// on `out`, until `in` ends. Each worker has its own work folder and, through
// the converter, its own office host.
// A production's tasks go to `production`.
int ServeAsWorker(MessageConverter& converter, ProductionWorker& production, QIODevice& in, QIODevice& out);

// The run's side: up to `size` worker processes, each converting one message
// at a time. A worker that crashes or outlives `taskLimit` costs only the
// message it had; the next task gets a fresh worker.
class WorkerPool : public QObject {
    Q_OBJECT
public:
    WorkerPool(QString program, QStringList arguments, int size, std::chrono::milliseconds taskLimit);
    ~WorkerPool() override;

    bool hasIdleWorker() const;
    bool isBusy() const;
    // To an idle worker; hasIdleWorker() must be true.
    void submit(const WorkerTask& task);
    // Ends every worker; the tasks they had get no answer.
    void stop();

signals:
    void answered(const WorkerAnswer& answer);

private:
    struct Worker {
        std::unique_ptr<QProcess> process;
        std::optional<WorkerTask> task;
        QElapsedTimer clock;
        QByteArray pending;
        QTimer watchdog;
    };

    void start(Worker& worker);
    void readAnswers(Worker& worker);
    void fail(Worker& worker, const QString& reason);
    void finishTask(Worker& worker, WorkerAnswer answer);

    QString m_program;
    QStringList m_arguments;
    std::chrono::milliseconds m_taskLimit;
    std::vector<std::unique_ptr<Worker>> m_workers;
    bool m_stopping = false;
};
