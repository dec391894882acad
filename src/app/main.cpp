#include "conversionrun.h"
#include "form1.h"
#include "formrunview.h"
#include "messageconverter.h"
#include "officechecks.h"
#include "officeengine.h"
#include "paths.h"
#include "qtdialogs.h"
#include "settingsstore.h"

#include <QApplication>
#include <QFont>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setFont(QFont(QStringLiteral("Arial"), 9));

    SettingsStore settings;
    QtDialogs dialogs;

    OfficeEngine& engine = ProgramOfficeEngine();
    MessageConverter converter(engine, ProgramFolder() + QStringLiteral("/vexlo"), TempFolder());
    ConversionRun run(converter, [&engine](Dialogs& asker) { return WarnIfWordRunning(asker, engine); });

    Form1::Hooks hooks;
    hooks.checkOfficeCanStart = [&] { return CheckWordCanStart(dialogs, engine); };
    hooks.startConverting = [&run](Form1& form) {
        FormRunView view(form);
        run.PushButton2_Click(view);
    };

    Form1 form(dialogs, settings, std::move(hooks), ProgramFolder());
    dialogs.setOwner(&form);
    form.Form_Load();
    form.show();
    return app.exec();
}
