// The volume under a path (its file system name, and whether Windows calls it a network one)
// and the two-handle lock self-test, for Windows.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace {

// UTF-8 to UTF-16 with '\' separators on the heap; null on failure. Free with free().
wchar_t *wide(const char *utf8) {
  int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, nullptr, 0);
  if (n <= 0) return nullptr;
  wchar_t *w = (wchar_t *)malloc((size_t)n * sizeof(wchar_t));
  if (!w) return nullptr;
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, w, n);
  for (wchar_t *c = w; *c; c++)
    if (*c == L'/') *c = L'\\';
  return w;
}

void narrow(const wchar_t *w, char *out, size_t cap) {
  out[0] = '\0';
  int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, out, (int)cap, nullptr, nullptr);
  if (n <= 0) out[0] = '\0';
  out[cap - 1] = '\0';
}

}  // namespace

int plat_mount_of(const char *path, plat_mount *out) {
  memset(out, 0, sizeof *out);
  if (!path) return -1;
  wchar_t *w = wide(path);
  if (!w) return -1;
  wchar_t vol[MAX_PATH + 1];
  int rc = -1;
  if (GetVolumePathNameW(w, vol, MAX_PATH)) {
    wchar_t fs[MAX_PATH + 1];
    if (GetVolumeInformationW(vol, nullptr, 0, nullptr, nullptr, nullptr, fs, MAX_PATH))
      narrow(fs, out->fstype, sizeof out->fstype);
    narrow(vol, out->mount_point, sizeof out->mount_point);
    narrow(vol, out->source, sizeof out->source);
    out->remote = GetDriveTypeW(vol) == DRIVE_REMOTE ? 1 : 0;
    rc = 0;
  }
  free(w);
  return rc;
}

int plat_lock_self_test(const char *path) {
  wchar_t *w = wide(path);
  if (!w) return -1;
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE a = CreateFileW(w, GENERIC_READ | GENERIC_WRITE, share, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (a == INVALID_HANDLE_VALUE) {
    free(w);
    return -1;
  }
  HANDLE b = CreateFileW(w, GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  int verdict = -1;
  OVERLAPPED ov;
  memset(&ov, 0, sizeof ov);
  const DWORD ex = LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY;
  if (b != INVALID_HANDLE_VALUE && LockFileEx(a, ex, 0, MAXDWORD, MAXDWORD, &ov)) {
    OVERLAPPED ob;
    memset(&ob, 0, sizeof ob);
    if (LockFileEx(b, ex, 0, MAXDWORD, MAXDWORD, &ob)) {
      verdict = 0;
    } else if (GetLastError() == ERROR_LOCK_VIOLATION) {
      // Released through the first handle, the lock must reach the second one.
      (void)UnlockFileEx(a, 0, MAXDWORD, MAXDWORD, &ov);
      memset(&ob, 0, sizeof ob);
      verdict = LockFileEx(b, ex, 0, MAXDWORD, MAXDWORD, &ob) ? 1 : 0;
    }
  }
  if (b != INVALID_HANDLE_VALUE) CloseHandle(b);
  CloseHandle(a);
  (void)DeleteFileW(w);
  free(w);
  return verdict;
}
