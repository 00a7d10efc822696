// The Content-Type an object is given when its upload names none, guessed from its key.
#include "store/content_type.h"

#include <cstring>

#include "base/text.h"

// ---------------------------------------------------------------- content types

struct content_type_row {
  const char *suffix;
  const char *type;
};

static const content_type_row CONTENT_TYPES[] = {
    {".txt", "text/plain"},          {".html", "text/html"},
    {".htm", "text/html"},           {".css", "text/css"},
    {".js", "application/javascript"}, {".json", "application/json"},
    {".xml", "application/xml"},     {".png", "image/png"},
    {".jpg", "image/jpeg"},          {".jpeg", "image/jpeg"},
    {".gif", "image/gif"},           {".webp", "image/webp"},
    {".svg", "image/svg+xml"},       {".pdf", "application/pdf"},
    {".zip", "application/zip"},     {".gz", "application/gzip"},
    {".mp4", "video/mp4"},           {".mp3", "audio/mpeg"},
    {".wav", "audio/wav"},
};

const char *guess_content_type(const char *name) {
  // The suffix runs from the last "." of the whole key, so "release.old/readme" has none known.
  const char *dot = name ? strrchr(name, '.') : nullptr;
  if (dot) {
    for (const content_type_row &row : CONTENT_TYPES)
      if (ieq(dot, row.suffix)) return row.type;
  }
  return "binary/octet-stream";
}
