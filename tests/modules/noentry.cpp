// A module without its entry point.
extern "C" bool some_other_function() { return true; }
