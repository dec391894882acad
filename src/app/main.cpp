#include "form1.h"
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

    Form1::Hooks hooks;
    // To be wired when the office checks and the conversion run land:
    //   hooks.checkOfficeCanStart = [&] { CheckWordCanStart(...); };
    //   hooks.startConverting = [&](Form1& form) { ...run over form... };

    Form1 form(dialogs, settings, std::move(hooks), ProgramFolder());
    dialogs.setOwner(&form);
    form.Form_Load();
    form.show();
    return app.exec();
}
