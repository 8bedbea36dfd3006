// Boot-loader patching and the magic block.
//
// The boot loaders carry a card_work_mode word that tells the device how to
// run from the card; it is set here for the work-mode selection before a
// boot item goes to the card, and the additive header checksums that guard
// the headers are recomputed. The magic block at sector 14 is the last thing
// written: it marks the card and records the item count and the mode.
//
// Codes of this unit:
//   -1        boot package without a "u-boot" entry, or u-boot magic wrong
//   744       WriteMagic: no parameter block
//   747       WriteMagic: no parsed script in the block
//   751       WriteMagic: no image-decoder table
//   755       WriteMagic: magic buffer not allocated
//   774       WriteMagic: entry table not allocated
//   785       WriteMagic: image cannot be opened
//   813       WriteMagic: an item starts inside the one before it
//   906       WriteMagicBlock: no card-device table
//   911       WriteMagicBlock: card cannot be opened
//   4501      boot item shorter than the header fields it is patched at
//   4502      header length field larger than the block it describes
//   4503      boot package entry table or u-boot entry lies past the package's end
//   4504      boot0 item missing or empty (TOC0 boot0 copy)
//   4505      boot0 item shorter than its header, or read short
//   4506      boot item or boot0 larger than kMaxBootItemBytes
//   4507      boot buffer not allocated
//   4520      WriteMagic: more than 62 items do not fit into the 1024-byte block
//   other     the card's WriteSectors error (boot0 copy, magic block)
#include "SarnetInternal.h"

#include "Interfaces.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vorlane::sarnet {

namespace {

constexpr int kBootTooShort = 4501;
constexpr int kBootLengthField = 4502;
constexpr int kBootPackageRange = 4503;
constexpr int kBoot0Missing = 4504;
constexpr int kBoot0Short = 4505;
constexpr int kBootTooLarge = 4506;
constexpr int kBootNoMemory = 4507;
constexpr int kMagicTooManyItems = 4520;

constexpr uint32_t kSectorBytes = 512;
constexpr uint32_t kTransferBytes = 65536;

// u-boot header: checksum at 12, length at 20, magic "uboot\0" at 4,
// card_work_mode at 224.
constexpr uint32_t kUbootSum = 12, kUbootLength = 20, kUbootMagic = 4, kUbootWorkMode = 224;
// Boot package header: checksum at 20, entry count at 32, length at 36,
// entries of 368 bytes from 64 (name char[64] at 0, data offset at 64).
constexpr uint32_t kPkgSum = 20, kPkgCount = 32, kPkgLength = 36, kPkgEntries = 64;
constexpr uint32_t kPkgEntrySize = 368, kPkgEntryOffset = 64;
// TOC0 header: checksum at 12, item count at 24, length at 28,
// card_work_mode at 1140, or at 1172 with three items.
constexpr uint32_t kToc0Sum = 12, kToc0Count = 24, kToc0Length = 28;
constexpr uint32_t kToc0WorkMode = 1140, kToc0WorkMode3 = 1172;
// boot0 header: checksum at 12, length at 16, flags word at 204.
constexpr uint32_t kBoot0Sum = 12, kBoot0Length = 16, kBoot0Flags = 204;
constexpr uint32_t kBoot0CopySector = 256;

constexpr uint32_t kWorkModeProduct = 0x11, kWorkModeKey = 0x30;

const char kSubUboot[] = "UBOOT_0000000000";
const char kSubBootPkg[] = "BOOTPKG-00000000";
const char kSubToc0[] = "TOC0_00000000000";
const char kSubToc0Card[] = "TOC0_SDCARD00000";
const char kBoot0Main[] = "12345678";
const char kBoot0Sub[] = "1234567890BOOT_0";

// The magic block: a 32-byte header, 16-byte records per item, 1024 bytes.
struct MagicHeader {
    char magic[16];      // "VORLANE_CARD_IMG", no terminator
    uint16_t version;    // 0x0100
    uint16_t headerSize; // 32
    uint16_t itemCount;
    uint16_t mode; // ScriptInfo mode code
    uint8_t zero[8];
};
static_assert(sizeof(MagicHeader) == 32, "MagicHeader");
static_assert(offsetof(MagicHeader, version) == 16, "MagicHeader.version");
static_assert(offsetof(MagicHeader, itemCount) == 20, "MagicHeader.itemCount");
static_assert(offsetof(MagicHeader, mode) == 22, "MagicHeader.mode");
constexpr uint32_t kMagicBlockBytes = 1024;
constexpr uint32_t kMagicRecordBytes = 16;
constexpr uint32_t kMagicMaxItems = (kMagicBlockBytes - sizeof(MagicHeader)) / kMagicRecordBytes;
static_assert(kMagicMaxItems == 62, "62 records fit behind the header");
constexpr uint32_t kMagicSector = 14;

uint32_t Get32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void Put32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}
void Put16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

bool SubIs(const char* sub, const char* name) {
    return std::strncmp(sub, name, 20) == 0;
}

// Sum of the first `words` little-endian words with the checksum field
// taken as the stamp; the caller has checked that they lie in the block.
uint32_t StampedSum(uint8_t* block, uint32_t words, uint32_t sumOffset) {
    Put32(block + sumOffset, kHeaderSumStamp);
    uint32_t sum = 0;
    for (uint32_t i = 0; i < words; ++i)
        sum += Get32(block + 4u * i);
    return sum;
}

int PatchUboot(uint8_t* buffer, uint32_t length, int burnMode, int selection) {
    if (length < kUbootWorkMode + 4) {
        DiagError("sarnet_inter", __LINE__, __func__, "u-boot of %u bytes is too short\n", length);
        return kBootTooShort;
    }
    if (burnMode == 1) {
        if (selection == 0) Put32(buffer + kUbootWorkMode, kWorkModeProduct);
        if (selection == 2) Put32(buffer + kUbootWorkMode, kWorkModeKey);
        return HeaderSum(buffer, length, kUbootLength, kUbootSum);
    }
    if (selection == 0) Put32(buffer + kUbootWorkMode, kWorkModeProduct);
    // The checksum of this variant runs over the whole item.
    std::printf("input size = %d\n", int(length));
    Put32(buffer + kUbootSum, StampedSum(buffer, length / 4, kUbootSum));
    return 0;
}

int PatchBootPackage(uint8_t* buffer, uint32_t length, int selection) {
    if (length < kPkgEntries) {
        DiagError("sarnet_inter", __LINE__, __func__, "boot package of %u bytes is too short\n",
                  length);
        return kBootTooShort;
    }
    const uint32_t count = Get32(buffer + kPkgCount);
    const uint8_t* entry = nullptr;
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t at = kPkgEntries + uint64_t(kPkgEntrySize) * i;
        if (at + kPkgEntrySize > length) {
            DiagError("sarnet_inter", __LINE__, __func__,
                      "boot package entry %u lies past the package end (%u bytes)\n", i, length);
            return kBootPackageRange;
        }
        const uint8_t* e = buffer + at;
        Diag("Entry_name        = %.64s\n", reinterpret_cast<const char*>(e));
        if (std::memcmp(e, "u-boot", 7) == 0) {
            entry = e;
            break;
        }
    }
    if (!entry) {
        Diag("error:can't find uboot\n");
        return -1;
    }
    const uint32_t offset = Get32(entry + kPkgEntryOffset);
    if (offset > length || length - offset < kUbootWorkMode + 4) {
        DiagError("sarnet_inter", __LINE__, __func__,
                  "u-boot at offset %u does not fit into the boot package (%u bytes)\n", offset,
                  length);
        return kBootPackageRange;
    }
    uint8_t* uboot = buffer + offset;
    if (std::strncmp(reinterpret_cast<const char*>(uboot + kUbootMagic), "uboot", 8) != 0) {
        Diag("uboot magic is error\n");
        return -1;
    }
    if (selection == 0) Put32(uboot + kUbootWorkMode, kWorkModeProduct);
    if (selection == 2) Put32(uboot + kUbootWorkMode, kWorkModeKey);
    // u-boot first: the package sum covers the patched u-boot.
    int r = HeaderSum(uboot, length - offset, kUbootLength, kUbootSum);
    if (r != 0) return r;
    return HeaderSum(buffer, length, kPkgLength, kPkgSum);
}

// The plain boot0 beside a TOC0 item on product cards, at sector 256 with
// bit 31 of its flags word set.
int WriteBoot0Copy(void* device, const CardDeviceTable* card, void* image, void** itemHandle,
                   const Decoder64Table* decoder) {
    decoder->CloseItem(image, *itemHandle);
    *itemHandle = decoder->OpenItem(image, kBoot0Main, kBoot0Sub);
    if (!*itemHandle) {
        DiagError("sarnet_inter", __LINE__, __func__, "boot0 item %s %s not found\n", kBoot0Main,
                  kBoot0Sub);
        return kBoot0Missing;
    }
    const uint32_t size = uint32_t(decoder->GetItemSize(image, *itemHandle));
    if (size == 0) {
        DiagError("sarnet_inter", __LINE__, __func__, "boot0 item is empty\n");
        return kBoot0Missing;
    }
    if (size > kMaxBootItemBytes) {
        DiagError("sarnet_inter", __LINE__, __func__, "boot0 of %u bytes is too large\n", size);
        return kBootTooLarge;
    }
    if (size < kBoot0Flags + 4) {
        DiagError("sarnet_inter", __LINE__, __func__, "boot0 of %u bytes is too short\n", size);
        return kBoot0Short;
    }
    uint8_t* boot0 = static_cast<uint8_t*>(std::malloc(size));
    if (!boot0) return kBootNoMemory;
    int r = 0;
    if (uint32_t(decoder->ReadItem(image, *itemHandle, boot0, size, 0)) != size) {
        DiagError("sarnet_inter", __LINE__, __func__, "boot0 read short\n");
        r = kBoot0Short;
    }
    if (r == 0) {
        Put32(boot0 + kBoot0Flags, Get32(boot0 + kBoot0Flags) | 0x80000000u);
        r = HeaderSum(boot0, size, kBoot0Length, kBoot0Sum);
    }
    if (r == 0) {
        Diag("Write boot0 for secure img start: Pos = %d,Boot0Len = %d\n", int(kBoot0CopySector),
             int(size));
        r = WriteWholeBuffer(card, device, kBoot0CopySector, boot0, size);
        if (r != 0)
            Diag("Write boot0 for secure img error\n");
        else
            Diag("Write boot0 for secure img end\n");
    }
    std::free(boot0);
    return r;
}

int PatchToc0(uint8_t* buffer, uint32_t length, const char* sub, int burnMode, int selection,
              void* device, const CardDeviceTable* card, void* image, void** itemHandle,
              const Decoder64Table* decoder) {
    if (selection == 0) {
        if (length < kToc0Length + 4) {
            DiagError("sarnet_inter", __LINE__, __func__, "TOC0 item of %u bytes is too short\n",
                      length);
            return kBootTooShort;
        }
        const uint32_t items = Get32(buffer + kToc0Count);
        Diag("toc0 item num=0x%x\n", items);
        const uint32_t at = items == 3 ? kToc0WorkMode3 : kToc0WorkMode;
        if (length < at + 4) {
            DiagError("sarnet_inter", __LINE__, __func__,
                      "TOC0 item of %u bytes has no card_work_mode at %u\n", length, at);
            return kBootTooShort;
        }
        Put32(buffer + at, kWorkModeProduct);
        Diag("card_work_mode=0x%x\n", kWorkModeProduct);
        if (burnMode == 2)
            Diag("BurnDataWithCheck tocmode card_work_mode=0x%x, sub = %s\n", Get32(buffer + at),
                 sub);
    } else {
        Diag("use default card_work_mode\n");
    }
    int r = HeaderSum(buffer, length, kToc0Length, kToc0Sum);
    if (r != 0) return r;
    if (burnMode == 2 && selection == 0)
        return WriteBoot0Copy(device, card, image, itemHandle, decoder);
    return 0;
}

} // namespace

bool IsBootItem(const char* sub) {
    return SubIs(sub, kSubUboot) || SubIs(sub, kSubToc0) || SubIs(sub, kSubBootPkg) ||
           SubIs(sub, kSubToc0Card);
}

bool IsBootInputError(int code) {
    return code >= kBootTooShort && code <= kBootNoMemory;
}

int HeaderSum(uint8_t* block, uint32_t available, uint32_t lengthOffset, uint32_t sumOffset) {
    if (uint64_t(lengthOffset) + 4 > available || uint64_t(sumOffset) + 4 > available) {
        DiagError("sarnet_inter", __LINE__, __func__,
                  "header of %u bytes has no length field at %u or checksum at %u\n", available,
                  lengthOffset, sumOffset);
        return kBootTooShort;
    }
    const uint32_t length = Get32(block + lengthOffset);
    if (length % 4 != 0) return 0; // such a block is left as it is
    if (length > available) {
        DiagError("sarnet_inter", __LINE__, __func__,
                  "header length %u is larger than its block (%u bytes)\n", length, available);
        return kBootLengthField;
    }
    Put32(block + sumOffset, StampedSum(block, length / 4, sumOffset));
    return 0;
}

int PatchBootItem(uint8_t* buffer, uint32_t length, const char* sub, int burnMode, void* device,
                  const CardDeviceTable* card, void* image, void** itemHandle,
                  const Decoder64Table* decoder) {
    const int selection = WorkModeSelection();
    if (SubIs(sub, kSubUboot)) return PatchUboot(buffer, length, burnMode, selection);
    if (SubIs(sub, kSubBootPkg)) return PatchBootPackage(buffer, length, selection);
    if (SubIs(sub, kSubToc0) || SubIs(sub, kSubToc0Card))
        return PatchToc0(buffer, length, sub, burnMode, selection, device, card, image, itemHandle,
                         decoder);
    return 0;
}

int WriteWholeBuffer(const CardDeviceTable* card, void* device, uint32_t firstSector,
                     const uint8_t* buffer, uint32_t length) {
    uint32_t sector = firstSector;
    uint32_t done = 0;
    while (length - done >= kTransferBytes) {
        int r = card->WriteSectors(device, sector, kTransferBytes / kSectorBytes, buffer + done,
                                   kTransferBytes);
        if (r != 0) {
            Diag(Message(MsgWriteDiskSectorFailed), r);
            return r;
        }
        sector += kTransferBytes / kSectorBytes;
        done += kTransferBytes;
    }
    const uint32_t rest = length - done;
    if (rest == 0) return 0;
    // The tail goes in one call: whole sectors counted, every byte passed.
    int r = card->WriteSectors(device, sector, rest / kSectorBytes, buffer + done, rest);
    if (r != 0) {
        Diag(Message(MsgWriteDiskSectorFailed), r);
        return r;
    }
    return 0;
}

int WriteMagicBlock(ToolParam* param, const void* buffer, uint32_t length, uint32_t firstSector) {
    const CardDeviceTable* card =
        static_cast<const CardDeviceTable*>(FindInterface(param, VORLANE_IID_CARD_DEVICE));
    if (!card) return 906;
    void* device = card->OpenDevice(param->drive, CARD_DEVICE_ACCESS, CARD_DEVICE_MODE);
    if (!device) {
        Diag("%s", Message(MsgDeviceOpenFailed));
        return 911;
    }
    Diag("magic block start addr: %d\n", int(firstSector));
    int r = card->WriteSectors(device, firstSector, length / kSectorBytes, buffer, length);
    if (r != 0) Diag(Message(MsgWriteDiskSectorFailed), r);
    card->CloseDevice(device);
    return r;
}

int WriteMagic(ToolParam* param) {
    if (!param) return 744;
    if (param->scriptInfoSize != sizeof(ScriptInfo) || !param->scriptInfo) return 747;
    const ScriptInfo* info = static_cast<const ScriptInfo*>(param->scriptInfo);
    const Decoder64Table* decoder =
        static_cast<const Decoder64Table*>(FindInterface(param, VORLANE_IID_DECODER64));
    if (!decoder) return 751;
    uint8_t* magic = static_cast<uint8_t*>(std::calloc(1, kMagicBlockBytes));
    if (!magic) return 755;
    const uint32_t count = info->items ? info->steps : 0;
    std::memcpy(magic, "VORLANE_CARD_IMG", 16);
    Put16(magic + offsetof(MagicHeader, version), 0x0100);
    Put16(magic + offsetof(MagicHeader, headerSize), sizeof(MagicHeader));
    Put16(magic + offsetof(MagicHeader, itemCount), uint16_t(count));
    Put16(magic + offsetof(MagicHeader, mode), info->mode);

    int code = 0;
    uint8_t* entries = nullptr;
    void* image = nullptr;
    const ScriptItem* items = info->items;
    if (count > kMagicMaxItems) {
        // More records would run past the block into the sectors behind it.
        DiagError("sarnet_inter", __LINE__, __func__,
                  "%u items do not fit into the magic block (at most %u)\n", count, kMagicMaxItems);
        code = kMagicTooManyItems;
    }
    if (code == 0) {
        entries = static_cast<uint8_t*>(std::calloc(count ? count : 1, kMagicRecordBytes));
        if (!entries) code = 774;
    }
    if (code == 0) {
        image = decoder->OpenImage(param->imagePath);
        if (!image) code = 785;
    }
    if (code == 0) {
        int64_t end = 0;
        for (uint32_t i = 0; i < count; ++i) {
            if (i >= 2 && SubIs(items[i - 1].sub, "DISKFS_FEX000000")) continue;
            if (int64_t(items[i].start) < end) {
                SendText(param, "Check error: [%s] startpos = %d, PreStep End = %d\n ",
                         items[i].commen, items[i].start, int(end));
                SendText(param, "Please Check the file cardscript.fex in the image.");
                SendText(param, "Please select the image file retry again.");
                code = 813;
                break;
            }
            end = int64_t(items[i].start) + items[i].length / kSectorBytes;
        }
    }
    if (code == 0) {
        const int step = count ? int(100 / (2 * count)) : 0;
        for (uint32_t i = 0; i < count; ++i) {
            param->progress += step;
            SendProgress(param);
        }
        decoder->CloseImage(image);
        image = nullptr;
        std::memcpy(magic + sizeof(MagicHeader), entries, size_t(count) * kMagicRecordBytes);
        code = WriteMagicBlock(param, magic, kMagicBlockBytes, kMagicSector);
    }
    if (image) decoder->CloseImage(image);
    std::free(entries);
    std::free(magic);
    if (code != 0) {
        SetMessage(param, Message(MsgMagicFailed), code);
        SendMagicFailed(param);
        return code;
    }
    SendText(param, "%s", Message(MsgMagicComplete));
    return 0;
}

} // namespace vorlane::sarnet
