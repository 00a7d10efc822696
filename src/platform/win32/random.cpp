// Random bytes from the system's preferred generator (BCryptGenRandom). There is no weak
// fallback: when the system source fails the caller is told, and refuses the operation.
#include <windows.h>
#include <bcrypt.h>

#include "platform/platform.h"

int plat_random_bytes(void *buf, size_t n) {
  unsigned char *p = (unsigned char *)buf;
  while (n > 0) {
    ULONG part = n > 0x10000000u ? 0x10000000u : (ULONG)n;
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, p, part, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) return -1;
    p += part;
    n -= part;
  }
  return 0;
}
