#include "Container.h"

#include <cerrno>

#include <unistd.h>

#include "ImageFormat.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace vorlane::image {

uint32_t Crc32(uint32_t crc, const void* data, size_t length) {
    return static_cast<uint32_t>(crc32_z(crc, static_cast<const Bytef*>(data), length));
}

namespace {

bool Fail(std::string* error, const std::string& why) {
    if (error) *error = why;
    return false;
}

// A name field: 1..field bytes of 0x21..0x7E followed only by NUL padding.
bool ReadName(const uint8_t* field, size_t width, std::string* name) {
    size_t length = 0;
    while (length < width && field[length] != 0)
        ++length;
    for (size_t i = length; i < width; ++i)
        if (field[i] != 0) return false;
    if (!IsValidName(reinterpret_cast<const char*>(field), length, width)) return false;
    name->assign(reinterpret_cast<const char*>(field), length);
    return true;
}

bool EqualNoCase(const std::string& stored, const char* asked, size_t askedLength) {
    if (stored.size() != askedLength) return false;
    for (size_t i = 0; i < askedLength; ++i) {
        unsigned char a = static_cast<unsigned char>(stored[i]);
        unsigned char b = static_cast<unsigned char>(asked[i]);
        if (a >= 'A' && a <= 'Z') a = static_cast<unsigned char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = static_cast<unsigned char>(b - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

} // namespace

bool Container::Load(const ReadAtFn& read, uint64_t fileSize, uint32_t version,
                     std::string* error) {
    *this = Container();
    if (fileSize < kHeaderSize) return Fail(error, "file too short for an image header");
    uint8_t header[kHeaderSize];
    if (!read(0, header, sizeof header)) return Fail(error, "cannot read the image header");
    if (std::memcmp(header, kMagic, sizeof kMagic) != 0)
        return Fail(error, "not an image (bad magic)");
    if (Crc32(0, header, 60) != LoadLE32(header + 60)) return Fail(error, "header CRC mismatch");
    const uint32_t fileVersion = LoadLE32(header + 8);
    if (fileVersion != 1 && fileVersion != 2)
        return Fail(error, "unknown image version " + std::to_string(fileVersion));
    if (version != 0 && fileVersion != version)
        return Fail(error, "image version " + std::to_string(fileVersion) + " (expected " +
                               std::to_string(version) + ")");
    if (LoadLE32(header + 12) != kHeaderSize) return Fail(error, "bad header size");
    const uint32_t count = LoadLE32(header + 16);
    if (count > kMaxItems) return Fail(error, "item count " + std::to_string(count) + " too large");
    const uint32_t recordSize = LoadLE32(header + 20);
    if (recordSize != (fileVersion == 1 ? kRecordSizeV1 : kRecordSizeV2))
        return Fail(error, "bad item record size");
    const uint64_t tableOffset = LoadLE64(header + 24);
    const uint64_t storedSize = LoadLE64(header + 32);
    const uint32_t tableCrc = LoadLE32(header + 40);
    const uint32_t alignment = LoadLE32(header + 44);
    if (storedSize != fileSize)
        return Fail(error, "stored file size " + std::to_string(storedSize) +
                               " differs from the real size " + std::to_string(fileSize));
    if (fileVersion == 1 && fileSize >= kVersion1Limit)
        return Fail(error, "version 1 image of 4 GiB or more");
    if (alignment < kMinAlignment || (alignment & (alignment - 1)) != 0)
        return Fail(error, "bad data alignment " + std::to_string(alignment));

    // count <= 4096 and recordSize <= 80: the table size cannot overflow.
    const uint64_t tableSize = uint64_t(count) * recordSize;
    if (tableOffset < kHeaderSize || tableOffset > fileSize || tableSize > fileSize - tableOffset)
        return Fail(error, "item table outside the file");
    std::vector<uint8_t> table(static_cast<size_t>(tableSize));
    if (tableSize && !read(tableOffset, table.data(), table.size()))
        return Fail(error, "cannot read the item table");
    if (Crc32(0, table.data(), table.size()) != tableCrc)
        return Fail(error, "item table CRC mismatch");

    std::vector<Item> items(count);
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* r = table.data() + size_t(i) * recordSize;
        Item& item = items[i];
        const std::string which = "item " + std::to_string(i);
        if (!ReadName(r, kMainLength, &item.mainType) ||
            !ReadName(r + 8, kSubLength, &item.subType))
            return Fail(error, which + ": invalid name");
        if (fileVersion == 1) {
            item.offset = LoadLE32(r + 24);
            item.size = LoadLE32(r + 28);
            item.crc = LoadLE32(r + 32);
        } else {
            item.offset = LoadLE64(r + 24);
            item.size = LoadLE64(r + 32);
            item.crc = LoadLE32(r + 40);
        }
        const std::string name = which + " (" + item.mainType + "/" + item.subType + ")";
        if (item.offset > fileSize || item.size > fileSize - item.offset)
            return Fail(error, name + " lies outside the file");
        if (item.offset % alignment != 0) return Fail(error, name + ": offset not aligned");
        if (item.size == 0) continue;
        if (item.offset < kHeaderSize) return Fail(error, name + " overlaps the header");
        if (tableSize && item.offset < tableOffset + tableSize &&
            tableOffset < item.offset + item.size)
            return Fail(error, name + " overlaps the item table");
    }
    // Items may not share bytes: sort the non-empty ones by offset and compare neighbours.
    std::vector<const Item*> order;
    for (const Item& item : items)
        if (item.size) order.push_back(&item);
    std::sort(order.begin(), order.end(),
              [](const Item* a, const Item* b) { return a->offset < b->offset; });
    for (size_t i = 1; i < order.size(); ++i)
        if (order[i - 1]->offset + order[i - 1]->size > order[i]->offset)
            return Fail(error, "items " + order[i - 1]->mainType + "/" + order[i - 1]->subType +
                                   " and " + order[i]->mainType + "/" + order[i]->subType +
                                   " overlap");

    m_version = fileVersion;
    m_alignment = alignment;
    m_tableOffset = tableOffset;
    m_fileSize = fileSize;
    m_items = std::move(items);
    return true;
}

bool Container::LoadMemory(const void* data, size_t size, uint32_t version, std::string* error) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    return Load(
        [bytes, size](uint64_t offset, void* buffer, size_t length) {
            if (offset > size || length > size - offset) return false;
            std::memcpy(buffer, bytes + offset, length);
            return true;
        },
        size, version, error);
}

const Item* Container::Find(const char* mainType, const char* subType) const {
    if (!mainType || !subType) return nullptr;
    const size_t mainLength = strnlen(mainType, kMainLength + 1);
    const size_t subLength = strnlen(subType, kSubLength + 1);
    if (mainLength > kMainLength || subLength > kSubLength) return nullptr;
    for (const Item& item : m_items)
        if (EqualNoCase(item.mainType, mainType, mainLength) &&
            EqualNoCase(item.subType, subType, subLength))
            return &item;
    return nullptr;
}

bool ReadFully(int fd, uint64_t offset, void* buffer, size_t length) {
    auto* out = static_cast<uint8_t*>(buffer);
    while (length > 0) {
        ssize_t n = pread(fd, out, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        out += n;
        offset += static_cast<uint64_t>(n);
        length -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace vorlane::image
