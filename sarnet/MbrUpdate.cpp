// The partition-table file update (mbr.fex -> mbr_new.fex).
//
// The first 16 KiB copy of mbr.fex is edited (empty first partition: the
// first partition gets the chosen size and the later ones move behind it;
// product card: the partition behind the first one is named "thisfile"), its
// CRC-32 over bytes 4 ... 16383 is recomputed through the checksum service,
// and mbr_new.fex receives as many identical copies as mbr.fex holds.
//
// mbr_new.fex is shared by every card of a run, and other cards may be
// reading it while it is rewritten: the copies go to a private temporary
// file that then replaces mbr_new.fex in one rename, so that a reader sees
// either the old or the new complete file, never a cut one.
//
// Codes:
//   4182  no parameter block
//   4196  work directory not determined
//   4212  mbr.fex cannot be opened, or is shorter than one 16 KiB copy
//   4225  the new file cannot be created
//   4258  no checksum table
//   4265  CrcBegin failed
//   4269  CrcUpdate failed
//   4540  the partition to be named "thisfile" lies outside the 120-entry table
//   4541  not every copy could be written
//   4542  the new file could not replace mbr_new.fex
//   other CrcFinish's result (the file is written then)
#include "SarnetInternal.h"

#include "Interfaces.h"
#include "VorlanePlatform.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vorlane::sarnet {

namespace {

constexpr uint32_t kCopyBytes = 16384;
constexpr uint32_t kCountOffset = 24;
constexpr uint32_t kEntriesOffset = 32;
constexpr uint32_t kEntryBytes = 128;
constexpr uint32_t kAddrLo = 4, kLenLo = 12, kName = 32, kNameBytes = 16;
constexpr uint32_t kCapacity = 120; // entries of the large layout
static_assert(kEntriesOffset + kCapacity * kEntryBytes <= kCopyBytes, "entries fit the copy");

uint32_t Get32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void Put32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

std::atomic<unsigned> g_tempCounter{0};

// Removes the temporary file and any mbr_new.fex, so that no stale or cut
// table is burned after a failed update.
void Discard(FILE* file, const char* tempPath, const char* newPath) {
    if (file) std::fclose(file);
    std::remove(tempPath);
    std::remove(newPath);
}

} // namespace

int UpdateMbrFexFile(ToolParam* param) {
    if (!param) return 4182;
    char mbrPath[VORLANE_MAX_PATH], newPath[VORLANE_MAX_PATH], tempPath[VORLANE_MAX_PATH + 32];
    if (VpWorkPath(mbrPath, sizeof mbrPath, "mbr.fex") != 0 ||
        VpWorkPath(newPath, sizeof newPath, "mbr_new.fex") != 0) {
        DiagError("sarnet_inter", __LINE__, __func__, "UpdateMbrFexFile failed %d\n", errno);
        return 4196;
    }

    static thread_local uint8_t table[kCopyBytes];
    std::memset(table, 0, sizeof table);
    FILE* in = std::fopen(mbrPath, "rb");
    if (!in) {
        DiagError("sarnet_inter", __LINE__, __func__, "cannot open %s: %s\n", mbrPath,
                  std::strerror(errno));
        return 4212;
    }
    const size_t got = std::fread(table, 1, sizeof table, in);
    long long length = 0;
    struct stat st;
    if (fstat(fileno(in), &st) == 0) length = st.st_size;
    std::fclose(in);
    Diag("current Mbr.fex length = %d\n", int(length));
    const long long copies = length / kCopyBytes;
    if (length < kCopyBytes || got != kCopyBytes) {
        DiagError("sarnet_inter", __LINE__, __func__,
                  "Error: mbr.fex Length(%d) less than %d, will use default mbr table!\n",
                  int(length), int(kCopyBytes));
        return 4212;
    }

    std::snprintf(tempPath, sizeof tempPath, "%s.%d.%u.tmp", newPath, int(getpid()),
                  g_tempCounter.fetch_add(1));
    FILE* out = std::fopen(tempPath, "wb");
    if (!out) {
        DiagError("sarnet_inter", __LINE__, __func__, "Create new %s failed!\n", "mbr_new.fex");
        Discard(nullptr, tempPath, newPath);
        return 4225;
    }

    // A count above the table's capacity is taken as the capacity.
    uint32_t count = Get32(table + kCountOffset);
    if (count > kCapacity) count = kCapacity;
    if (param->Extension > 0 && param->res == TOOLPARAM_RES_FIRST_PART_EMPTY) {
        for (uint32_t i = 0; i < count; ++i) {
            uint8_t* entry = table + kEntriesOffset + kEntryBytes * i;
            if (i == 0) {
                Put32(entry + kLenLo, param->Extension * 2048u);
            } else {
                // Each partition starts where the (already moved) one before it ends.
                const uint8_t* before = entry - kEntryBytes;
                Put32(entry + kAddrLo, Get32(before + kAddrLo) + Get32(before + kLenLo));
            }
            Diag("mbrInfo.array[%d].addrlo = 0x%x, mbrInfo.array[%d].lenlo = 0x%x", int(i),
                 Get32(entry + kAddrLo), int(i), Get32(entry + kLenLo));
        }
    } else {
        const uint64_t index = uint64_t(param->res) + 1;
        if (index >= kCapacity) {
            DiagError("sarnet_inter", __LINE__, __func__,
                      "partition %llu for the image file is outside the table\n",
                      static_cast<unsigned long long>(index));
            Discard(out, tempPath, newPath);
            return 4540;
        }
        uint8_t* name = table + kEntriesOffset + kEntryBytes * uint32_t(index) + kName;
        std::memset(name, 0, kNameBytes);
        std::memcpy(name, "thisfile", 8);
    }
    Diag("Need back mbr count = %d\n", int(copies));

    const ChecksumTable* crc =
        static_cast<const ChecksumTable*>(FindInterface(param, VORLANE_IID_CHECKSUM));
    if (!crc) {
        Discard(out, tempPath, newPath);
        return 4258;
    }
    void* context = crc->CrcBegin();
    if (!context) {
        Discard(out, tempPath, newPath);
        return 4265;
    }
    if (crc->CrcUpdate(context, table + 4, kCopyBytes - 4) != 0) {
        crc->CrcRelease(context);
        Discard(out, tempPath, newPath);
        return 4269;
    }
    uint32_t value = 0;
    const int result = crc->CrcFinish(context, &value);
    crc->CrcRelease(context);
    Put32(table, value);

    long long written = 0;
    for (long long k = 0; k < copies; ++k)
        if (std::fwrite(table, 1, kCopyBytes, out) == kCopyBytes) ++written;
    Diag("total cnt = %d, mbr back cnt = %d\n", int(written), int(copies));
    const bool closed = std::fclose(out) == 0;
    if (written != copies || !closed) {
        // A table file with fewer copies would put fewer tables on the card.
        DiagError("sarnet_inter", __LINE__, __func__, "writing %s failed\n", tempPath);
        Discard(nullptr, tempPath, newPath);
        return 4541;
    }
    if (std::rename(tempPath, newPath) != 0) {
        DiagError("sarnet_inter", __LINE__, __func__, "Create new %s failed! (%s)\n", "mbr_new.fex",
                  std::strerror(errno));
        Discard(nullptr, tempPath, newPath);
        return 4542;
    }
    Diag("create and write %s success!\n", "mbr_new.fex");
    return result;
}

} // namespace vorlane::sarnet
