// Helpers shared by the script and configuration parsers: number reading,
// text cutting and the error channel to the debugger output.
#pragma once

#include "VorlanePlatform.h"

#include <cstddef>
#include <cstdint>

namespace vorlane::ostrand {

// The leading decimal number of `text` after white space, with an optional
// sign ("0x100" reads as 0, "12abc" as 12, no digits as 0). Values beyond
// the 32-bit range are clamped to INT32_MAX / INT32_MIN.
int32_t ReadDecimal(const char* text);

// Hexadecimal with an optional "0x"/"0X" prefix after white space; the
// leading hex digits are read and the low 16 bits kept ("12345" gives 0x2345).
uint16_t ReadHex16(const char* text);

// Copies at most `limit` bytes of `source` (up to its NUL or `sourceSize`)
// into `destination` and terminates it; destination holds limit + 1 bytes.
void CopyCut(char* destination, const char* source, size_t sourceSize, size_t limit);

// True when `path` is a regular file that opens for reading.
bool IsReadableFile(const char* path);

// "ERROR:<source>[<line>]\nFUNC:<source>:<function>\n" ... as one debugger line;
// the message itself is formatted into at most 1024 bytes.
void ReportError(const char* source, int line, const char* function, const char* format, ...)
    VP_PRINTF(4, 5);

// A plain message, formatted into at most 1024 bytes.
void ReportPlain(const char* format, ...) VP_PRINTF(1, 2);

} // namespace vorlane::ostrand
