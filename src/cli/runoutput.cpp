#include "runoutput.h"

#include <QTextStream>

KeptReport::KeptReport(RunReport::Kind kind, QString path, QTextStream& err, QString cost)
    : m_report(kind), m_path(std::move(path)), m_err(err), m_cost(std::move(cost))
{
}

bool KeptReport::open()
{
    if (m_path.isEmpty())
        return true;
    QString error;
    if (m_report.open(m_path, &error))
        return true;
    m_err << "quillmark-convert: " << error << Qt::endl;
    return false;
}

void KeptReport::write(const ReportRow& row)
{
    if (m_path.isEmpty() || m_broken)
        return;
    QString error;
    if (m_report.write(row, &error))
        return;
    m_broken = true;
    m_err << "quillmark-convert: the report " << m_path << " cannot be written: " << error;
    if (!m_cost.isEmpty())
        m_err << "; " << m_cost;
    m_err << Qt::endl;
}

void PrintFinished(QTextStream& out, Progress progress, const FinishedMessage& message)
{
    if (progress == Progress::InPlace)
        out << "\r\033[K";
    const QString counter = QStringLiteral("[%1/%2] ").arg(message.number).arg(message.total);
    if (message.failed)
        out << counter << message.name << ": failed: " << message.text << Qt::endl;
    else if (progress == Progress::Lines)
        out << counter << message.name << " -> " << message.text << Qt::endl;
}

void EndSummary(QTextStream& out, const QStringList& failed)
{
    if (failed.isEmpty()) {
        out << "." << Qt::endl;
        return;
    }
    out << QStringLiteral("; %1 failed:").arg(failed.size()) << Qt::endl;
    for (const QString& name : failed)
        out << "  " << name << Qt::endl;
}

void PrintProgress(QTextStream& out, Progress progress, int done, int total, double elapsedSeconds)
{
    if (progress != Progress::InPlace)
        return;
    out << ProgressLine(done, total, elapsedSeconds);
    out.flush();
}
