// Configuration synchronisation: a slave (option -M host:port) copies the
// configuration of its master from the master's "/xml" export, section by
// section (options -S and -E choose which), whenever the export's
// Last-Modified time differs from that of the last copy taken, and writes
// the result to its own configuration file.
#ifndef KORVANTEL_SYNC_H
#define KORVANTEL_SYNC_H

// Largest export taken from a master; a larger or endless answer fails.
#define SYNC_BODY_MAX (16LL * 1024 * 1024)

// One synchronisation; does nothing on a program that is no slave. Run
// once at start-up and as a repeating timer every `syncinterval` seconds;
// the argument is not used. Reports only through the log.
void config_sync(void *argument);

#endif
