#include "hooks.h"

Hooks &hooks = *new Hooks();

int Hooks::Add(HOOK_CALLBACK callback, int type) { return list_.Add(callback, type); }

int Hooks::Remove(HOOK_CALLBACK callback) { return list_.Remove(callback); }

int Hooks::Execute(int type, void *first, void *second) { return list_.Run(type, true, first, second); }
