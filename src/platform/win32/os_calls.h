// The Win32 calls of the system-call table (platform/syscalls.h), for the files of this folder:
// each os_* function calls the table's current entry, Windows' own call unless a test replaced it.
// Costs one atomic load per call.
#pragma once

#include <windows.h>

#include "platform/syscalls.h"

enum os_call_id {
  OS_CREATE_FILE = 0,
  OS_CLOSE_HANDLE,
  OS_READ_FILE,
  OS_WRITE_FILE,
  OS_FLUSH_FILE_BUFFERS,
  OS_MOVE_FILE_EX,
  OS_DELETE_FILE,
  OS_CREATE_DIRECTORY,
  OS_LOCK_FILE_EX,
  OS_GET_SYSTEM_TIME,
  OS_CALL_COUNT
};

plat_syscall_ptr os_call(os_call_id id);

template <typename F>
inline F os_fn(os_call_id id) {
  return (F)os_call(id);
}

inline HANDLE os_CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                             DWORD disposition, DWORD flags, HANDLE tmpl) {
  return os_fn<decltype(&CreateFileW)>(OS_CREATE_FILE)(name, access, share, sa, disposition, flags,
                                                       tmpl);
}
inline BOOL os_CloseHandle(HANDLE h) { return os_fn<decltype(&CloseHandle)>(OS_CLOSE_HANDLE)(h); }
inline BOOL os_ReadFile(HANDLE h, LPVOID buf, DWORD n, LPDWORD got, LPOVERLAPPED ov) {
  return os_fn<decltype(&ReadFile)>(OS_READ_FILE)(h, buf, n, got, ov);
}
inline BOOL os_WriteFile(HANDLE h, LPCVOID buf, DWORD n, LPDWORD put, LPOVERLAPPED ov) {
  return os_fn<decltype(&WriteFile)>(OS_WRITE_FILE)(h, buf, n, put, ov);
}
inline BOOL os_FlushFileBuffers(HANDLE h) {
  return os_fn<decltype(&FlushFileBuffers)>(OS_FLUSH_FILE_BUFFERS)(h);
}
inline BOOL os_MoveFileExW(LPCWSTR src, LPCWSTR dst, DWORD flags) {
  return os_fn<decltype(&MoveFileExW)>(OS_MOVE_FILE_EX)(src, dst, flags);
}
inline BOOL os_DeleteFileW(LPCWSTR name) {
  return os_fn<decltype(&DeleteFileW)>(OS_DELETE_FILE)(name);
}
inline BOOL os_CreateDirectoryW(LPCWSTR name, LPSECURITY_ATTRIBUTES sa) {
  return os_fn<decltype(&CreateDirectoryW)>(OS_CREATE_DIRECTORY)(name, sa);
}
inline BOOL os_LockFileEx(HANDLE h, DWORD flags, DWORD reserved, DWORD low, DWORD high,
                          LPOVERLAPPED ov) {
  return os_fn<decltype(&LockFileEx)>(OS_LOCK_FILE_EX)(h, flags, reserved, low, high, ov);
}
inline void os_GetSystemTimePreciseAsFileTime(LPFILETIME ft) {
  os_fn<decltype(&GetSystemTimePreciseAsFileTime)>(OS_GET_SYSTEM_TIME)(ft);
}
