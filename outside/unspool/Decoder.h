// The handle layer shared by the two image decoders (Unspool64.so reads
// version 2, Unspool32.so version 1).
//
// Handles are pointers to heap objects kept in a registry; a pointer that is
// not in the registry (never given out, or already closed) is refused without
// being dereferenced. An item handle shares ownership of its image's open
// file, so CloseImage never pulls the file from under an open item: the item
// stays readable until CloseItem, and the file is closed with the last handle.
// Reads are positional (pread), so any number of handles may be used from
// different threads; one handle serialises its own reads.
//
// Result codes of CloseItem / CloseImage:
//   0  success
//   1  the image handle is not an open image of this decoder
//   2  the item handle is not an open item of this decoder
//   3  the item belongs to another image handle
#pragma once

#include <cstdint>

namespace vorlane::image::decoder {

// Opens an image of container `version`; items larger than `maxItemSize`
// make the whole image unreadable for this decoder. Null on any failure.
void* OpenImage(const char* path, uint32_t version, uint64_t maxItemSize);
void* OpenItem(void* image, const char* mainType, const char* subType);
// Item length; 0 for a bad handle.
uint64_t GetItemSize(void* image, void* item);
// Delivers up to `length` bytes from where the handle stopped. Returns the
// count (never past the item's end), 0 at the end, on a read error or a bad
// handle, and 0 from the call that delivers the last byte when the CRC of
// everything the handle delivered differs from the item's.
uint64_t ReadItem(void* image, void* item, void* buffer, uint64_t length);
int CloseItem(void* image, void* item);
int CloseImage(void* image);

} // namespace vorlane::image::decoder
