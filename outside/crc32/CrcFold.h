// CRC-32 (reflected, polynomial 0xEDB88320) with carry-less multiplication
// where the processor has it, zlib's crc32 elsewhere.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorlane::crc {

// Continues `crc` (0 to start, the finished value of the bytes so far) over `length` bytes.
uint32_t Update(uint32_t crc, const void* data, size_t length);

} // namespace vorlane::crc
