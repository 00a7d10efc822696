// The Win32 calls of the system-call table (platform/syscalls.h), for the files of this folder:
// each os_* name calls the table's current entry, Windows' own call unless a test replaced it.
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

#define os_CreateFileW ((decltype(&CreateFileW))os_call(OS_CREATE_FILE))
#define os_CloseHandle ((decltype(&CloseHandle))os_call(OS_CLOSE_HANDLE))
#define os_ReadFile ((decltype(&ReadFile))os_call(OS_READ_FILE))
#define os_WriteFile ((decltype(&WriteFile))os_call(OS_WRITE_FILE))
#define os_FlushFileBuffers ((decltype(&FlushFileBuffers))os_call(OS_FLUSH_FILE_BUFFERS))
#define os_MoveFileExW ((decltype(&MoveFileExW))os_call(OS_MOVE_FILE_EX))
#define os_DeleteFileW ((decltype(&DeleteFileW))os_call(OS_DELETE_FILE))
#define os_CreateDirectoryW ((decltype(&CreateDirectoryW))os_call(OS_CREATE_DIRECTORY))
#define os_LockFileEx ((decltype(&LockFileEx))os_call(OS_LOCK_FILE_EX))
#define os_GetSystemTimePreciseAsFileTime \
  ((decltype(&GetSystemTimePreciseAsFileTime))os_call(OS_GET_SYSTEM_TIME))
