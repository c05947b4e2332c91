// A module built against an interface the program does not export: its
// data reference cannot be bound when it is opened.
extern int korvantel_interface_that_does_not_exist;
extern "C" bool badsym_load() { return korvantel_interface_that_does_not_exist == 1; }
