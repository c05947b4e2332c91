// Signal handling: TERM stops the daemon, HUP drops pooled connections, USR1
// rotates the logs, USR2 only logs, ABRT and SEGV write a stack trace first,
// PIPE is logged and otherwise ignored.
#ifndef KORVANTEL_SIGNALS_H
#define KORVANTEL_SIGNALS_H

// Installs the seven handlers and starts the thread that acts on them.
void signal_setup();

// Removes the PID file named by `pidfile`; a missing file is ignored.
void pidfile_remove();

#endif
