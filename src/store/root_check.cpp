// The start-up check of the file system under the storage root (mount table, client settings,
// lock self-test).
#include "store/root_check.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

// Is the comma-separated option list carrying opt as a whole item ("hard", "lookupcache=none")?
bool has_opt(const char *opts, const char *opt) {
  size_t n = strlen(opt);
  for (const char *p = opts; *p;) {
    const char *end = strchr(p, ',');
    size_t len = end ? (size_t)(end - p) : strlen(p);
    if (len == n && strncmp(p, opt, n) == 0) return true;
    if (!end) break;
    p = end + 1;
  }
  return false;
}

// The value of "name=value" in the option list, cut to cap-1; false when absent.
bool opt_value(const char *opts, const char *name, char *out, size_t cap) {
  size_t n = strlen(name);
  for (const char *p = opts; *p;) {
    const char *end = strchr(p, ',');
    size_t len = end ? (size_t)(end - p) : strlen(p);
    if (len > n && strncmp(p, name, n) == 0 && p[n] == '=') {
      size_t v = len - n - 1;
      if (v >= cap) v = cap - 1;
      memcpy(out, p + n + 1, v);
      out[v] = '\0';
      return true;
    }
    if (!end) break;
    p = end + 1;
  }
  return false;
}

bool starts_with(const char *s, const char *prefix) { return strncmp(s, prefix, strlen(prefix)) == 0; }

bool ends_with(const char *s, const char *suffix) {
  size_t n = strlen(s), m = strlen(suffix);
  return n >= m && strcmp(s + n - m, suffix) == 0;
}

// File systems whose files other machines (or another process's cache) may change: FUSE and
// the network ones. Everything else is served as a local file system.
bool is_shared_type(const plat_mount &m) {
  static const char *const k_net[] = {"nfs",   "nfs4",   "cifs", "smb3",  "smbfs", "9p",
                                      "ceph",  "glusterfs", "lustre", "gpfs", "afs", "virtiofs",
                                      "ocfs2", "gfs2",   "ncpfs", "coda"};
  if (m.remote) return true;
  if (strcmp(m.fstype, "fuse") == 0 || starts_with(m.fstype, "fuse.") ||
      strcmp(m.fstype, "fuseblk") == 0)
    return true;
  for (const char *t : k_net)
    if (strcmp(m.fstype, t) == 0) return true;
  return false;
}

// The GlusterFS client's own account of itself, in the virtual ".meta" folder at the root of
// its mount: the command line it was started with, and the translators of its active graph.
int check_glusterfs(const char *root, const plat_mount &m, char *msg, size_t cap) {
  char path[4352];
  snprintf(path, sizeof path, "%s/.meta/cmdline", m.mount_point);
  char cmd[8192];
  size_t have = 0;
  plat_file_guard f(plat_file_open(path, PLAT_READ));
  if (f.f) {
    long r;
    while (have + 1 < sizeof cmd && (r = plat_file_read(f.f, cmd + have, sizeof cmd - 1 - have)) > 0)
      have += (size_t)r;
  }
  cmd[have] = '\0';
  if (!f.f || have == 0) {
    snprintf(msg, cap, "storage root %s is on GlusterFS, but its client settings cannot be read at %s/.meta",
             root, m.mount_point);
    return -1;
  }
  // The mount options attribute-timeout, entry-timeout and negative-timeout reach the client
  // as command-line switches; the kernel's mount table does not show them.
  static const char *const k_timeouts[] = {"attribute-timeout=0", "entry-timeout=0", "negative-timeout=0"};
  for (const char *t : k_timeouts) {
    char want[64];
    snprintf(want, sizeof want, "--%s", t);
    const char *p = cmd;
    bool ok = false;
    size_t n = strlen(want);
    while ((p = strstr(p, want)) != nullptr) {
      char after = p[n];
      if (after == ' ' || after == '"' || after == '\0' || after == '\n') {
        ok = true;
        break;
      }
      p += n;
    }
    if (!ok) {
      snprintf(msg, cap, "storage root %s is on GlusterFS without the mount option %s", root, t);
      return -1;
    }
  }
  // Each caching translator that is on appears in the graph as "<volume>-<translator>".
  struct xl {
    const char *suffix;
    const char *option;
  };
  static const xl k_caches[] = {{"-open-behind", "performance.open-behind"},
                                {"-quick-read", "performance.quick-read"},
                                {"-md-cache", "performance.stat-prefetch"},
                                {"-io-cache", "performance.io-cache"},
                                {"-read-ahead", "performance.read-ahead"},
                                {"-write-behind", "performance.write-behind"},
                                {"-readdir-ahead", "performance.readdir-ahead"},
                                {"-nl-cache", "performance.nl-cache"}};
  snprintf(path, sizeof path, "%s/.meta/graphs/active", m.mount_point);
  plat_dir *d = plat_dir_open(path);
  if (!d) {
    snprintf(msg, cap, "storage root %s is on GlusterFS, but its client graph cannot be read at %s",
             root, path);
    return -1;
  }
  char name[512];
  int is_dir = 0;
  int rc = 0;
  while (rc == 0 && plat_dir_next(d, name, sizeof name, &is_dir) == 1) {
    for (const xl &c : k_caches) {
      if (ends_with(name, c.suffix)) {
        snprintf(msg, cap, "storage root %s is on GlusterFS with the volume option %s on (set it off)",
                 root, c.option);
        rc = -1;
        break;
      }
    }
  }
  plat_dir_close(d);
  return rc;
}

int check_nfs(const char *root, const plat_mount &m, char *msg, size_t cap) {
  char vers[32] = "";
  (void)opt_value(m.options, "vers", vers, sizeof vers);
  // "4.1", "4.2": major 4 with a minor version of at least 1, or any later major.
  int major = 0, minor = 0;
  const char *p = vers;
  while (*p >= '0' && *p <= '9' && major < 100) major = major * 10 + (*p++ - '0');
  if (*p == '.') {
    p++;
    while (*p >= '0' && *p <= '9' && minor < 100) minor = minor * 10 + (*p++ - '0');
  }
  const char *missing = nullptr;
  char local_lock[32] = "";
  if (major < 4 || (major == 4 && minor < 1)) {
    missing = "vers=4.1";
  } else if (!has_opt(m.options, "hard")) {
    missing = "hard";
  } else if (!has_opt(m.options, "lookupcache=none")) {
    missing = "lookupcache=none";
  } else if (!has_opt(m.options, "noac") &&
             !(has_opt(m.options, "acregmin=0") && has_opt(m.options, "acregmax=0") &&
               has_opt(m.options, "acdirmin=0") && has_opt(m.options, "acdirmax=0"))) {
    missing = "actimeo=0";
  } else if (has_opt(m.options, "nolock") ||
             (opt_value(m.options, "local_lock", local_lock, sizeof local_lock) &&
              strcmp(local_lock, "none") != 0)) {
    missing = "local_lock=none";
  }
  if (missing) {
    snprintf(msg, cap, "storage root %s is on NFS without the mount option %s", root, missing);
    return -1;
  }
  return 0;
}

}  // namespace

int root_check_settings(const char *root, const plat_mount *m, char *msg, size_t cap) {
  if (strcmp(m->fstype, "fuse.glusterfs") == 0 || strcmp(m->fstype, "glusterfs") == 0)
    return check_glusterfs(root, *m, msg, cap);
  if (strcmp(m->fstype, "nfs") == 0 || strcmp(m->fstype, "nfs4") == 0)
    return check_nfs(root, *m, msg, cap);
  return 0;
}

int root_check(const char *root, char *msg, size_t cap) {
  plat_mount m;
  // No mount table (another OS, a hidden /proc): nothing says the root is shared.
  if (plat_mount_of(root, &m) != 0 || !is_shared_type(m)) return 0;
  if (root_check_settings(root, &m, msg, cap) != 0) return -1;
  // Commits and bucket changes exclude each other through file locks: on a shared file system
  // the lock must keep a second handle out, as it keeps out a handle of another server.
  unsigned char rnd[16];
  if (plat_random_bytes(rnd, sizeof rnd) != 0) {
    snprintf(msg, cap, "storage root %s: no random source for the lock self-test", root);
    return -1;
  }
  char probe[4352];
  int n = snprintf(probe, sizeof probe, "%s/.s3lockcheck-", root);
  static const char k_hex[] = "0123456789abcdef";
  for (size_t i = 0; i < sizeof rnd && n > 0 && (size_t)n + 2 < sizeof probe; i++) {
    probe[n++] = k_hex[rnd[i] >> 4];
    probe[n++] = k_hex[rnd[i] & 15];
  }
  if (n > 0 && (size_t)n < sizeof probe) probe[n] = '\0';
  int verdict = plat_lock_self_test(probe);
  if (verdict != 1) {
    snprintf(msg, cap,
             verdict == 0 ? "storage root %s is on %s, whose locks do not keep a second handle out (lock forwarding is off)"
                          : "storage root %s is on %s, which refuses file locks (lock forwarding is off)",
             root, m.fstype[0] ? m.fstype : "a network file system");
    return -1;
  }
  return 0;
}
