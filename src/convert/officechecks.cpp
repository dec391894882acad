#include "officechecks.h"

#include "dialogs.h"
#include "officeengine.h"

#include <QString>

const char* const kWordCannotStartAdvice =
    "Error 842001. A normal instance of the page engine could not be created.\r\n\r\n"
    "1. Please make sure Qt WebEngine is installed on this computer (on Debian and Ubuntu: the package "
    "libqt6webenginecore6).\r\n\r\n"
    "2. Please make sure that quillmark-office stands beside quillmark in the program's folder and that "
    "\"quillmark-office --socket test\", started from a terminal, reports no error.\r\n\r\n"
    "3. Please make sure the temporary folder can be written to and is not full.\r\n\r\n"
    "4. LibreOffice Writer is needed only for attached office documents; mail is laid out without it.";

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
