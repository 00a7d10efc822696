// Files and directories for Windows: status, creation and removal, the replacing move,
// directory listings, unbuffered file handles, durability, file times and lock files.
//
// Paths arrive as UTF-8 with '/' separators. They are converted to UTF-16 and given to the
// wide-character calls, since the "A" calls read paths in the ANSI code page and would store
// a non-ASCII key under another name. Long paths get the "\\?\" prefix, which lifts the
// 260-character limit and also turns off the silent dropping of trailing dots and blanks;
// names that Windows would alias are refused before they reach this layer.
#include <windows.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/platform.h"
#include "platform/win32/os_calls.h"

// ---------------------------------------------------------------- paths and errors

namespace {

// A UTF-16 path on the heap; null when the text is not UTF-8 or memory is short.
struct wpath {
  wchar_t *p = nullptr;
  explicit wpath(const char *utf8, const wchar_t *suffix = nullptr);
  ~wpath() { free(p); }
  wpath(const wpath &) = delete;
  wpath &operator=(const wpath &) = delete;
};

wpath::wpath(const char *utf8, const wchar_t *suffix) {
  if (!utf8) return;
  int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, nullptr, 0);
  if (n <= 0) return;
  size_t extra = suffix ? wcslen(suffix) : 0;
  wchar_t *rel = (wchar_t *)malloc(((size_t)n + extra) * sizeof(wchar_t));
  if (!rel) return;
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, rel, n);
  if (suffix) memcpy(rel + n - 1, suffix, (extra + 1) * sizeof(wchar_t));
  for (wchar_t *c = rel; *c; c++)
    if (*c == L'/') *c = L'\\';
  if (wcslen(rel) < 240 || wcsncmp(rel, L"\\\\", 2) == 0) {
    p = rel;
    return;
  }
  // Long: make it absolute (the prefix turns off all normalisation) and add the prefix.
  DWORD full = GetFullPathNameW(rel, 0, nullptr, nullptr);
  wchar_t *out = full ? (wchar_t *)malloc((full + 4) * sizeof(wchar_t)) : nullptr;
  if (out) {
    memcpy(out, L"\\\\?\\", 4 * sizeof(wchar_t));
    if (GetFullPathNameW(rel, full, out + 4, nullptr) == 0) {
      free(out);
      out = nullptr;
    }
  }
  free(rel);
  p = out;
}

plat_err map_error(DWORD e) {
  switch (e) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_DIRECTORY:
      return PLAT_ERR_NOT_FOUND;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_ACCESS_DENIED:
      return PLAT_ERR_BUSY;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
    case ERROR_DIR_NOT_EMPTY:
      return PLAT_ERR_EXISTS;
    default:
      return PLAT_ERR_OTHER;
  }
}

// FILETIME counts 100-nanosecond units since 1601-01-01 UTC.
const int64_t k_unix_epoch_ft = 116444736000000000LL;

int64_t ft_to_ns(FILETIME ft) {
  int64_t v = (int64_t)(((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime);
  return (v - k_unix_epoch_ft) * 100;
}

// File systems keep 100 ns units. The time is rounded up, never down, so a stamp set one
// nanosecond after another one still reads back as later than it.
FILETIME ns_to_ft(int64_t ns) {
  int64_t units = ns >= 0 ? (ns + 99) / 100 : -((-ns) / 100);
  uint64_t v = (uint64_t)(units + k_unix_epoch_ft);
  FILETIME ft;
  ft.dwLowDateTime = (DWORD)v;
  ft.dwHighDateTime = (DWORD)(v >> 32);
  return ft;
}

bool attr_is_dir(DWORD a) {
  return (a & FILE_ATTRIBUTE_DIRECTORY) && !(a & FILE_ATTRIBUTE_REPARSE_POINT);
}

const DWORD k_share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace

// ---------------------------------------------------------------- status, mkdir, removal

static int fill_stat(const char *path, plat_stat_t *out, int follow) {
  wpath w(path);
  if (!w.p) return -1;
  WIN32_FILE_ATTRIBUTE_DATA d;
  if (!GetFileAttributesExW(w.p, GetFileExInfoStandard, &d)) return -1;
  int link = (d.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? 1 : 0;
  if (link && follow) {
    // Follow the link by opening what it points at.
    HANDLE h = os_CreateFileW(w.p, FILE_READ_ATTRIBUTES, k_share_all, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return -1;
    BY_HANDLE_FILE_INFORMATION bi;
    BOOL ok = GetFileInformationByHandle(h, &bi);
    os_CloseHandle(h);
    if (!ok) return -1;
    d.dwFileAttributes = bi.dwFileAttributes & ~(DWORD)FILE_ATTRIBUTE_REPARSE_POINT;
    d.ftLastWriteTime = bi.ftLastWriteTime;
    d.nFileSizeHigh = bi.nFileSizeHigh;
    d.nFileSizeLow = bi.nFileSizeLow;
    link = 0;
  }
  out->is_link = link;
  out->is_dir = !link && attr_is_dir(d.dwFileAttributes) ? 1 : 0;
  int regular = !link && !(d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  out->size = regular ? (((uint64_t)d.nFileSizeHigh << 32) | d.nFileSizeLow) : 0;
  int64_t ns = ft_to_ns(d.ftLastWriteTime);
  out->mtime = ns >= 0 ? ns / 1000000000 : -((-ns + 999999999) / 1000000000);
  return 0;
}

int plat_stat(const char *path, plat_stat_t *out) { return fill_stat(path, out, 1); }

int plat_lstat(const char *path, plat_stat_t *out) { return fill_stat(path, out, 0); }

int plat_mkdir(const char *path) {
  wpath w(path);
  return w.p && os_CreateDirectoryW(w.p, nullptr) ? 0 : -1;
}

int plat_rmdir(const char *path) {
  wpath w(path);
  return w.p && RemoveDirectoryW(w.p) ? 0 : -1;
}

int plat_unlink_while_open() { return 0; }

int plat_unlink(const char *path, plat_err *err) {
  plat_err dummy;
  if (!err) err = &dummy;
  *err = PLAT_OK;
  wpath w(path);
  if (!w.p) {
    *err = PLAT_ERR_OTHER;
    return -1;
  }
  if (os_DeleteFileW(w.p)) return 0;
  DWORD e = GetLastError();
  DWORD a = GetFileAttributesW(w.p);
  // DeleteFile answers "access denied" for a directory, as for a file in use.
  if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY))
    *err = PLAT_ERR_IS_DIR;
  else
    *err = map_error(e);
  return -1;
}

// ---------------------------------------------------------------- replacing move

// FILE_RENAME_INFO as Windows 10 takes it for FileRenameInfoEx (class 22), declared here so
// the build does not require Windows 10 headers. FileName is an NT path.
struct rename_info_ex {
  DWORD flags;
  HANDLE root;
  DWORD name_bytes;
  WCHAR name[1];
};
const int k_file_rename_info_ex = 22;
const DWORD k_rename_replace = 0x1, k_rename_posix = 0x2;

// The rename of POSIX: dst is replaced even while other handles (readers of the old object)
// have it open; they go on reading the old bytes. Windows 10 1709 and later; 0 / -1.
static int posix_rename(const wchar_t *src, const wchar_t *dst) {
  DWORD full = GetFullPathNameW(dst, 0, nullptr, nullptr);
  if (full == 0) return -1;
  size_t bytes = offsetof(rename_info_ex, name) + (full + 8) * sizeof(WCHAR);
  rename_info_ex *ri = (rename_info_ex *)calloc(1, bytes);
  if (!ri) return -1;
  const wchar_t *in = dst;
  if (wcsncmp(in, L"\\\\?\\", 4) == 0) in += 4;  // already absolute; the NT prefix replaces it
  memcpy(ri->name, L"\\??\\", 4 * sizeof(WCHAR));
  DWORD n = GetFullPathNameW(in, full + 4, ri->name + 4, nullptr);
  int rc = -1;
  if (n > 0 && n < full + 4) {
    ri->flags = k_rename_replace | k_rename_posix;
    ri->name_bytes = (DWORD)((n + 4) * sizeof(WCHAR));
    HANDLE h = os_CreateFileW(src, DELETE | SYNCHRONIZE, k_share_all, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      if (SetFileInformationByHandle(h, (FILE_INFO_BY_HANDLE_CLASS)k_file_rename_info_ex, ri, (DWORD)bytes))
        rc = 0;
      os_CloseHandle(h);
    }
  }
  free(ri);
  return rc;
}

static int move_replacing(const wchar_t *src, const wchar_t *dst) {
  const DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH;
  return os_MoveFileExW(src, dst, flags) ? 0 : -1;
}

// MoveFileEx replaces dst in one step on the same volume and copies across volumes. It fails
// while another handle has dst open (a reader of the old object, a virus scanner); then the
// POSIX rename is tried. Where that is missing (volumes other than NTFS, Windows before 10),
// the move is tried again for a short while, since most such handles are brief (a record read,
// a scan), and only then reported as busy.
int plat_rename_replace(const char *src, const char *dst, plat_err *err) {
  plat_err dummy;
  if (!err) err = &dummy;
  *err = PLAT_OK;
  wpath ws(src), wd(dst);
  if (!ws.p || !wd.p) {
    *err = PLAT_ERR_OTHER;
    return -1;
  }
  if (move_replacing(ws.p, wd.p) == 0) return 0;
  DWORD e = GetLastError();
  DWORD a = GetFileAttributesW(wd.p);
  int dst_is_dir = a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
  if ((e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION) && !dst_is_dir) {
    if (posix_rename(ws.p, wd.p) == 0) return 0;
    for (int attempt = 0; attempt < 20; attempt++) {
      Sleep(attempt < 10 ? 1 : 10);
      if (move_replacing(ws.p, wd.p) == 0) return 0;
      e = GetLastError();
      if (e != ERROR_ACCESS_DENIED && e != ERROR_SHARING_VIOLATION) break;
    }
  }
  if (e == ERROR_ACCESS_DENIED && dst_is_dir)
    *err = PLAT_ERR_IS_DIR;
  else
    *err = map_error(e);
  return -1;
}

int plat_link(const char *src, const char *dst, plat_err *err) {
  plat_err dummy;
  if (!err) err = &dummy;
  *err = PLAT_OK;
  wpath ws(src), wd(dst);
  if (!ws.p || !wd.p) {
    *err = PLAT_ERR_OTHER;
    return -1;
  }
  if (CreateHardLinkW(wd.p, ws.p, nullptr)) return 0;
  *err = map_error(GetLastError());
  return -1;
}

// ---------------------------------------------------------------- directory listings

struct plat_dir {
  HANDLE h;
  WIN32_FIND_DATAW fd;
  int pending;  // 1 while fd holds an entry not yet handed out
};

plat_dir *plat_dir_open(const char *path) {
  wpath w(path, L"\\*");
  if (!w.p) return nullptr;
  plat_dir *d = (plat_dir *)malloc(sizeof *d);
  if (!d) return nullptr;
  d->h = FindFirstFileExW(w.p, FindExInfoBasic, &d->fd, FindExSearchNameMatch, nullptr, 0);
  if (d->h == INVALID_HANDLE_VALUE) {
    free(d);
    return nullptr;
  }
  d->pending = 1;
  return d;
}

// A reparse point (link or junction) is reported as a plain entry, never as a directory, so
// that walks and recursive deletes stay inside the tree they started in. A name longer than
// cap-1 bytes of UTF-8 is cut at a character boundary.
int plat_dir_next(plat_dir *d, char *name, size_t cap, int *is_dir) {
  if (!d) return 0;
  for (;;) {
    if (!d->pending && !FindNextFileW(d->h, &d->fd)) return 0;
    d->pending = 0;
    const wchar_t *n = d->fd.cFileName;
    if (n[0] == L'.' && (n[1] == 0 || (n[1] == L'.' && n[2] == 0))) continue;
    if (is_dir) *is_dir = attr_is_dir(d->fd.dwFileAttributes) ? 1 : 0;
    if (cap > 0) {
      char buf[MAX_PATH * 4 + 1];
      int len = WideCharToMultiByte(CP_UTF8, 0, n, -1, buf, sizeof buf, nullptr, nullptr);
      if (len <= 0) continue;  // not representable: skipped, as no key can name it
      size_t l = (size_t)len - 1;
      if (l > cap - 1) {
        l = cap - 1;
        while (l > 0 && ((unsigned char)buf[l] & 0xC0) == 0x80) l--;
      }
      memcpy(name, buf, l);
      name[l] = 0;
    }
    return 1;
  }
}

void plat_dir_close(plat_dir *d) {
  if (!d) return;
  FindClose(d->h);
  free(d);
}

// ---------------------------------------------------------------- files

struct plat_file {
  HANDLE h;
  HANDLE wh;   // a second handle with write access, opened on demand for a read handle
  int write;   // 1 when h was opened for writing
};

// Handles share reading, writing and deletion, so an object can be replaced or removed while
// it is being read, as on POSIX. The last component is opened as the reparse point itself, and
// anything but a regular file is refused, so no link planted in the tree is followed.
// An opened handle as a plat_file; the handle is closed and nullptr returned when there is no
// memory for it.
static plat_file *wrap_handle(HANDLE h, int write) {
  plat_file *f = (plat_file *)malloc(sizeof *f);
  if (!f) {
    os_CloseHandle(h);
    return nullptr;
  }
  f->h = h;
  f->wh = nullptr;
  f->write = write;
  return f;
}

plat_file *plat_file_open_err(const char *path, plat_file_mode mode, plat_err *err) {
  plat_err ignored;
  if (!err) err = &ignored;
  *err = PLAT_ERR_OTHER;
  wpath w(path);
  if (!w.p) return nullptr;
  int wr = mode != PLAT_READ;
  DWORD access = wr ? (GENERIC_READ | GENERIC_WRITE) : GENERIC_READ;
  DWORD disposition = mode == PLAT_READ ? OPEN_EXISTING : OPEN_ALWAYS;
  HANDLE h = os_CreateFileW(w.p, access, k_share_all, nullptr, disposition,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    if (map_error(GetLastError()) == PLAT_ERR_NOT_FOUND) *err = PLAT_ERR_NOT_FOUND;
    return nullptr;
  }
  BY_HANDLE_FILE_INFORMATION bi;
  // Only files on a disk are objects: a pipe or a device is refused before any read waits on it.
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &bi) ||
      (bi.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
    os_CloseHandle(h);
    return nullptr;
  }
  // Truncated only once it is known to be a plain file, never a link's target.
  if (mode == PLAT_WRITE_TRUNC && !SetEndOfFile(h)) {
    os_CloseHandle(h);
    return nullptr;
  }
  *err = PLAT_OK;
  return wrap_handle(h, wr);
}

plat_file *plat_file_open(const char *path, plat_file_mode mode) {
  return plat_file_open_err(path, mode, nullptr);
}

plat_file *plat_file_create(const char *path, plat_err *err) {
  *err = PLAT_OK;
  wpath w(path);
  if (!w.p) {
    *err = PLAT_ERR_OTHER;
    return nullptr;
  }
  // CREATE_NEW fails on any entry in the name's place, so nothing that was there is opened.
  HANDLE h = os_CreateFileW(w.p, GENERIC_READ | GENERIC_WRITE, k_share_all, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD e = GetLastError();
    *err = (e == ERROR_FILE_EXISTS || e == ERROR_ALREADY_EXISTS) ? PLAT_ERR_EXISTS : map_error(e);
    return nullptr;
  }
  plat_file *f = wrap_handle(h, 1);
  if (!f) *err = PLAT_ERR_OTHER;
  return f;
}

long plat_file_read(plat_file *f, void *buf, size_t n) {
  DWORD want = n > 0x40000000u ? 0x40000000u : (DWORD)n;
  DWORD got = 0;
  if (!os_ReadFile(f->h, buf, want, &got, nullptr)) return -1;
  return (long)got;
}

long plat_file_write(plat_file *f, const void *buf, size_t n) {
  const char *p = (const char *)buf;
  size_t done = 0;
  while (done < n) {
    size_t left = n - done;
    DWORD part = left > 0x40000000u ? 0x40000000u : (DWORD)left;
    DWORD put = 0;
    if (!os_WriteFile(f->h, p + done, part, &put, nullptr) || put == 0) return -1;
    done += put;
  }
  return (long)done;
}

int plat_file_seek(plat_file *f, uint64_t offset) {
  if (offset > (uint64_t)INT64_MAX) return -1;
  LARGE_INTEGER li;
  li.QuadPart = (LONGLONG)offset;
  return SetFilePointerEx(f->h, li, nullptr, FILE_BEGIN) ? 0 : -1;
}

// Writes go straight to WriteFile, so nothing is held back here.
int plat_file_flush(plat_file *) { return 0; }

// ---------------------------------------------------------------- durability and file times

// FlushFileBuffers and SetFileTime need write access, which a read handle lacks; such a file
// gets a second handle to the same file, with write access, opened once.
static HANDLE writable(plat_file *f) {
  if (f->write) return f->h;
  if (!f->wh) {
    HANDLE h = ReOpenFile(f->h, GENERIC_READ | GENERIC_WRITE, k_share_all, FILE_FLAG_OPEN_REPARSE_POINT);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    f->wh = h;
  }
  return f->wh;
}

int plat_file_sync(plat_file *f) {
  HANDLE h = writable(f);
  return h && os_FlushFileBuffers(h) ? 0 : -1;
}

// Windows starts no write-back of a range on request; the final flush does all of it.
void plat_file_writeback(plat_file *, uint64_t, uint64_t) {}

// NTFS journals its directory entries, and moves are made with MOVEFILE_WRITE_THROUGH, so a
// directory needs no flush of its own; flushing a directory handle is attempted, and only a
// directory that cannot be opened counts as a failure.
int plat_dir_sync(const char *path) {
  wpath w(path);
  if (!w.p) return -1;
  HANDLE h = os_CreateFileW(w.p, GENERIC_READ, k_share_all, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return -1;
  (void)os_FlushFileBuffers(h);
  os_CloseHandle(h);
  return 0;
}

int plat_file_mtime_ns(plat_file *f, int64_t *mtime_ns) {
  FILETIME ft;
  if (!GetFileTime(f->h, nullptr, nullptr, &ft)) return -1;
  *mtime_ns = ft_to_ns(ft);
  return 0;
}

int plat_file_set_mtime_ns(plat_file *f, int64_t mtime_ns) {
  HANDLE h = writable(f);
  if (!h) return -1;
  FILETIME ft = ns_to_ft(mtime_ns);
  return SetFileTime(h, nullptr, nullptr, &ft) ? 0 : -1;
}

// The identity of an open handle: the volume serial number and the 64-bit file index name the
// file as device and inode do elsewhere. -1 for anything but a regular file.
static int handle_identity(HANDLE h, plat_file_id *out) {
  BY_HANDLE_FILE_INFORMATION bi;
  if (!GetFileInformationByHandle(h, &bi) ||
      (bi.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
    return -1;
  out->dev = bi.dwVolumeSerialNumber;
  out->ino = ((uint64_t)bi.nFileIndexHigh << 32) | bi.nFileIndexLow;
  out->size = ((uint64_t)bi.nFileSizeHigh << 32) | bi.nFileSizeLow;
  out->mtime_ns = ft_to_ns(bi.ftLastWriteTime);
  return 0;
}

int plat_file_identity(const char *path, plat_file_id *out) {
  wpath w(path);
  if (!w.p) return -1;
  // Opened for its attributes only, the link itself rather than its target.
  HANDLE h = os_CreateFileW(w.p, FILE_READ_ATTRIBUTES, k_share_all, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return -1;
  int rc = handle_identity(h, out);
  os_CloseHandle(h);
  return rc;
}

int plat_file_handle_identity(plat_file *f, plat_file_id *out) {
  return f ? handle_identity(f->h, out) : -1;
}

int plat_entry_info(const char *path, int *is_file, int64_t *mtime_ns) {
  wpath w(path);
  WIN32_FILE_ATTRIBUTE_DATA d;
  if (!w.p || !GetFileAttributesExW(w.p, GetFileExInfoStandard, &d)) return -1;
  *is_file = (d.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ? 0 : 1;
  *mtime_ns = ft_to_ns(d.ftLastWriteTime);
  return 0;
}

void plat_file_close(plat_file *f) {
  if (!f) return;
  if (f->wh) os_CloseHandle(f->wh);
  os_CloseHandle(f->h);
  free(f);
}

// ---------------------------------------------------------------- lock files

// LockFileEx locks belong to the handle, so two handles opened by two threads of one process
// exclude each other just as two processes do. The whole possible range is locked.
// A waiting LockFileEx cannot be given a time limit, so the wait polls with pauses that grow
// from 1 ms to 32 ms, as on POSIX.
int plat_file_lock_take(const char *path, int exclusive, int create, plat_file_lock *out) {
  return plat_file_lock_take_wait(path, exclusive, create, PLAT_LOCK_WAIT_MS, out);
}

int plat_file_lock_take_wait(const char *path, int exclusive, int create, int wait_ms,
                             plat_file_lock *out) {
  out->fd = -1;
  out->timed_out = 0;
  wpath w(path);
  if (!w.p) return -1;
  HANDLE h = os_CreateFileW(w.p, create ? (GENERIC_READ | GENERIC_WRITE) : GENERIC_READ, k_share_all,
                         nullptr, create ? OPEN_ALWAYS : OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return -1;
  if (GetFileType(h) != FILE_TYPE_DISK) {
    os_CloseHandle(h);
    return -1;
  }
  const uint32_t start = plat_tick_ms();
  int pause_ms = 1;
  for (;;) {
    OVERLAPPED ov;
    memset(&ov, 0, sizeof ov);
    DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    if (os_LockFileEx(h, flags, 0, MAXDWORD, MAXDWORD, &ov)) break;
    if (GetLastError() != ERROR_LOCK_VIOLATION) {
      os_CloseHandle(h);
      return -1;
    }
    if (plat_tick_ms() - start >= (uint32_t)wait_ms) {
      os_CloseHandle(h);
      out->timed_out = 1;
      return -1;
    }
    plat_sleep_ms(pause_ms);
    if (pause_ms < 32) pause_ms *= 2;
  }
  out->fd = (intptr_t)h;
  return 0;
}

void plat_file_lock_release(plat_file_lock *l) {
  if (!l || l->fd == -1) return;
  HANDLE h = (HANDLE)l->fd;
  OVERLAPPED ov;
  memset(&ov, 0, sizeof ov);
  (void)UnlockFileEx(h, 0, MAXDWORD, MAXDWORD, &ov);
  os_CloseHandle(h);
  l->fd = -1;
}

int plat_windows_names() { return 1; }
