// A fixed, process-wide table of computed ETags, one slot per hash of the file's identity
// (device, file number, size, nanosecond modification time). A rewritten file has another size
// or time, so its old slot simply stops matching; nothing is ever invalidated by hand.
#include "store/etag_cache.h"

#include <cstring>

namespace {

struct etag_slot {
  plat_file_id id;
  int used;
  char hex[33];
};

etag_slot s_slots[ETAG_CACHE_SLOTS];

plat_mutex *cache_lock() {
  // Made on first use and never destroyed: listings run on host threads too, at any time.
  static plat_mutex lock;
  static const bool ready = (plat_mutex_init(&lock), true);
  (void)ready;
  return &lock;
}

uint64_t mix(uint64_t h, uint64_t v) {
  h ^= v + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
  return h;
}

unsigned slot_of(const plat_file_id *id) {
  uint64_t h = mix(mix(mix(mix(0, id->dev), id->ino), id->size), (uint64_t)id->mtime_ns);
  h ^= h >> 29;
  return (unsigned)(h % ETAG_CACHE_SLOTS);
}

}  // namespace

int etag_same_version(const plat_file_id *a, const plat_file_id *b) {
  return a->dev == b->dev && a->ino == b->ino && a->size == b->size && a->mtime_ns == b->mtime_ns;
}

int etag_cache_get(const plat_file_id *id, char hex[33]) {
  unsigned i = slot_of(id);
  plat_lock_guard g(cache_lock());
  if (!s_slots[i].used || !etag_same_version(&s_slots[i].id, id)) return 0;
  memcpy(hex, s_slots[i].hex, 33);
  return 1;
}

void etag_cache_put(const plat_file_id *id, const char hex[33]) {
  unsigned i = slot_of(id);
  plat_lock_guard g(cache_lock());
  s_slots[i].id = *id;
  memcpy(s_slots[i].hex, hex, 32);
  s_slots[i].hex[32] = 0;
  s_slots[i].used = 1;
}
