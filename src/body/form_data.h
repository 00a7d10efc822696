// A bounded, streaming reader of multipart/form-data bodies (browser form uploads): it finds
// each part's boundary in the arriving bytes, so a file part of any size passes through a
// fixed buffer and is never held whole.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

constexpr size_t FORM_BOUNDARY_MAX = 70;     // characters of a boundary (the MIME limit)
constexpr size_t FORM_BUF = 65536;           // bytes held at once
constexpr size_t FORM_PART_HEAD_MAX = 8192;  // bytes of one part's header lines
constexpr size_t FORM_NAME_MAX = 127;        // characters of a field name
constexpr size_t FORM_FILENAME_MAX = 1023;   // characters of a file name

struct form_reader {
  plat_sock sock;
  const char *prefix;  // body bytes that came with the head
  size_t prefix_len;
  size_t prefix_pos;
  uint64_t left;                     // body bytes still to take from prefix and socket
  char delim[FORM_BOUNDARY_MAX + 5]; // CR LF "--" boundary
  size_t delim_len;
  unsigned char buf[FORM_BUF];
  size_t start, end;                 // unread bytes buf[start..end)
  int at_delim;                      // the current part's data has ended at a delimiter
  int finished;                      // the closing delimiter has been read
};

// One part's header: its field name, file name (when it is a file) and content type.
struct form_part {
  char name[FORM_NAME_MAX + 1];
  char filename[FORM_FILENAME_MAX + 1];
  int has_filename;
  char content_type[256];
};

// The boundary parameter of a multipart/form-data Content-Type into out[FORM_BOUNDARY_MAX + 1].
// 0, or -1 when the type is another one or the boundary is missing or too long.
int form_boundary(const char *content_type, char out[FORM_BOUNDARY_MAX + 1]);

// Starts reading a body of body_len bytes (prefix first, then the socket).
void form_init(form_reader *f, plat_sock sock, const char *prefix, size_t prefix_len,
               uint64_t body_len, const char *boundary);

// Moves to the next part, skipping what is left of the current one, and reads its header.
// 1 with *part filled, 0 after the closing delimiter, -1 malformed or cut short.
int form_next_part(form_reader *f, form_part *part);

// Reads up to n bytes of the current part's data. The bytes read (0 at the part's end), or -1
// when the body ends or breaks before the part's delimiter.
long form_read(form_reader *f, void *dst, size_t n);
