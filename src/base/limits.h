// The limits a client meets, one name for each, in the order of the README's limits section
// (which mirrors this file); each floor takes them from here.
#pragma once

#include <cstddef>
#include <cstdint>

// A bucket name: 3 to 63 characters.
constexpr size_t S3_BUCKET_MIN = 3;
constexpr size_t S3_BUCKET_MAX = 63;
// A key: at most 4095 bytes once percent-decoded; a field that holds one has room for its NUL.
constexpr size_t S3_KEY_MAX = 4095;
constexpr size_t S3_KEY_FIELD = S3_KEY_MAX + 1;
// Every path buffer of the store; a path is at most 4351 characters.
constexpr size_t S3_FS_PATH = 4352;

// Connections. One front thread watches every open connection while it waits for a request
// head (idle, or a head arriving); a fixed pool of workers runs requests whose head is whole.
// Open connections in all and from one client address (beyond either a new connection is
// answered 503 SlowDown and closed); the workers; the listen queue; a receive or send of a
// worker that waits longer fails.
constexpr int S3_MAX_OPEN_CONNS = 10000;
constexpr int S3_MAX_CONNS_PER_ADDR = 2000;
constexpr int S3_WORKERS = 128;
// Workers serving requests from one client address at once: a request beyond them waits in the
// front, its head whole, until one of that address's requests ends, so that one client cannot
// hold every worker while others wait.
constexpr int S3_MAX_WORKERS_PER_ADDR = S3_WORKERS / 4;
// After an answer on a kept connection, its worker waits this long for the next request
// itself, so that a client sending requests back to back costs no hand-over to and from the
// front; only while fewer than half the workers are busy and the client address has no request
// waiting for its share. Past it, the connection is watched by the front again.
constexpr int S3_KEEP_WAIT_MS = 2;
constexpr int S3_LISTEN_BACKLOG = 1024;
constexpr int S3_IO_TIMEOUT_MS = 60000;
// A connection without a request this long after the last answer (or after it opened) is
// closed. Once the first byte of a head is there, the whole head must arrive within the head
// deadline, however the client spaces its bytes, and at the minimum rate once the grace has
// passed (bytes owed: the rate times the time since the grace). A browser form upload, whose
// body is read before its policy signature can be checked, is held to the form deadline and
// the same rate until the signature is checked.
constexpr int S3_IDLE_TIMEOUT_MS = 10000;
constexpr int S3_HEAD_DEADLINE_MS = 10000;
constexpr int S3_FORM_DEADLINE_MS = 10000;
constexpr int S3_RATE_GRACE_MS = 2000;
constexpr uint64_t S3_MIN_BYTES_PER_S = 1024;
// After an answer that closes the connection, what the client still sends is read and thrown
// away (closing with unread bytes would reset the answer away) for at most this long and this
// many bytes, by the front, so that it holds no worker.
constexpr int S3_LINGER_MS = 5000;
constexpr uint64_t S3_LINGER_BYTES = 64ull << 20;
// A request head, in bytes.
constexpr size_t S3_HEAD_LIMIT = 65536;
// One upload or part in any framing, inclusive; one aws-chunked chunk, inclusive.
constexpr uint64_t S3_BODY_MAX = 4294967296ULL;
constexpr uint64_t S3_AWS_CHUNK_MAX = 8388608ULL;
// Parts of one multipart upload (and of the object it makes).
constexpr size_t S3_PARTS_MAX = 10000;
// The largest Complete body read: 10,000 parts at up to 384 bytes each (part number, an ETag
// with escaped quotes, a checksum element and blanks), plus 64 KiB for the rest. Beyond it the
// answer is MaxMessageLengthExceeded, and no request holds more than this.
constexpr size_t S3_COMPLETE_BODY_MAX = S3_PARTS_MAX * 384 + 65536;
// Keys of one DeleteObjects request (more is MalformedXML), and its largest body: 1,000 keys as
// long as the store holds with room for their XML escapes and the Object, Key and VersionId
// tags, plus 64 KiB for the rest.
constexpr size_t S3_DELETE_MAX_KEYS = 1000;
constexpr size_t S3_DELETE_BODY_MAX = S3_DELETE_MAX_KEYS * 4608 + 65536;
// Keys of one listing page, whatever max-keys asks.
constexpr long S3_LIST_MAX_KEYS = 1000;
// A presigned URL's longest life, in seconds (one week).
constexpr int64_t S3_PRESIGN_EXPIRES_MAX = 604800;
// Multipart uploads older than this, in seconds, are removed at the next start.
constexpr uint64_t S3_MPU_MAX_AGE = 604800;
// The host's JSON lists: entries of the root looked at, objects listed or counted per bucket.
constexpr size_t S3_JSON_ROOT_NAMES = 512;
constexpr size_t S3_JSON_BUCKET_OBJECTS = 256;
