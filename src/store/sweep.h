// The start-up sweep of temporary files that a crash or a killed process left in the store.
#pragma once

#include <cstdint>

// Temporary files younger than this may belong to an upload that another process on the same
// root, or a connection thread of an earlier run in this one, is still writing: a live upload
// or copy rewrites its file at least once per receive time-out.
constexpr int64_t S3_TEMP_GRACE_SECONDS = 900;

// Removes the server's own temporary files (is_temp_name), regular files only and older than
// S3_TEMP_GRACE_SECONDS, from every bucket tree and the metadata tree. Symbolic links are
// neither followed nor removed; the work is capped at S3_TEMP_SWEEP_ENTRIES directory entries.
// Returns the number of files removed.
constexpr uint64_t S3_TEMP_SWEEP_ENTRIES = 4000000;
// It also puts back the objects a kill left in a moving folder (object_moves_repair).
uint64_t temp_sweep();

// Under the exclusive lock of the bucket whose tree top is: puts back the objects of every
// moving folder below top (object_moves_repair_held). The number of folders that held one.
int moves_repair_tree(const char *top);
