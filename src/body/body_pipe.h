// The way of a received payload into its file: the digests computed on the way, and for large
// bodies a small ring of buffers with one helper thread that computes MD5 while the
// connection's thread receives and writes the next bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "body/body.h"
#include "digest/running.h"
#include "platform/platform.h"


// Bytes go into the ring slot by slot. The connection's thread fills a slot (straight from the
// socket, or by copy), writes it, adds it to every digest but MD5 and hands it on; until the
// body passes a threshold the same thread also computes MD5, after that a helper thread does,
// up to a few slots behind (when one of the few helper places is free). Memory stays at the
// ring whatever the body's size.
struct body_pipe;

// A pipe into the open file f, hashing into h; null when its memory cannot be had.
body_pipe *pipe_open(plat_file *f, body_hashing *h);
// Where the next payload bytes go: at least 1 and *cap bytes of room.
unsigned char *pipe_space(body_pipe *p, size_t *cap);
// n bytes (at most *cap) were placed at pipe_space: 0, or -1 when a write failed (text set).
int pipe_commit(body_pipe *p, size_t n);
// Copies n bytes in: 0 / -1 as pipe_commit.
int pipe_store(body_pipe *p, const void *data, size_t n);
// Hands on what is left and waits until every byte is written and hashed: 0, or -1 when a write
// failed (text set). The digests in h are complete only after this; the helper no longer
// touches h once this or pipe_close returned.
int pipe_finish(body_pipe *p);
// Stops the helper (dropping what it has not hashed yet, when pipe_finish was not called) and
// frees the pipe; null is ignored. The file stays open.
void pipe_close(body_pipe *p);
