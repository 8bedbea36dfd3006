// Card preparation around the card tool's run: FormatCard before it, the GPT
// or the DOS partition table after it, and the restore step.
#include "CardFacade.h"

#include "CardFunLog.h"
#include "GptBackup.h"
#include "Interfaces.h"
#include "PartionInfo.h"
#include "VorlanePlatform.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace vorlane::cardfun {

namespace {

constexpr const char* kFile = "CardFacade";
constexpr uint32_t kSector = 512;
constexpr int kOpenRetries = 20;
constexpr uint32_t kClearBlockSectors = 128; // one 64 KiB buffer of zeros
constexpr uint32_t kClearMaxBlocks = 64;
constexpr uint32_t kDosPartitionFirst =
    40960; // fixed offset of the device partitions in the DOS table
constexpr int kDosMaxTables = 14;

// One DOS partition entry as written here (16 bytes at 446 + 16 k).
struct DosEntry {
    uint8_t status;
    uint8_t chsFirst[3];
    uint8_t type;
    uint8_t chsLast[3];
    uint8_t first[4];
    uint8_t count[4];
};
static_assert(sizeof(DosEntry) == 16, "DosEntry");
constexpr size_t kDosEntryOffset = 446;

void PutLE32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t GetLE32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

void SetEntry(uint8_t* sector, int k, uint8_t status, uint8_t type, uint32_t first, uint32_t count,
              bool chsEndFF = false) {
    uint8_t* e = sector + kDosEntryOffset + 16 * k;
    e[0] = status;
    e[4] = type;
    if (chsEndFF) e[5] = e[6] = e[7] = 0xFF;
    PutLE32(e + 8, first);
    PutLE32(e + 12, count);
}

void SetSignature(uint8_t* sector) {
    sector[510] = 0x55;
    sector[511] = 0xAA;
}

// The partition-table record of the current work files; mbr_new.fex (the
// card tool's rewrite) wins when `preferNew` and it exists.
std::unique_ptr<PartionInfoAW> MakeRecord(bool preferNew) {
    char table[VORLANE_MAX_PATH], download[VORLANE_MAX_PATH];
    if (CCardFacade::ModuleFilePath("dlinfo.fex", download) != 0) return nullptr;
    bool haveNew = false;
    if (preferNew && CCardFacade::ModuleFilePath("mbr_new.fex", table) == 0) {
        FILE* f = fopen(table, "rb");
        if (f) {
            fclose(f);
            haveNew = true;
        }
    }
    if (!haveNew && CCardFacade::ModuleFilePath("mbr.fex", table) != 0) return nullptr;
    return std::unique_ptr<PartionInfoAW>(
        CreatePartionInfo(PartionVariant::CardFun, table, download));
}

// Number of partitions to walk: partCount, bounded by the record's capacity.
int PartitionCount(PartionInfoAW& record) {
    int n = record.GetPartCount();
    return std::max(0, std::min(n, record.GetCapacity()));
}

} // namespace

void CCardFacade::SetErrorText(char letter, const std::string& text) {
    std::lock_guard<std::mutex> lock(m_errorLock);
    m_errorText[static_cast<unsigned char>(letter)] = text;
}

std::string CCardFacade::TakeErrorText(char letter) {
    std::lock_guard<std::mutex> lock(m_errorLock);
    std::string text;
    text.swap(m_errorText[static_cast<unsigned char>(letter)]);
    return text;
}

void* CCardFacade::OpenCardWithRetries(char letter, int* retries) const {
    void* card = m_cardOps->OpenCard(letter);
    while (!card && *retries < kOpenRetries) {
        Sleep(m_retryDelayMs);
        ++*retries;
        card = m_cardOps->OpenCard(letter);
    }
    return card;
}

// Writes zero sectors first ... first + count - 1, one sector per write, and
// never at or past the card's end.
int CCardFacade::ClearSectors(void* card, uint32_t first, uint32_t count, uint32_t capacity) const {
    static const uint8_t zero[kSector] = {};
    for (uint64_t s = first; s < uint64_t(first) + count && s < capacity; ++s) {
        int r = m_cardOps->WriteCardSectors(card, static_cast<uint32_t>(s), 1, zero, kSector);
        if (r != 0) return r;
    }
    return 0;
}

// Builds the per-card data volume "thisdata.fex<letter>" of `sectors` sectors
// through the volume-image service and copies it over "thisdata.fex".
int CCardFacade::MakeDataVolume(char letter, uint32_t sectors, bool honourUserData) {
    char name[32], work[VORLANE_MAX_PATH], shared[VORLANE_MAX_PATH];
    snprintf(name, sizeof name, "thisdata.fex%c", letter);
    int r = ModuleFilePath(name, work);
    if (r == 0) r = ModuleFilePath("thisdata.fex", shared);
    if (r != 0) return r;
    const VolumeImageTable* volume = nullptr;
    if (m_firstCenter) {
        PluginLoadRecord record;
        if (MakeLoadRecord(&record, VORLANE_IID_VOLUME_IMAGE, "Volmac.so"))
            m_firstCenter->LoadPlugin(&record);
        volume = static_cast<const VolumeImageTable*>(
            m_firstCenter->GetPluginInterface(VORLANE_IID_VOLUME_IMAGE));
    }
    if (honourUserData && m_userData == 1) {
        // The user brings the data volume: a 4096-byte placeholder only.
        static const uint8_t zeros[4096] = {};
        FILE* f = fopen(work, "wb");
        bool ok = f && fwrite(zeros, sizeof zeros, 1, f) == 1;
        if (f && fclose(f) != 0) ok = false;
        return ok ? 0 : kFormatCopyData;
    }
    if (!volume || !volume->MountFile || !volume->MakeFileSystem || !volume->UnmountFile) {
        LogError(kFile, __LINE__, "CCardFacade::FormatCard", "no volume-image service (Volmac.so)");
        return kFormatNoVolumeImage;
    }
    FacadeDebug("[%c] Before Mount %s Ln(%d)", letter, kFile, __LINE__);
    void* handle = volume->MountFile(work);
    if (!handle) {
        LogError(kFile, __LINE__, "CCardFacade::FormatCard", "cannot mount %s", work);
        return kFormatNoVolumeImage;
    }
    r = volume->MakeFileSystem(handle, VOLUME_KIND_FAT32, sectors, "");
    volume->UnmountFile(handle);
    FacadeDebug("[%c] After UnMount %s Ln(%d), ret = %d", letter, kFile, __LINE__, r);
    if (r != 0) return r;
    // Every drive of a burn refreshes the shared file while other drives' card
    // tools may be reading it: a whole new file replaces it in one step.
    char temporary[VORLANE_MAX_PATH + 16];
    snprintf(temporary, sizeof temporary, "%s.tmp%c", shared, letter);
    if (!CopyWholeFile(work, temporary) || rename(temporary, shared) != 0) {
        unlink(temporary);
        LogError(kFile, __LINE__, "CCardFacade::FormatCard", "copying %s to %s failed", work,
                 shared);
        return kFormatCopyData;
    }
    return 0;
}

int CCardFacade::FormatCard(char letter) {
    const char* fn = "CCardFacade::FormatCard";
    if (!m_cardOps) return kNoCardOperations;
    // The card is too small for `needed` sectors: the size text is kept for
    // BurnCard to show.
    auto tooSmall = [&](void* card, uint64_t needed) {
        char text[256];
        snprintf(text, sizeof text, "请更换卡大于 %0.1f G", double(needed / 2) / 1024 / 1024);
        LogError(kFile, __LINE__, fn, "%s", text);
        SetErrorText(letter, text);
        m_cardOps->CloseCard(card);
        return kFormatTooSmall;
    };
    int retries = 0; // serves the open retries and the write retries alike
    for (;;) {
        void* card = OpenCardWithRetries(letter, &retries);
        if (!card) {
            LogError(kFile, __LINE__, fn, "%c: the card cannot be opened", letter);
            return kFormatOpen;
        }
        uint32_t capacity = m_cardOps->GetCardCapacity(card);
        FacadeDebug("%c Cap %u Sec", letter, capacity);
        std::unique_ptr<PartionInfoAW> record = MakeRecord(false);
        if (!record || PartitionCount(*record) < 1) {
            LogError(kFile, __LINE__, fn, "%c: mbr.fex / dlinfo.fex cannot be read", letter);
            m_cardOps->CloseCard(card);
            return kFormatRecord;
        }
        int mode = m_WriteMode;
        int failed = 0; // a read or write that failed: retry the whole operation
        if (mode == 0) {
            uint8_t sector[kSector] = {};
            failed = m_cardOps->ReadCardSectors(card, 0, 1, sector, kSector);
            if (failed == 0) {
                uint32_t first = GetLE32(sector + kDosEntryOffset + 8);
                if (capacity >= 16 && first < capacity - 16)
                    failed = ClearSectors(card, first, 16, capacity);
            }
            if (failed == 0) {
                // The data partition lies behind the device area and the image copy;
                // the image size counts in full (images of 4 GiB and more).
                uint64_t start = uint64_t(record->GetStart(1)) + record->GetLength(1) +
                                 m_bootStart + uint64_t(m_imageSize) / kSector;
                if (start + 2048 > capacity) return tooSmall(card, start + 2048);
                uint32_t s = static_cast<uint32_t>(start);
                uint32_t n = capacity - s - 2048;
                uint8_t mbr[kSector] = {};
                SetEntry(mbr, 0, 0x00, 0x0C, s, n, true);
                SetSignature(mbr);
                int r = MakeDataVolume(letter, n, false);
                if (r != 0) {
                    m_cardOps->CloseCard(card);
                    return r;
                }
                failed = ClearSectors(card, 0, 16, capacity);
                if (failed == 0) failed = m_cardOps->WriteTableSector(card, mbr, 0, 0);
                if (failed == 0) {
                    m_cardOps->CloseCard(card);
                    const auto* format =
                        m_center ? static_cast<const VolumeFormatTable*>(
                                       m_center->GetPluginInterface(VORLANE_IID_VOLUME_FORMAT))
                                 : nullptr;
                    if (!format || !format->FormatVolume) return kFormatNoVolumeFormat;
                    VpDispatchThreadMessages();
                    int result = 0;
                    for (int attempt = 0; attempt < 3; ++attempt) {
                        FacadeDebug("[%c] Before format %s Ln(%d)", letter, kFile, __LINE__);
                        int flags = 0;
                        result = format->FormatVolume(letter, 8192, &flags, s);
                        FacadeDebug("[%c] After format %s Ln(%d)", letter, kFile, __LINE__);
                        if (result == 0) break;
                    }
                    return result;
                }
            }
        } else {
            // The capacity check comes before the first write, so that a card
            // that is too small is left as it was.
            int n = PartitionCount(*record);
            uint64_t last = uint64_t(record->GetStart(n - 1)) + m_bootStart;
            if (capacity < last + 2048) return tooSmall(card, last + 2048);
            if (mode == 1) failed = ClearSectors(card, 1, 14, capacity);
            if (failed == 0) {
                uint32_t data = static_cast<uint32_t>(capacity - last - 2048);
                int r = MakeDataVolume(letter, data, true);
                if (r != 0) {
                    m_cardOps->CloseCard(card);
                    return r;
                }
                // Clear the head of every device partition except the user's one.
                static const std::vector<uint8_t> zeros(kClearBlockSectors * kSector, 0);
                for (int i = 0; i < n; ++i) {
                    char name[kPartNameBuffer + 16] = {};
                    if (record->GetPartName(i, name) == 0 && strncmp(name, "UDISK", 5) == 0)
                        continue;
                    uint64_t total = 2ull * record->GetLength(i);
                    uint64_t blocks =
                        std::min<uint64_t>(total / kClearBlockSectors, kClearMaxBlocks);
                    uint64_t tail = total % kClearBlockSectors;
                    uint64_t at = uint64_t(m_bootStart) + record->GetStart(i);
                    for (uint64_t b = 0; b <= blocks; ++b) {
                        uint64_t count = b < blocks ? kClearBlockSectors : tail;
                        // Nothing is written at or past the card's end.
                        if (at >= capacity) break;
                        count = std::min<uint64_t>(count, capacity - at);
                        if (count == 0) break;
                        int w = m_cardOps->WriteCardSectors(
                            card, static_cast<uint32_t>(at), static_cast<uint32_t>(count),
                            zeros.data(), static_cast<uint32_t>(count * kSector));
                        if (w != 0) {
                            LogError(kFile, __LINE__, fn,
                                     "%c: clearing sectors %llu+%llu failed %d", letter,
                                     static_cast<unsigned long long>(at),
                                     static_cast<unsigned long long>(count), w);
                            m_cardOps->CloseCard(card);
                            return w;
                        }
                        at += count;
                    }
                }
                return m_cardOps->CloseCard(card);
            }
        }
        // A failed read or write: close, count a retry, start again.
        m_cardOps->CloseCard(card);
        record.reset();
        ++retries;
        LogError(kFile, __LINE__, fn, "%c: card access failed %d (retry %d)", letter, failed,
                 retries);
        if (retries >= kOpenRetries) return failed;
        Sleep(m_retryDelayMs);
    }
}

int CCardFacade::FormatToProCard(char letter) {
    int r = FormatCard(letter);
    if (r != 0)
        LogError(kFile, __LINE__, "CCardFacade::FormatToProCard", "FormatDisk %c failed %d", letter,
                 r);
    return r;
}

// Writes the backup GPT that the table-conversion service leaves out: the
// entry array just below the last sector and the backup header in it.
static int WriteGptBackup(const CardOperationsTable* ops, void* card,
                          const std::vector<uint8_t>& primary, uint32_t capacity) {
    std::vector<uint8_t> backup(primary.size() + kSector, 0);
    uint32_t lba = 0, sectors = 0;
    int r = VorlaneGptMakeBackup(primary.data(), primary.size(), capacity, backup.data(),
                                 backup.size(), &lba, &sectors);
    if (r != 0) {
        LogError(kFile, __LINE__, "CCardFacade::SetGpt", "the GPT is not usable for a backup (%d)",
                 r);
        return kSetGptBackup;
    }
    if (uint64_t(lba) + sectors > capacity) return kSetGptBackup;
    return ops->WriteCardSectors(card, lba, sectors, backup.data(), sectors * kSector);
}

int CCardFacade::SetGpt(char letter) {
    const char* fn = "CCardFacade::SetGpt";
    if (!m_cardOps) return kNoCardOperations;
    int retries = 0;
    void* card = OpenCardWithRetries(letter, &retries);
    if (!card) return kSetGptOpen;
    uint32_t capacity = m_cardOps->GetCardCapacity(card);
    std::unique_ptr<PartionInfoAW> record = MakeRecord(true);
    if (!record || !record->GetTableData()) {
        LogError(kFile, __LINE__, fn, "%c: the partition table cannot be read", letter);
        m_cardOps->CloseCard(card);
        return kSetGptRecord;
    }
    if (m_WriteMode == 0 && ClearSectors(card, 0, 16, capacity) != 0) {
        record.reset();
        m_cardOps->CloseCard(card);
        return kSetGptClear;
    }
    const uint8_t* table = record->GetTableData();
    uint32_t k = GetLE32(table + 24);
    if (k > 120 || !m_conversion || !m_conversion->BuildGpt) {
        LogError(kFile, __LINE__, fn, "%c: partition count %u or conversion service unusable",
                 letter, k);
        m_cardOps->CloseCard(card);
        return kSetGptAlloc;
    }
    uint32_t sectors = (k * 128 + kSector - 1) / kSector + 2;
    LogInfo(kFile, __LINE__, fn, "mbr part cnt: %u, mbr cnt %u\n", k, sectors);
    std::vector<uint8_t> buffer(size_t(sectors) * kSector, 0);
    m_conversion->BuildGpt(table, buffer.data(), capacity, m_WriteMode == 1 ? 1 : 0);
    int r = sectors <= capacity ? m_cardOps->WriteCardSectors(card, 0, sectors, buffer.data(),
                                                              static_cast<uint32_t>(buffer.size()))
                                : kSetGptAlloc;
    if (r != 0) {
        LogError(kFile, __LINE__, fn, " Fail to set gpt.");
    } else {
        int b = WriteGptBackup(m_cardOps, card, buffer, capacity);
        if (b != 0) {
            LogError(kFile, __LINE__, fn, "%c: writing the backup GPT failed %d", letter, b);
            r = kSetGptBackup;
        }
    }
    record.reset();
    int closed = m_cardOps->CloseCard(card);
    if (closed != 0) LogError(kFile, __LINE__, fn, " Fail to detatch device.");
    if (r == 0) LogInfo(kFile, __LINE__, fn, "GPT: Convert to GPT format success\n");
    // A table that did not reach the card is a failure even when the close succeeds.
    return r != 0 ? r : closed;
}

int CCardFacade::WriteDosPartitions(char letter) {
    const char* fn = "CCardFacade::WriteDosPartitions";
    if (!m_cardOps) return kNoCardOperations;
    void* card = m_cardOps->OpenCard(letter);
    if (!card) {
        LogError(kFile, __LINE__, fn, "%c: the card cannot be opened", letter);
        return kDosNoCard;
    }
    uint32_t capacity = m_cardOps->GetCardCapacity(card);
    std::unique_ptr<PartionInfoAW> record = MakeRecord(true);
    if (!record) {
        LogError(kFile, __LINE__, fn, "%c: the partition table cannot be read", letter);
        m_cardOps->CloseCard(card);
        return kDosRecord;
    }
    if (m_WriteMode != 1) {
        record.reset();
        return m_cardOps->CloseCard(card);
    }
    int n = PartitionCount(*record);
    if (n < 1) {
        m_cardOps->CloseCard(card);
        return kDosRecord;
    }
    uint64_t last = uint64_t(record->GetStart(n - 1)) + m_bootStart;
    if (capacity < last + 2048) {
        LogError(kFile, __LINE__, fn, "%c: card of %u sectors is smaller than the device area",
                 letter, capacity);
        m_cardOps->CloseCard(card);
        return kDosTooSmall;
    }
    uint32_t free = static_cast<uint32_t>(capacity - last - 2048);
    uint32_t sum = 0;
    for (int i = 0; i < n; ++i)
        if (record->GetStart(i) != 0 && record->GetLength(i) != 0) sum += record->GetLength(i);
    int tables = std::min(n, kDosMaxTables);
    uint32_t remaining = capacity;
    for (int i = 0; i < tables; ++i) {
        uint32_t start = record->GetStart(i), size = record->GetLength(i);
        if (start == 0 || size == 0) continue;
        uint8_t sector[kSector] = {};
        SetSignature(sector);
        if (i == 0) {
            SetEntry(sector, 0, 0x00, 0x0B, static_cast<uint32_t>(last), free);
            SetEntry(sector, 1, 0x80, 0x06, start + kDosPartitionFirst, size);
            remaining = sum + start + kDosPartitionFirst;
            SetEntry(sector, 2, 0x00, 0x85, 1, remaining);
        } else {
            SetEntry(sector, 0, 0x00, 0x83, start + kDosPartitionFirst - i, size);
            remaining -= size;
            SetEntry(sector, 1, 0x00, 0x85, static_cast<uint32_t>(i), remaining);
        }
        int r = m_cardOps->WriteTableSector(card, sector, 0, static_cast<uint32_t>(i));
        if (r != 0) {
            LogError(kFile, __LINE__, fn, "%c: writing table sector %d failed %d", letter, i, r);
            m_cardOps->CloseCard(card);
            return r;
        }
    }
    return m_cardOps->CloseCard(card);
}

int CCardFacade::ClearDosPartitionTableData(char letter) {
    const char* fn = "CCardFacade::ClearDosPartitionTableData";
    if (!m_cardOps) return kNoCardOperations;
    int retries = 0;
    void* card = OpenCardWithRetries(letter, &retries);
    if (!card) return kClearOpen;
    uint32_t capacity = m_cardOps->GetCardCapacity(card);
    LogInfo(kFile, __LINE__, fn, "func:%s, %c Cap %u Sec", fn, letter, capacity);
    uint8_t sector[kSector];
    if (m_cardOps->ReadCardSectors(card, 0, 1, sector, kSector) != 0) {
        m_cardOps->CloseCard(card);
        return kClearRead;
    }
    // The 16 sectors that end with the card's last sector.
    uint32_t first = capacity >= 16 ? capacity - 16 : 0;
    if (ClearSectors(card, first, capacity - first, capacity) != 0) {
        m_cardOps->CloseCard(card);
        return kClearWrite;
    }
    // A close that cannot flush means the cleared sectors may not be on the card.
    return m_cardOps->CloseCard(card) == 0 ? 0 : kClearWrite;
}

} // namespace vorlane::cardfun
