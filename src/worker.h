// The request worker: the body of every request thread.
#ifndef KORVANTEL_WORKER_H
#define KORVANTEL_WORKER_H

struct CONNECTION_T;

// Hands a connection with a readable request to an idle worker, or starts a
// new one. Returns the slot index, or -1 (the caller closes the connection).
int process_new(CONNECTION_T *connection);
// The request worker's body: serves requests on its connection while it stays
// alive, gives it back to the client pool, and waits idle for another until
// THREAD_TIMEOUT ends the thread.
void *process_entry(void *connection);
// Keep-alive wait in whole seconds of the worker in the given slot.
int keepalive_wait(int slot);

#endif
