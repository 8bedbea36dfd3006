// Reader of the firmware image container: checks the header and the item
// table of an image before anything is trusted, and finds items by name.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vorlane::image {

// One item of the table, as checked by Container::Load.
struct Item {
    std::string mainType; // without the NUL padding
    std::string subType;
    uint64_t offset = 0;
    uint64_t size = 0;
    uint32_t crc = 0;
};

// Reads `length` bytes at `offset` of the image; false when they are not all there.
using ReadAtFn = std::function<bool(uint64_t offset, void* buffer, size_t length)>;

class Container {
  public:
    // Reads and checks the header and the table of an image of `fileSize`
    // bytes. `version` 1 or 2 accepts only that version, 0 either. On failure
    // `error` says why and the container stays empty.
    bool Load(const ReadAtFn& read, uint64_t fileSize, uint32_t version, std::string* error);
    // The same over bytes in memory (used by tests and the fuzzer).
    bool LoadMemory(const void* data, size_t size, uint32_t version, std::string* error);

    uint32_t Version() const { return m_version; }
    uint32_t Alignment() const { return m_alignment; }
    uint64_t TableOffset() const { return m_tableOffset; }
    uint64_t FileSize() const { return m_fileSize; }
    const std::vector<Item>& Items() const { return m_items; }

    // The first item whose names equal `mainType` and `subType` without
    // regard to ASCII case; null when none does (a name longer than its
    // field matches nothing).
    const Item* Find(const char* mainType, const char* subType) const;

  private:
    uint32_t m_version = 0;
    uint32_t m_alignment = 0;
    uint64_t m_tableOffset = 0;
    uint64_t m_fileSize = 0;
    std::vector<Item> m_items;
};

// Reads exactly `length` bytes at `offset` of `fd` (positional, retried
// after signals); false on an error or at the end of the file.
bool ReadFully(int fd, uint64_t offset, void* buffer, size_t length);

// CRC-32 (reflected, polynomial 0xEDB88320), continued from `crc` (0 to start).
uint32_t Crc32(uint32_t crc, const void* data, size_t length);

} // namespace vorlane::image
