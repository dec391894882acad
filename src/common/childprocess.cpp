#include "childprocess.h"

#include <QProcess>

#include <sys/prctl.h>
#include <unistd.h>

void EndWithParent(QProcess& process, int signal)
{
    const pid_t parent = ::getpid();
    process.setChildProcessModifier([parent, signal] {
        ::prctl(PR_SET_PDEATHSIG, signal);
        if (::getppid() != parent)
            ::_exit(1);
    });
}
