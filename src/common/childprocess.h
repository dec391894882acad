#pragma once

class QProcess;

// Makes the process, once started, end by `signal` when this one ends, in
// any way, SIGKILL included. A child whose parent dies while it starts, before
// the system could be told, would otherwise live on unseen: it ends at once.
void EndWithParent(QProcess& process, int signal);
