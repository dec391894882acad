// Renders the window with a few listed messages into a PNG, for the
// documentation: windowshot <out.png> [program folder]. Uses a temporary
// settings store.
#include "form1.h"
#include "progressbar.h"
#include "scripteddialogs.h"
#include "settingsstore.h"

#include <QApplication>
#include <QFont>
#include <QTemporaryDir>
#include <QTimer>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setFont(QFont(QStringLiteral("Arial"), 9));
    if (argc < 2)
        return 2;
    const QString out = QString::fromLocal8Bit(argv[1]);

    QTemporaryDir dir;
    SettingsStore settings(dir.filePath(QStringLiteral("settings.ini")));
    settings.write(QStringLiteral("Text1"), QStringLiteral("/home/anna/Documents/Mail archive/"));
    settings.write(QStringLiteral("Snapshot"), QStringLiteral("none"));
    ScriptedDialogs dialogs;
    Form1::Hooks hooks;
    hooks.drawHomePageNumber = [] { return 1; };
    const QString programFolder = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral(QM_PROGRAM_DIR);
    Form1 form(dialogs, settings, std::move(hooks), programFolder);
    form.Form_Load();
    form.appendItems({
        QStringLiteral("/home/anna/Mail/Inbox/2024-03-12 Quarterly figures.eml"),
        QStringLiteral("/home/anna/Mail/Inbox/2024-03-14 Re: Lease renewal.eml"),
        QStringLiteral("/home/anna/Mail/Inbox/2024-03-15 Invoice 2291.eml"),
        QStringLiteral("/home/anna/Mail/Projects/Harbour/site visit notes.eml"),
        QStringLiteral("/home/anna/Mail/Projects/Harbour/Fwd: drawings rev C.eml"),
        QStringLiteral("/media/backup/2023/Tax office reply.eml"),
    });
    form.progressBar().setValue(100.0 * 2 / 6);
    form.progressBar().setText(QStringLiteral("Processing: 2024-03-15 Invoice 2291.eml"));
    form.show();

    QTimer::singleShot(800, [&] {
        form.grab().save(out);
        app.quit();
    });
    return app.exec();
}
