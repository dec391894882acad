#include "productionworker.h"

#include "familylayout.h"

#include <QJsonValue>

namespace {

QJsonObject Failure(const std::exception& error)
{
    return {{QStringLiteral("converted"), false},
            {QStringLiteral("reason"), QString::fromUtf8(error.what())}};
}

QString Text(const QJsonObject& task, const char* key)
{
    return task.value(QLatin1String(key)).toString();
}

} // namespace

ProductionWorker::ProductionWorker(OfficeEngine& engine, QString vexloPath)
    : m_engine(engine), m_vexloPath(std::move(vexloPath))
{
}

ProductionWorker::~ProductionWorker() = default;

bool ProductionWorker::handles(const QJsonObject& task)
{
    const QString op = Text(task, "op");
    return op == QLatin1String("layout") || op == QLatin1String("image");
}

QJsonObject ProductionWorker::serve(const QJsonObject& task, StepGuard& guard)
{
    try {
        return Text(task, "op") == QLatin1String("layout") ? layOut(task, guard) : image(task);
    } catch (const std::exception& error) {
        return Failure(error);
    }
}

QJsonObject ProductionWorker::layOut(const QJsonObject& task, StepGuard& guard)
{
    FamilyLayoutOptions options;
    options.natives = NativeKinds::parse(Text(task, "natives")).value_or(NativeKinds());
    options.ocr = task.value(QLatin1String("ocr")).toBool();
    FamilyLayout layout(m_engine, guard, Text(task, "work"), options);
    const Family family = layout.layOut(Text(task, "message"), Text(task, "fileName"));
    return {{QStringLiteral("converted"), true},
            {QStringLiteral("reason"), QString()},
            {QStringLiteral("pages"), family.pageCount()},
            {QStringLiteral("family"), family.toJson()}};
}

QJsonObject ProductionWorker::image(const QJsonObject& task)
{
    const BatesNumbering numbering{Text(task, "prefix"),
                                   qint64(task.value(QLatin1String("origin")).toDouble()),
                                   task.value(QLatin1String("digits")).toInt()};
    const VolumeLayout layout(Text(task, "root"), numbering, Text(task, "volume"));
    ImagingJob job;
    job.family = Family::fromJson(task.value(QLatin1String("family")).toObject());
    job.firstNumber = qint64(task.value(QLatin1String("first")).toDouble());
    job.render.dpi = task.value(QLatin1String("dpi")).toInt(300);
    job.render.colour = ParseColourMode(Text(task, "colour")).value_or(ColourMode::Mono);
    job.workFolder = Text(task, "work");
    job.vexloPath = m_vexloPath;
    const int pages = ImageFamily(m_engine, layout, job);
    return {{QStringLiteral("converted"), true},
            {QStringLiteral("reason"), QString()},
            {QStringLiteral("pages"), pages}};
}
