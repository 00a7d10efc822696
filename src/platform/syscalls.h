// The table of system calls the platform layer reaches the OS through, and the test programs'
// handle on it: replace one call, make calls fail on a matching path or count, put it back.
// Linked into the core, never exported from the shared library; only tests use it.
#pragma once

#include <cstddef>

// A call of the table, cast to one type; each entry keeps its real signature (that of the OS
// call it stands for) and callers cast it back.
typedef void (*plat_syscall_ptr)(void);

// Replaces the call named name ("open", "fdatasync", "WriteFile", ...) with fn, which must have
// that call's signature; a null fn puts the OS's own call back. Safe while other threads make
// calls: each call uses either the old or the new pointer. 0, or -1 for a name not in the table.
int plat_syscall_set(const char *name, plat_syscall_ptr fn);
// The call in use for name, or null for a name not in the table.
plat_syscall_ptr plat_syscall_get(const char *name);
// The OS's own call for name, or null for a name not in the table.
plat_syscall_ptr plat_syscall_default(const char *name);
// The name after name in the table (the first for null), or null after the last.
const char *plat_syscall_next(const char *name);
