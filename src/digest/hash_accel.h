// Internal seam between the portable digests (hash.cpp) and the instruction-set paths
// (hash_x86.cpp): what the CPU offers, and the block and CRC routines that use it.
#pragma once

#include <cstddef>
#include <cstdint>

// Bits of hash_accel_cpu() and hash_accel_paths().
enum : unsigned {
  HASH_ACCEL_SHA256 = 1u,  // SHA-256 rounds (SHA-NI with SSSE3 and SSE4.1)
  HASH_ACCEL_CRC32 = 2u,   // CRC-32 by carry-less multiplication (PCLMULQDQ with SSE4.1)
  HASH_ACCEL_CRC32C = 4u,  // CRC-32C by the SSE4.2 crc32 instruction
};

// The paths this CPU can run, asked of CPUID; 0 on other architectures.
unsigned hash_accel_cpu();

// The round constants of FIPS 180-4, shared by both SHA-256 paths.
extern const uint32_t SHA256_K[64];

// Compresses nblocks consecutive 64-byte blocks into state. Only when HASH_ACCEL_SHA256 is offered.
void sha256_blocks_accel(uint32_t state[8], const unsigned char *data, size_t nblocks);
// Same contract as crc32_update / crc32c_update. Only when the matching bit is offered.
uint32_t crc32_accel(uint32_t crc, const void *data, size_t len);
uint32_t crc32c_accel(uint32_t crc, const void *data, size_t len);

// The table-driven CRCs: the pieces the folding path leaves over, and the stubs elsewhere.
uint32_t crc32_portable(uint32_t crc, const void *data, size_t len);
uint32_t crc32c_portable(uint32_t crc, const void *data, size_t len);
