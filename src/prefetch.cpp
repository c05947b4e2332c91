#include "prefetch.h"

void prefetch_queue_add(CONNECTION_T *, URL *) {}

void prefetch_setup_callbacks(CONNECTION_T *) {}
