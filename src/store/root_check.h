// The start-up check of the file system under the storage root: several servers may share one
// root only where locks reach every handle and no client cache hides another server's writes.
#pragma once

#include <cstddef>

// 0 when the root may be served: a local file system, or a network or FUSE one whose locks
// pass the two-handle self-test and whose documented cache settings are in force (GlusterFS:
// attribute, entry and negative timeouts 0 and the caching translators off; NFS: version 4.1
// or later, hard, lookupcache=none, actimeo=0, locks not kept locally). -1 with a one-line
// reason in msg that names the missing option.
int root_check(const char *root, char *msg, size_t cap);

struct plat_mount;
// The settings part of root_check for one mount as the OS describes it (no lock self-test):
// 0 when nothing is missing, -1 with the reason in msg.
int root_check_settings(const char *root, const plat_mount *m, char *msg, size_t cap);
