// Partition-table and download-list records ("mbr.fex", "dlinfo.fex") in
// the small ("qelvo311", 15 partitions) and large ("qelvo411", 120
// partitions) layouts.
#pragma once

#include <cstdint>

namespace vorlane {

// Each deliverable's copy has its own failure codes (and only the card
// functions' and the card tool's copies offer GetTableData).
enum class PartionVariant { Ostrand, CardFun, Sarnet };

constexpr uint32_t kPartitionTableCopySize = 16384; // one large-layout copy
constexpr uint32_t kSmallTableSize = 1024;
constexpr uint32_t kSmallDownloadSize = 1340;
constexpr uint32_t kLargeDownloadSize = 14464;
constexpr int kPartNameBuffer = 17; // GetPartName destinations hold 16 bytes + NUL

class PartionInfoAW {
  public:
    virtual ~PartionInfoAW() = default; // slot 0
    // Reads up to the copy's size of each file into its zero-filled copy;
    // 0, or 901 (download list) / 902 (table) when a file cannot be read.
    virtual int Load(const char* tablePath, const char* downloadPath) = 0; // 1
    // Names are at most 16 bytes: writes at most 16 bytes plus NUL.
    virtual int GetPartName(int index, char* destination) = 0;       // 2
    virtual int GetDownloadFile(int index, char* destination16) = 0; // 3
    virtual int GetDownloadPart(int index, char* destination16) = 0; // 4
    virtual int GetCapacity() = 0;                                   // 5
    virtual int GetPartCount() = 0;                                  // 6
    virtual uint32_t GetLengthByName(const char* name) = 0;          // 7
    virtual uint32_t GetLength(int index) = 0;                       // 8
    virtual uint32_t GetStartByName(const char* name) = 0;           // 9
    virtual uint32_t GetStart(int index) = 0;                        // 10
    virtual int GetDownloadCount() = 0;                              // 11
    // The table copy, changed in place by the callers (null in Ostrand's copy).
    virtual uint8_t* GetTableData() = 0; // 12
};

// Recognises the layout by the magic at bytes 8..15 of the table file and
// loads both files; null when the magic is unknown or a file cannot be opened.
PartionInfoAW* CreatePartionInfo(PartionVariant variant, const char* tablePath,
                                 const char* downloadPath);

} // namespace vorlane
