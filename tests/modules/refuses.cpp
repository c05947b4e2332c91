// A module whose entry point declines.
extern "C" bool refuses_load() { return false; }
