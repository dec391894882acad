#include "officechecks.h"

#include "dialogs.h"
#include "officeengine.h"

#include <QString>

const char* const kWordCannotStartAdvice =
    "Error 842001. A normal instance of LibreOffice could not be created.\r\n\r\n"
    "1. Please make sure LibreOffice Writer is installed on this computer (on Debian and Ubuntu: the package "
    "libreoffice-writer or libreoffice-writer-nogui).\r\n\r\n"
    "2. Please make sure LibreOffice starts normally: open LibreOffice Writer and check that a blank "
    "document opens "
    "without any interrupting window.\r\n\r\n"
    "3. Please make sure that quillmark-office stands beside quillmark in the program's folder.\r\n\r\n"
    "4. All versions of LibreOffice from 7.0 on are supported by this software.";

const char* const kWordRunningPrompt = "Word may be open. It is recommended that you close Word first. Use "
                                       "Ctrl+Alt+Del > Task Manager > WINWORD.EXE "
                                       "if necessary.\r\n\r\nWould you like to proceed anyway?";

bool CheckWordCanStart(Dialogs& dialogs, OfficeEngine& engine)
{
    std::unique_ptr<OfficeApplication> application;
    try {
        application = engine.create();
    } catch (const std::exception&) {
        application.reset();
    }
    if (!application) {
        dialogs.messageBox(QString::fromUtf8(kWordCannotStartAdvice), Dialogs::OkOnly);
        return false;
    }
    try {
        application->quit();
    } catch (const std::exception&) {
        // A quit that fails after a good start changes nothing for start-up.
    }
    return true;
}

bool IsWordRunning(OfficeEngine& engine)
{
    try {
        const std::unique_ptr<OfficeApplication> running = engine.attach();
        return running && running->name() == QLatin1String("Microsoft Word");
    } catch (const std::exception&) {
        return false;
    }
}

bool WarnIfWordRunning(Dialogs& dialogs, OfficeEngine& engine)
{
    if (!IsWordRunning(engine))
        return false;
    return dialogs.messageBox(QString::fromUtf8(kWordRunningPrompt), Dialogs::YesNo) != Dialogs::AnswerYes;
}
