// The leading metadata of an empty FAT32 volume: boot sector, FSInfo, their
// backups at sectors 6 and 7, the reserved area, both FATs and the empty
// root-directory cluster. Written at the volume's first sector it makes a
// complete, empty volume; everything behind the root cluster is free space
// and never needs to be touched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace vorlane::fat32 {

// Result codes (0 = success).
enum Fat32Result : int {
    kFat32Ok = 0,
    kFat32TooSmall = 1,       // fewer than 65525 clusters
    kFat32TooLarge = 2,       // more than 0x0FFFFFF5 clusters, or 2^32 sectors and more
    kFat32BadClusterSize = 3, // not a power of two between 512 and 65536 bytes
    kFat32BadLabel = 4,       // longer than 11 bytes or a character a label cannot hold
    kFat32WriteFailed = 5,    // the sink refused a write (its own code is kept by the caller)
};

constexpr uint32_t kSectorBytes = 512;
constexpr uint32_t kReservedSectors = 32;
constexpr uint32_t kMinClusters = 65525;
constexpr uint32_t kMaxClusters = 0x0FFFFFF5;

struct Layout {
    uint32_t totalSectors = 0;
    uint32_t sectorsPerCluster = 0;
    uint32_t reservedSectors = kReservedSectors;
    uint32_t fatSectors = 0;    // per FAT
    uint32_t clusterCount = 0;  // data clusters (numbered 2 ... clusterCount + 1)
    uint32_t hiddenSectors = 0; // sectors in front of the volume on its disk
    // First sector behind the metadata (relative to the volume).
    uint64_t MetadataSectors() const {
        return uint64_t(reservedSectors) + 2ull * fatSectors + sectorsPerCluster;
    }
    uint64_t RootSector() const { return uint64_t(reservedSectors) + 2ull * fatSectors; }
};

// The usual FAT32 cluster size for a volume of `sectors` 512-byte sectors:
// 512 B up to 260 MiB, 4 KiB up to 8 GiB, 8 KiB up to 16 GiB, 16 KiB up to
// 32 GiB, 32 KiB above. Returns sectors per cluster.
uint32_t DefaultSectorsPerCluster(uint64_t sectors);

// Plans a volume of `sectors` sectors with clusters of `clusterBytes` bytes
// (0 = the default for the size).
int PlanLayout(uint64_t sectors, uint32_t clusterBytes, Layout* layout);

// Normalises a volume label into the 11 bytes of the boot sector (upper
// case, space padded; "NO NAME" for an empty label).
int MakeLabel(const char* label, char out[11], bool* hasLabel);

// Where the metadata goes. `write` stores `count` sectors of data at
// volume-relative sector `sector`; `zero` clears `count` sectors there.
// Both return 0 or a positive error code, which stops the build.
struct Sink {
    std::function<int(uint64_t sector, const void* data, uint32_t count)> write;
    std::function<int(uint64_t sector, uint64_t count)> zero;
};

// Writes the metadata of `layout` through `sink`, in ascending sector order.
// Returns 0 or the first error code of the sink.
int WriteMetadata(const Layout& layout, const char* label, uint32_t volumeId, const Sink& sink);

// A volume id from the clock and a random source.
uint32_t MakeVolumeId();

} // namespace vorlane::fat32
