// STUB: replaced by the header signature verification.
#include "auth/sigv4.h"
int check_auth(const char *, const char *, const char *, const char *, const char *, const char *,
               const char *, plat_sock, const char *, size_t) { return 1; }
int parse_sigv4_authz(const char *, char[128], char[64], char[512], char[129]) { return -1; }
int verify_sigv4(const char *, const char *, const char *, const char *, const char *, const char *,
                 const char *, const char *, size_t) { return 1; }
void sigv4_signing_key(const char *, unsigned char out[32]) { for (int i = 0; i < 32; i++) out[i] = 0; }
