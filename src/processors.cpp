#include "processors.h"

Processors &processors = *new Processors();

int Processors::Add(PROCESSOR_CALLBACK callback, int stage) { return list_.Add(callback, stage); }

int Processors::Remove(PROCESSOR_CALLBACK callback) { return list_.Remove(callback); }

int Processors::Execute(int stage, CONNECTION_T *connection, Filebuf *buffer) {
    // The modifying stages and the header stages let every callback act;
    // the others end as soon as one has decided.
    bool stop_at_one = stage == PROCESSOR_REQCHECK || stage == PROCESSOR_REQMOD || stage == PROCESSOR_RESPCHECK ||
                       stage == PROCESSOR_BUFFCHECK || stage == PROCESSOR_AUTH;
    return list_.Run(stage, stop_at_one, connection, buffer);
}
