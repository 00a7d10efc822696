// The part of a platform's system-call table that is the same on every platform: its entries
// and the look-ups by name behind platform/syscalls.h. Each platform layer fills its own table.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstring>

#include "platform/syscalls.h"

struct os_entry {
  const char *name;
  std::atomic<plat_syscall_ptr> current;
  plat_syscall_ptr os_own;
};

// The entry named name in t[0..n), or null.
inline os_entry *syscall_find(os_entry *t, size_t n, const char *name) {
  if (!name) return nullptr;
  for (size_t i = 0; i < n; i++)
    if (strcmp(t[i].name, name) == 0) return &t[i];
  return nullptr;
}

inline int syscall_set(os_entry *t, size_t n, const char *name, plat_syscall_ptr fn) {
  os_entry *e = syscall_find(t, n, name);
  if (!e) return -1;
  e->current.store(fn ? fn : e->os_own, std::memory_order_release);
  return 0;
}

inline plat_syscall_ptr syscall_get(os_entry *t, size_t n, const char *name) {
  os_entry *e = syscall_find(t, n, name);
  return e ? e->current.load(std::memory_order_acquire) : nullptr;
}

inline plat_syscall_ptr syscall_default(os_entry *t, size_t n, const char *name) {
  os_entry *e = syscall_find(t, n, name);
  return e ? e->os_own : nullptr;
}

// The name after name in t[0..n) (the first for null), or null after the last.
inline const char *syscall_next(os_entry *t, size_t n, const char *name) {
  if (!name) return n ? t[0].name : nullptr;
  for (size_t i = 0; i + 1 < n; i++)
    if (strcmp(t[i].name, name) == 0) return t[i + 1].name;
  return nullptr;
}
