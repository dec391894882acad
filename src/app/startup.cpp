#include "startup.h"

#include "steperror.h"

#include <QAbstractScrollArea>
#include <QCheckBox>
#include <QFile>
#include <QFileInfo>
#include <QFrame>
#include <QGroupBox>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QWidget>

QString ApplicationTitleFrom(const QString& displayName)
{
    QString title = displayName;
    do {
        const qsizetype blank = title.lastIndexOf(QLatin1Char(' '));
        if (blank < 0)
            break;
        title.truncate(blank);
    } while (title.size() > 40);
    return title;
}

QString GetDesktopFolder()
{
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    if (desktop.isEmpty())
        raiseStepError(QStringLiteral("The desktop folder is unknown on this system."));
    return desktop.endsWith(QLatin1Char('/')) ? desktop : desktop + QLatin1Char('/');
}

int DrawHomePageNumber()
{
    return QRandomGenerator::global()->bounded(1, 101);
}

void ApplySkin(QWidget& window, const QString& programFolder)
{
    const QString skinPath = programFolder + QStringLiteral("/x/o.cjs");
    if (!QFileInfo(skinPath).isFile())
        return;

    // Frames, options and labels take the button-face colour so they sit on
    // the window's background rather than painting their own.
    const QColor face = window.palette().color(QPalette::Button);
    auto paintFace = [&](QWidget* w) {
        QPalette p = w->palette();
        p.setColor(QPalette::Window, face);
        w->setPalette(p);
    };
    paintFace(&window);
    for (QWidget* child : window.findChildren<QWidget*>()) {
        const bool frame = qobject_cast<QFrame*>(child) && !qobject_cast<QAbstractScrollArea*>(child);
        if (frame || qobject_cast<QRadioButton*>(child) || qobject_cast<QCheckBox*>(child) ||
            qobject_cast<QGroupBox*>(child))
            paintFace(child);
    }

    QFile file(skinPath);
    if (!file.open(QIODevice::ReadOnly))
        raiseStepError(QStringLiteral("The skin %1 could not be read: %2").arg(skinPath, file.errorString()));
    window.setStyleSheet(QString::fromUtf8(file.readAll()));
}
