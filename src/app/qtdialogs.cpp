#include "qtdialogs.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QUrl>
#include <QtDebug>

namespace {
// Button sets and icons are the low bits and the 16..64 bits of the style.
constexpr int kButtonMask = 0x7;
constexpr int kIconMask = 0x70;

QMessageBox::StandardButtons buttonsFor(int style)
{
    switch (style & kButtonMask) {
    case 1:
        return QMessageBox::Ok | QMessageBox::Cancel;
    case 2:
        return QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore;
    case 3:
        return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    case 4:
        return QMessageBox::Yes | QMessageBox::No;
    case 5:
        return QMessageBox::Retry | QMessageBox::Cancel;
    default:
        return QMessageBox::Ok;
    }
}

QMessageBox::Icon iconFor(int style)
{
    switch (style & kIconMask) {
    case 16:
        return QMessageBox::Critical;
    case 32:
        return QMessageBox::Question;
    case 48:
        return QMessageBox::Warning;
    case 64:
        return QMessageBox::Information;
    default:
        return QMessageBox::NoIcon;
    }
}

int answerFor(int button)
{
    switch (button) {
    case QMessageBox::Ok:
        return 1;
    case QMessageBox::Cancel:
        return 2;
    case QMessageBox::Abort:
        return 3;
    case QMessageBox::Retry:
        return 4;
    case QMessageBox::Ignore:
        return 5;
    case QMessageBox::Yes:
        return Dialogs::AnswerYes;
    case QMessageBox::No:
        return Dialogs::AnswerNo;
    default:
        return 2;
    }
}
} // namespace

QString QtDialogs::toDisplayText(const QString& text)
{
    QString shown = text;
    shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return shown;
}

QString QtDialogs::toQtFilter(const QString& filter)
{
    if (!filter.contains(QLatin1Char('|')))
        return filter;
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList entries;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString description = parts[i].trimmed();
        QString patterns = parts[i + 1].trimmed();
        if (description.isEmpty() && patterns.isEmpty())
            continue;
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        if (description.endsWith(QLatin1Char('(') + patterns + QLatin1Char(')')))
            entries << description;
        else
            entries << description + QStringLiteral(" (") + patterns + QLatin1Char(')');
    }
    return entries.join(QStringLiteral(";;"));
}

int QtDialogs::messageBox(const QString& text, int style, const QString& title)
{
    QMessageBox box(iconFor(style), titleOr(title), toDisplayText(text), buttonsFor(style), m_owner);
    box.setTextFormat(Qt::PlainText);
    return answerFor(box.exec());
}

QString QtDialogs::inputBox(const QString& prompt, const QString& title, const QString& defaultText)
{
    bool ok = false;
    const QString text = QInputDialog::getText(m_owner, titleOr(title), toDisplayText(prompt),
                                               QLineEdit::Normal, defaultText, &ok);
    return ok ? text : QString();
}

QStringList QtDialogs::openFiles(const QString& title, const QString& filter, const QString& startFolder)
{
    return QFileDialog::getOpenFileNames(m_owner, titleOr(title), startFolder, toQtFilter(filter));
}

QString QtDialogs::pickFolder(const QString& prompt, const QString& startFolder)
{
    QString folder =
        QFileDialog::getExistingDirectory(m_owner, prompt, startFolder, QFileDialog::ShowDirsOnly);
    while (folder.size() > 1 && folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    return folder;
}

void QtDialogs::openInShell(const QString& pathOrUrl)
{
    const QUrl url =
        pathOrUrl.startsWith(QLatin1Char('/')) ? QUrl::fromLocalFile(pathOrUrl) : QUrl(pathOrUrl);
    if (!QDesktopServices::openUrl(url))
        qWarning().noquote() << "The desktop could not open" << pathOrUrl;
}
