// Volume-image service: makes the leading metadata of a FAT32 volume in a
// work file, which the card-functions library later places on the card.
//
// Result codes of MakeFileSystem:
//   0    success
//   101  no mounted work file (null handle)
//   102  file-system kind other than 2 (FAT32)
//   103  volume too small for FAT32 (fewer than 65525 clusters)
//   104  volume too large for FAT32 (more than 0x0FFFFFF5 clusters)
//   105  label longer than 11 bytes or with a character a label cannot hold
//   106  the work file could not be resized (errno in the debugger output)
//   107  writing the work file failed (errno in the debugger output)
#include "PluginExports.h"
#include "Fat32Builder.h"
#include "Interfaces.h"
#include "ServiceTables.h"
#include "VorlanePlatform.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

using namespace vorlane::fat32;

struct VolumeFile {
    int fd = -1;
    std::string path;
};

void* MountFile(const char* path) {
    if (!path || !*path) {
        OutputDebugStringA("Volmac: MountFile without a path\n");
        return nullptr;
    }
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        VpDebugPrintf(512, "Volmac: cannot open %s: %s\n", path, std::strerror(errno));
        return nullptr;
    }
    auto* volume = new VolumeFile;
    volume->fd = fd;
    volume->path = path;
    return volume;
}

int MakeFileSystem(void* handle, int kind, uint32_t sectors, const char* label) {
    auto* volume = static_cast<VolumeFile*>(handle);
    if (!volume) return 101;
    if (kind != VOLUME_KIND_FAT32) {
        VpDebugPrintf(256, "Volmac: file-system kind %d is not supported\n", kind);
        return 102;
    }
    Layout layout;
    int r = PlanLayout(sectors, 0, &layout);
    if (r == kFat32TooSmall || r == kFat32TooLarge) {
        VpDebugPrintf(256, "Volmac: %u sectors are too %s for a FAT32 volume\n", sectors,
                      r == kFat32TooSmall ? "few" : "many");
        return r == kFat32TooSmall ? 103 : 104;
    }
    if (r != kFat32Ok) return 103;
    char name[11];
    if (MakeLabel(label, name, nullptr) != kFat32Ok) return 105;

    // The file holds exactly the metadata; the zero ranges stay holes.
    off_t bytes = off_t(layout.MetadataSectors() * kSectorBytes);
    if (ftruncate(volume->fd, 0) != 0 || ftruncate(volume->fd, bytes) != 0) {
        VpDebugPrintf(512, "Volmac: cannot resize %s: %s\n", volume->path.c_str(),
                      std::strerror(errno));
        return 106;
    }
    int fd = volume->fd;
    Sink sink;
    sink.write = [fd](uint64_t sector, const void* data, uint32_t count) -> int {
        size_t left = size_t(count) * kSectorBytes;
        off_t at = off_t(sector * kSectorBytes);
        auto* p = static_cast<const char*>(data);
        while (left > 0) {
            ssize_t n = pwrite(fd, p, left, at);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return n < 0 ? errno : EIO;
            p += n;
            at += n;
            left -= size_t(n);
        }
        return 0;
    };
    sink.zero = [](uint64_t, uint64_t) { return 0; }; // a fresh file reads as zeros
    r = WriteMetadata(layout, label, MakeVolumeId(), sink);
    if (r != 0) {
        VpDebugPrintf(512, "Volmac: writing %s failed: %s\n", volume->path.c_str(),
                      std::strerror(r));
        return 107;
    }
    return 0;
}

int UnmountFile(void* handle) {
    auto* volume = static_cast<VolumeFile*>(handle);
    if (!volume) return 101;
    int r = fsync(volume->fd) == 0 ? 0 : errno;
    if (close(volume->fd) != 0 && r == 0) r = errno;
    delete volume;
    return r;
}

const VolumeImageTable g_table = {MountFile, MakeFileSystem, nullptr, nullptr,    nullptr,
                                  nullptr,   nullptr,        nullptr, UnmountFile};

} // namespace

VORLANE_SERVICE_EXPORTS("Volmac", VORLANE_IID_VOLUME_IMAGE, 0x00010000, g_table)
