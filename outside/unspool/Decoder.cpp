#include "Decoder.h"

#include "Container.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace vorlane::image::decoder {
namespace {

struct OpenFile {
    int fd = -1;
    Container container;
    ~OpenFile() {
        if (fd >= 0) close(fd);
    }
};

struct ImageHandle {
    std::shared_ptr<OpenFile> file;
};

struct ItemHandle {
    std::shared_ptr<OpenFile> file;
    const Item* item = nullptr;
    const void* image = nullptr; // the image handle it was opened through (compared, never used)
    std::mutex lock;             // one handle's reads run one at a time
    uint64_t position = 0;
    uint32_t crc = 0;
    bool failed = false;
};

std::mutex g_lock;
std::unordered_map<const void*, std::shared_ptr<ImageHandle>> g_images;
std::unordered_map<const void*, std::shared_ptr<ItemHandle>> g_items;

std::shared_ptr<ImageHandle> FindImage(const void* image) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_images.find(image);
    return it == g_images.end() ? nullptr : it->second;
}

// The item, when it is open and was opened through `image`.
std::shared_ptr<ItemHandle> FindItem(const void* image, const void* item) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_items.find(item);
    if (it == g_items.end() || it->second->image != image) return nullptr;
    return it->second;
}

} // namespace

void* OpenImage(const char* path, uint32_t version, uint64_t maxItemSize) {
    if (!path || !*path) return nullptr;
    auto file = std::make_shared<OpenFile>();
    file->fd = open(path, O_RDONLY | O_CLOEXEC);
    if (file->fd < 0) return nullptr;
    struct stat st;
    if (fstat(file->fd, &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    const int fd = file->fd;
    std::string error;
    if (!file->container.Load(
            [fd](uint64_t offset, void* buffer, size_t length) {
                return vorlane::image::ReadFully(fd, offset, buffer, length);
            },
            static_cast<uint64_t>(st.st_size), version, &error))
        return nullptr;
    for (const Item& item : file->container.Items())
        if (item.size > maxItemSize) return nullptr;
    auto handle = std::make_shared<ImageHandle>();
    handle->file = std::move(file);
    std::lock_guard<std::mutex> guard(g_lock);
    g_images.emplace(handle.get(), handle);
    return handle.get();
}

void* OpenItem(void* image, const char* mainType, const char* subType) {
    auto owner = FindImage(image);
    if (!owner) return nullptr;
    const Item* item = owner->file->container.Find(mainType, subType);
    if (!item) return nullptr;
    auto handle = std::make_shared<ItemHandle>();
    handle->file = owner->file;
    handle->item = item;
    handle->image = image;
    std::lock_guard<std::mutex> guard(g_lock);
    g_items.emplace(handle.get(), handle);
    return handle.get();
}

uint64_t GetItemSize(void* image, void* item) {
    auto handle = FindItem(image, item);
    return handle ? handle->item->size : 0;
}

uint64_t ReadItem(void* image, void* item, void* buffer, uint64_t length) {
    auto handle = FindItem(image, item);
    if (!handle || (!buffer && length)) return 0;
    std::lock_guard<std::mutex> guard(handle->lock);
    const Item& record = *handle->item;
    if (handle->failed || handle->position >= record.size) return 0;
    const uint64_t count = std::min<uint64_t>(length, record.size - handle->position);
    if (count == 0) return 0;
    if (count > SIZE_MAX ||
        !vorlane::image::ReadFully(handle->file->fd, record.offset + handle->position, buffer,
                                   static_cast<size_t>(count))) {
        handle->failed = true;
        return 0;
    }
    handle->crc = Crc32(handle->crc, buffer, static_cast<size_t>(count));
    handle->position += count;
    if (handle->position == record.size && handle->crc != record.crc) {
        handle->failed = true;
        return 0;
    }
    return count;
}

int CloseItem(void* image, void* item) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_items.find(item);
    if (it == g_items.end()) return 2;
    if (it->second->image != image) return 3;
    g_items.erase(it); // a read still running holds its own reference
    return 0;
}

int CloseImage(void* image) {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_images.erase(image) ? 0 : 1;
}

} // namespace vorlane::image::decoder
