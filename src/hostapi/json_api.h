// Storage totals behind the host's statistics document.
#pragma once

#include <cstdint>

// Every visible entry of the storage root counts as a bucket (a plain file as one without
// objects); each bucket adds at most 256 objects and their bytes. All zero before the first start.
void count_storage(int32_t *buckets, int32_t *objects, uint64_t *bytes);
