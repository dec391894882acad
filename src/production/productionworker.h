#pragma once

#include <QJsonObject>
#include <QString>

class OfficeEngine;
class StepGuard;

// A worker's side of a production: a task is a JSON object whose "op" says
// which pass it belongs to.
//   layout: {message, fileName, work, natives, ocr}
//     -> {converted, reason, family}
//   image:  {family, first, root, prefix, origin, digits, volume, dpi, colour, work}
//     -> {converted, reason, pages}
// Every answer has "converted" and "reason", as a conversion's has.
class ProductionWorker {
public:
    ProductionWorker(OfficeEngine& engine, QString vexloPath);
    ~ProductionWorker();

    static bool handles(const QJsonObject& task);
    QJsonObject serve(const QJsonObject& task, StepGuard& guard);

private:
    QJsonObject layOut(const QJsonObject& task, StepGuard& guard);
    QJsonObject image(const QJsonObject& task);

    OfficeEngine& m_engine;
    QString m_vexloPath;
};
