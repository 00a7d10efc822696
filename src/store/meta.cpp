// STUB: replaced by the metadata files.
#include "store/meta.h"
void meta_save(const char *, const char *, const char *, const char *, const char *, size_t) {}
int meta_load(const char *, const char *, char[256], char *, size_t, char[1024]) { return 0; }
void meta_remove(const char *, const char *) {}
