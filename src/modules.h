// Loadable modules: shared objects in the module directory (option -m) that
// extend the program with their own sections, processors, hooks and
// protocols. Loaded once at start-up, after the built-in sections and before
// the configuration document, and kept for the life of the process.
//
// A module "foo" is the file libfoo.so or foo.so, with its section
// definitions in foo.xml beside it (root element "section"); it exports
// `bool foo_load()`, which returns true when it has set itself up. While it
// runs, `sectionxml` is the module's own definition document. The program
// exports to modules only what conf/modules.list names.
#ifndef KORVANTEL_MODULES_H
#define KORVANTEL_MODULES_H

// Loads every module of `moduledir`; a module that fails is logged and
// skipped, start-up never stops for one.
void modules_load();

// Loads one module; true when its entry point accepted.
bool module_load(const char *name, const char *library, const char *definitions);

#endif
