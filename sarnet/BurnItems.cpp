// The items pass: every item of the script written at its sector.
//
// Image items are read through the image decoder, the image file and the
// per-card data file from disk; every writer opens and closes the card
// itself. With burn mode 2 image items are offered to the sparse expander
// first and data written the plain way is run through the checksum service.
//
// Codes of this unit (the short-read codes of BurnData and BurnImageFile are
// logged; those writers then return their fixed codes):
//   594, 597, 601, 605  BurnItems: no block, no parsed script, no decoder, image not opened
//   663                 an item starts inside the one before it
//   1290                BurnItem: no item, block or (for image items) decoder
//   1301, 1306, 1311    file item with data type 1, 2, other
//   1320, 1328, 1333    image item with data type 0, 2, other
//   1368                burn mode neither 1 nor 2
//   1413, 1417, 1425    BurnImageFile (mode 2): no checksum table, no card table, card not opened
//   1432, 1440          BurnImageFile (mode 2): image file empty, not opened
//   1476, 1505, 1536    BurnImageFile (mode 2): short read (64 KiB, 512 bytes, tail), logged
//   1729                BurnImageFile (mode 2): failure while the file is open
//   1773, 1778          BurnImageFile (mode 1): no card table, card not opened
//   1785, 1792          BurnImageFile (mode 1): image file empty, not opened
//   1806, 1825, 1845    BurnImageFile (mode 1): short read, logged
//   1888                BurnImageFile (mode 1): failure while the file is open
//   1930, 1935, 1941    BurnData: no card table, card not opened, item not found
//   2125, 2146, 2168    BurnData: short read, logged
//   2211                BurnData: failure after the item was opened
//   2254, 2258, 2266    BurnDataWithCheck: no checksum table, no card table, card not opened
//   2272                BurnDataWithCheck: item not found
//   2596                BurnDataWithCheck: work directory not determined (mbr_new.fex)
//   2886                BurnDataWithCheck: failure after the item was opened
//   3194, 3199          BurnDataFile: no card table, card not opened
//   3225, 3233          BurnDataFile: data file empty, not opened
//   3255, 3275, 3296    BurnDataFile: short read (64 KiB, 512 bytes, tail)
//   4506, 4507          boot item larger than kMaxBootItemBytes, buffer not allocated
//   45xx                further bad-input codes of the boot headers (BootItem.cpp)
//   4510                partition-table item: mbr_new.fex cannot be opened
//   4511                partition-table item: mbr_new.fex shorter than one 16 KiB copy
//   4521                BurnItems: more than 62 items (they would not fit the magic block)
//   4530                BurnImageFile (mode 1): image file of 4 GiB or more
//   -1                  boot package errors (BootItem.cpp)
//   other               the card's WriteSectors error (BurnDataFile)
#include "SarnetInternal.h"

#include "Interfaces.h"
#include "VorlanePlatform.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

namespace vorlane::sarnet {

namespace {

constexpr uint32_t kSectorBytes = 512;
constexpr uint32_t kTransferBytes = 65536;
constexpr uint32_t kTableCopyBytes = 16384;
constexpr uint32_t kMagicMaxItems = 62;

constexpr int kBootTooLarge = 4506;
constexpr int kBootNoMemory = 4507;
constexpr int kMbrNewMissing = 4510;
constexpr int kMbrNewShort = 4511;
constexpr int kTooManyItems = 4521;
constexpr int kImageFileTooLarge = 4530;

const char kSubTable[] = "1234567890___mbr";
const char kSubToc0[] = "TOC0_00000000000";
const char kSubToc0Card[] = "TOC0_SDCARD00000";

bool SubIs(const char* sub, const char* name) {
    return std::strncmp(sub, name, 20) == 0;
}
bool IsImageFile(const ScriptItem* item) {
    return std::strncmp(item->main, "thisfile", 8) == 0;
}
bool IsDataFile(const ScriptItem* item) {
    return std::strncmp(item->main, "thisdata", 8) == 0;
}

const ChecksumTable* Checksum(const ToolParam* p) {
    return static_cast<const ChecksumTable*>(FindInterface(p, VORLANE_IID_CHECKSUM));
}
const CardDeviceTable* CardDevice(const ToolParam* p) {
    return static_cast<const CardDeviceTable*>(FindInterface(p, VORLANE_IID_CARD_DEVICE));
}
void* OpenCard(const CardDeviceTable* card, const ToolParam* p) {
    void* device = card->OpenDevice(p->drive, CARD_DEVICE_ACCESS, CARD_DEVICE_MODE);
    if (!device) Diag("%s", Message(MsgDeviceOpenFailed));
    return device;
}

void DiagDiskInfo(const ToolParam* p, const ScriptItem* item, uint32_t length) {
    Diag(Message(MsgDiskInfo), p->drive, item->main, item->sub, length, uint32_t(item->start));
}

// Reads up to n bytes from the source; returns the count read.
using ReadFn = std::function<uint32_t(void* buffer, uint32_t n)>;

struct ShortReadCodes {
    int block, sector, tail;
};

struct CopyResult {
    int code = 0;       // 0, a short-read code, the CRC failure or the write error
    bool write = false; // code is the card's WriteSectors error
};

constexpr int kCopyCrcFailed = 4512;

// Streamed copy of `length` bytes to consecutive sectors from `firstSector`:
// 64 KiB transfers while they fit, then single sectors, then the last bytes
// in a zero-padded sector. The checksum sees exactly the bytes read.
CopyResult StreamCopy(const CardDeviceTable* card, void* device, uint32_t firstSector,
                      uint64_t length, const ReadFn& read, const ChecksumTable* crc,
                      void* crcContext, const ShortReadCodes& codes, uint8_t* buffer) {
    CopyResult result;
    uint32_t sector = firstSector;
    uint64_t remaining = length;
    auto step = [&](uint32_t bytes, uint32_t readBytes, int shortCode) {
        if (readBytes < bytes) std::memset(buffer, 0, bytes);
        if (read(buffer, readBytes) != readBytes) {
            result.code = shortCode;
            return false;
        }
        if (crc && crc->CrcUpdate(crcContext, buffer, readBytes) != 0) {
            result.code = kCopyCrcFailed;
            return false;
        }
        int r = card->WriteSectors(device, sector, bytes / kSectorBytes, buffer, bytes);
        if (r != 0) {
            Diag(Message(MsgWriteDiskSectorFailed), r);
            result.code = r;
            result.write = true;
            return false;
        }
        sector += bytes / kSectorBytes;
        remaining -= readBytes;
        return true;
    };
    while (remaining >= kTransferBytes)
        if (!step(kTransferBytes, kTransferBytes, codes.block)) return result;
    while (remaining >= kSectorBytes)
        if (!step(kSectorBytes, kSectorBytes, codes.sector)) return result;
    if (remaining > 0) step(kSectorBytes, uint32_t(remaining), codes.tail);
    return result;
}

// Reads a whole boot item into a new buffer; null and *code on failure.
uint8_t* ReadBootItem(const Decoder64Table* decoder, void* image, void* itemHandle, uint32_t length,
                      int* code) {
    if (length > kMaxBootItemBytes) {
        DiagError("sarnet_inter", __LINE__, __func__, "boot item of %u bytes is too large\n",
                  length);
        *code = kBootTooLarge;
        return nullptr;
    }
    uint8_t* buffer = static_cast<uint8_t*>(std::malloc(length));
    if (!buffer) {
        *code = kBootNoMemory;
        return nullptr;
    }
    if (uint32_t(decoder->ReadItem(image, itemHandle, buffer, length, 0)) != length) {
        DiagError("sarnet_inter", __LINE__, __func__, "boot item read short\n");
        std::free(buffer);
        *code = 0; // the writer's fixed code
        return nullptr;
    }
    return buffer;
}

std::string WorkPathDirectory(const ToolParam* p) {
    std::string work(p->workPath, strnlen(p->workPath, sizeof p->workPath));
    const size_t slash = work.find_last_of("/\\");
    return slash == std::string::npos ? std::string() : work.substr(0, slash + 1);
}

// Size of a regular file; false when it cannot be determined.
bool FileSize(const char* path, uint64_t* size) {
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    *size = uint64_t(st.st_size);
    return true;
}

ReadFn FileReader(FILE* file) {
    return [file](void* buffer, uint32_t n) { return uint32_t(std::fread(buffer, 1, n, file)); };
}

ReadFn ItemReader(const Decoder64Table* decoder, void* image, void* itemHandle) {
    return [=](void* buffer, uint32_t n) {
        return uint32_t(decoder->ReadItem(image, itemHandle, buffer, n, 0));
    };
}

// Boot-item failures: the boot-package errors stay -1, bad boot headers keep
// their own codes, everything else becomes the writer's fixed code.
int BootFailure(int r, int fixed) {
    if (r == -1 || IsBootInputError(r)) return r;
    return fixed;
}

int BurnData(ScriptItem* item, ToolParam* p, const Decoder64Table* decoder, void* image) {
    const CardDeviceTable* card = CardDevice(p);
    if (!card) return 1930;
    void* device = OpenCard(card, p);
    if (!device) {
        ShowItemMessage(item, MsgBurnFail, p);
        return 1935;
    }
    void* handle = decoder->OpenItem(image, item->main, item->sub);
    if (!handle) {
        card->CloseDevice(device);
        ShowItemMessage(item, MsgBurnFail, p);
        return 1941;
    }
    int code = 2211;
    const uint32_t length = uint32_t(decoder->GetItemSize(image, handle));
    if (length != 0) {
        DiagDiskInfo(p, item, length);
        if (IsBootItem(item->sub)) {
            int readCode = 0;
            uint8_t* buffer = ReadBootItem(decoder, image, handle, length, &readCode);
            if (!buffer) {
                code = readCode ? readCode : 2211;
            } else {
                int r = PatchBootItem(buffer, length, item->sub, p->burnMode, device, card, image,
                                      &handle, decoder);
                if (r == 0)
                    r = WriteWholeBuffer(card, device, uint32_t(item->start), buffer, length);
                code = r == 0 ? 0 : BootFailure(r, 2211);
                std::free(buffer);
            }
        } else {
            static thread_local uint8_t transfer[kTransferBytes];
            CopyResult c = StreamCopy(card, device, uint32_t(item->start), length,
                                      ItemReader(decoder, image, handle), nullptr, nullptr,
                                      {2125, 2146, 2168}, transfer);
            if (c.code != 0 && !c.write)
                DiagError("sarnet_inter", __LINE__, __func__, "%s %s read failed %d\n", item->main,
                          item->sub, c.code);
            code = c.code == 0 ? 0 : 2211;
        }
    }
    card->CloseDevice(device);
    if (code != 0) {
        if (handle) decoder->CloseItem(image, handle);
        return code;
    }
    code = handle ? decoder->CloseItem(image, handle) : 0;
    ShowItemMessage(item, code == 0 ? MsgBurnSucess : MsgBurnFail, p);
    return code;
}

// The partition-table item from mbr_new.fex: its first 16 KiB, as many
// times as the file holds whole copies, 32 sectors apart.
int WriteTableFromMbrNew(ScriptItem* item, const CardDeviceTable* card, void* device,
                         const ChecksumTable* crc, void* context) {
    char path[VORLANE_MAX_PATH];
    if (VpWorkPath(path, sizeof path, "mbr_new.fex") != 0) {
        DiagError("sarnet_inter", __LINE__, __func__, "get Module Directory failed %d\n", errno);
        return 2596;
    }
    FILE* file = std::fopen(path, "rb");
    if (!file) {
        DiagError("sarnet_inter", __LINE__, __func__, "cannot open %s: %s\n", path,
                  std::strerror(errno));
        return kMbrNewMissing;
    }
    static thread_local uint8_t table[kTableCopyBytes];
    std::memset(table, 0, sizeof table);
    const size_t got = std::fread(table, 1, sizeof table, file);
    uint64_t fileLength = 0;
    struct stat st;
    if (fstat(fileno(file), &st) == 0) fileLength = uint64_t(st.st_size);
    std::fclose(file);
    Diag("BurnDataWithCheck: start to write mbr to sd card, length = %d!\n", int(fileLength));
    Diag("Mbr start sectorPos = %d\n", item->start);
    if (fileLength < kTableCopyBytes || got != kTableCopyBytes) {
        // An empty or cut table file would leave the card without a table.
        DiagError("sarnet_inter", __LINE__, __func__, "%s holds no whole table copy (%llu bytes)\n",
                  path, static_cast<unsigned long long>(fileLength));
        return kMbrNewShort;
    }
    const uint64_t copies = fileLength / kTableCopyBytes;
    for (uint64_t k = 0; k < copies; ++k) {
        if (crc->CrcUpdate(context, table, kTableCopyBytes) != 0) return 2886;
        int r = card->WriteSectors(device, uint32_t(item->start) + uint32_t(32 * k),
                                   kTableCopyBytes / kSectorBytes, table, kTableCopyBytes);
        if (r != 0) {
            Diag(Message(MsgWriteDiskSectorFailed), r);
            return 2886;
        }
    }
    return 0;
}

int BurnDataWithCheck(ScriptItem* item, ToolParam* p, const Decoder64Table* decoder, void* image) {
    const ChecksumTable* crc = Checksum(p);
    if (!crc) return 2254;
    const CardDeviceTable* card = CardDevice(p);
    if (!card) return 2258;
    void* device = OpenCard(card, p);
    if (!device) {
        ShowItemMessage(item, MsgBurnFail, p);
        return 2266;
    }
    void* handle = decoder->OpenItem(image, item->main, item->sub);
    if (!handle) {
        card->CloseDevice(device);
        ShowItemMessage(item, MsgBurnFail, p);
        return 2272;
    }
    void* context = nullptr;
    int code = 2886;
    bool plain = false; // the item is written the plain way below
    uint32_t length = uint32_t(decoder->GetItemSize(image, handle));
    if (length != 0) {
        DiagDiskInfo(p, item, length);
        const int sparse = BurnSparse(device, image, handle, decoder, uint32_t(item->start), card);
        if (sparse == 0) {
            ShowItemMessage(item, MsgBurnSucess, p);
            card->CloseDevice(device);
            decoder->CloseItem(image, handle);
            return 0;
        }
        // Not a sparse image (or its expansion stopped): the plain way from the first byte.
        decoder->CloseItem(image, handle);
        handle = decoder->OpenItem(image, item->main, item->sub);
        length = handle ? uint32_t(decoder->GetItemSize(image, handle)) : 0;
        context = length ? crc->CrcBegin() : nullptr;
        if (context) {
            item->length = length;
            item->FileCRC = 0;
            plain = true;
        }
    }
    if (plain && IsBootItem(item->sub)) {
        int readCode = 0;
        uint8_t* buffer = ReadBootItem(decoder, image, handle, length, &readCode);
        if (!buffer) {
            code = readCode ? readCode : 2886;
        } else {
            int r = PatchBootItem(buffer, length, item->sub, p->burnMode, device, card, image,
                                  &handle, decoder);
            if (r == 0) r = WriteWholeBuffer(card, device, uint32_t(item->start), buffer, length);
            std::free(buffer);
            if (r == 0) {
                crc->CrcRelease(context);
                card->CloseDevice(device);
                code = handle ? decoder->CloseItem(image, handle) : 0;
                ShowItemMessage(item, code == 0 ? MsgBurnSucess : MsgBurnFail, p);
                return code;
            }
            code = BootFailure(r, 2886);
        }
    } else if (plain) {
        if (SubIs(item->sub, kSubTable) &&
            (WorkModeSelection() == 0 || p->res == TOOLPARAM_RES_FIRST_PART_EMPTY)) {
            code = WriteTableFromMbrNew(item, card, device, crc, context);
        } else {
            static thread_local uint8_t transfer[kTransferBytes];
            CopyResult c = StreamCopy(card, device, uint32_t(item->start), length,
                                      ItemReader(decoder, image, handle), crc, context,
                                      {2886, 2886, 2886}, transfer);
            if (c.code != 0 && !c.write)
                DiagError("sarnet_inter", __LINE__, __func__, "%s %s read or checksum failed\n",
                          item->main, item->sub);
            code = c.code == 0 ? 0 : 2886;
        }
        if (code == 0) {
            int closed = decoder->CloseItem(image, handle);
            handle = nullptr;
            if (closed != 0) {
                code = closed;
            } else if (crc->CrcFinish(context, &item->FileCRC) != 0) {
                code = 2886;
            } else {
                crc->CrcRelease(context);
                Diag(Message(MsgFileCrc), item->main, item->sub, item->FileCRC);
                card->CloseDevice(device);
                ShowItemMessage(item, MsgBurnSucess, p);
                return 0;
            }
        }
    }
    if (context) crc->CrcRelease(context);
    card->CloseDevice(device);
    if (handle) decoder->CloseItem(image, handle);
    return code;
}

int BurnImageFile(ScriptItem* item, ToolParam* p) {
    const bool mode2 = p->burnMode == 2;
    const CardDeviceTable* card = nullptr;
    if (mode2) {
        if (!Checksum(p)) return 1413;
        if (!(card = CardDevice(p))) return 1417;
    } else if (!(card = CardDevice(p))) {
        return 1773;
    }
    void* device = OpenCard(card, p);
    if (!device) {
        ShowItemMessage(item, MsgBurnFail, p);
        return mode2 ? 1425 : 1778;
    }
    uint64_t size = 0;
    const bool known = FileSize(p->imagePath, &size);
    FILE* file = nullptr;
    int code = 0;
    if (known && size == 0) {
        code = mode2 ? 1432 : 1785;
    } else if (!known || !(file = std::fopen(p->imagePath, "rb"))) {
        code = mode2 ? 1440 : 1792;
    } else if (!mode2 && size >> 32) {
        // Mode 1 counts the file in 32 bits: a longer file would be copied cut.
        DiagError("sarnet_inter", __LINE__, __func__,
                  "image file of %llu bytes needs burn mode 2\n",
                  static_cast<unsigned long long>(size));
        code = kImageFileTooLarge;
    }
    if (code != 0) {
        if (file) std::fclose(file);
        card->CloseDevice(device);
        ShowItemMessage(item, MsgBurnFail, p);
        return code;
    }
    DiagDiskInfo(p, item, uint32_t(size));
    if (mode2) {
        item->length = uint32_t(size);
        item->FileCRC = 0;
    }
    static thread_local uint8_t transfer[kTransferBytes];
    CopyResult c = StreamCopy(
        card, device, uint32_t(item->start), size, FileReader(file), nullptr, nullptr,
        mode2 ? ShortReadCodes{1476, 1505, 1536} : ShortReadCodes{1806, 1825, 1845}, transfer);
    if (c.code != 0) {
        if (!c.write)
            DiagError("sarnet_inter", __LINE__, __func__, "image file read short %d\n", c.code);
        card->CloseDevice(device);
        std::fclose(file);
        return mode2 ? 1729 : 1888;
    }
    if (mode2) {
        // The image file itself is not run through the checksum service.
        Diag(Message(MsgFileCrc), item->main, item->sub, item->FileCRC);
        item->DataCRC = item->FileCRC;
        Diag(Message(MsgDataCrc), item->main, item->sub, item->DataCRC);
    }
    card->CloseDevice(device);
    std::fclose(file);
    ShowItemMessage(item, MsgBurnSucess, p);
    return 0;
}

int BurnDataFile(ScriptItem* item, ToolParam* p) {
    const std::string dir = WorkPathDirectory(p);
    std::string path = dir + "thisdata.fex" + p->drive;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        path = dir + "thisdata.fex";
    else
        std::fclose(file);
    file = nullptr;

    int code = 0;
    void* device = nullptr;
    const CardDeviceTable* card = CardDevice(p);
    uint64_t size = 0;
    if (!card) {
        code = 3194;
    } else if (!(device = OpenCard(card, p))) {
        code = 3199;
    } else {
        const bool known = FileSize(path.c_str(), &size);
        if (known && size == 0)
            code = 3225;
        else if (!known || !(file = std::fopen(path.c_str(), "rb")))
            code = 3233;
    }
    if (code == 0) {
        DiagDiskInfo(p, item, uint32_t(size));
        static thread_local uint8_t transfer[kTransferBytes];
        CopyResult c = StreamCopy(card, device, uint32_t(item->start), size, FileReader(file),
                                  nullptr, nullptr, {3255, 3275, 3296}, transfer);
        code = c.code;
    }
    if (device) card->CloseDevice(device);
    if (file) std::fclose(file);
    if (code != 0) {
        DiagError("sarnet_inter", __LINE__, __func__, "data file %s failed %d\n", path.c_str(),
                  code);
        ShowItemMessage(item, MsgBurnFail, p);
        return code;
    }
    ShowItemMessage(item, MsgBurnSucess, p);
    return 0;
}

} // namespace

int BurnItem(ScriptItem* item, const Decoder64Table* decoder, ToolParam* param, void* image) {
    if (!item || !param) return 1290;
    const bool fileItem = IsImageFile(item) || IsDataFile(item);
    int box = -1, code = 0;
    if (fileItem && item->type != 0) {
        box = item->type == 1 ? MsgDataTypeL1 : item->type == 2 ? MsgDataTypeL2 : MsgNotSupport;
        code = item->type == 1 ? 1301 : item->type == 2 ? 1306 : 1311;
    } else if (!fileItem && item->type != 1) {
        box = item->type == 0 ? MsgDataTypeRaw : item->type == 2 ? MsgDataTypeL2 : MsgNotSupport;
        code = item->type == 0 ? 1320 : item->type == 2 ? 1328 : 1333;
    }
    if (code != 0) {
        ShowBox(box, MsgFail);
        return code;
    }
    if (param->burnMode != 1 && param->burnMode != 2) return 1368;
    if (IsImageFile(item)) return BurnImageFile(item, param);
    if (IsDataFile(item)) return BurnDataFile(item, param);
    if (!decoder) return 1290;
    return param->burnMode == 1 ? BurnData(item, param, decoder, image)
                                : BurnDataWithCheck(item, param, decoder, image);
}

int BurnItems(ToolParam* param) {
    if (!param) return 594;
    if (param->scriptInfoSize != sizeof(ScriptInfo) || !param->scriptInfo) return 597;
    ScriptInfo* info = static_cast<ScriptInfo*>(param->scriptInfo);
    const Decoder64Table* decoder =
        static_cast<const Decoder64Table*>(FindInterface(param, VORLANE_IID_DECODER64));
    if (!decoder) return 601;
    const uint32_t count = info->items ? info->steps : 0;
    if (count > kMagicMaxItems) {
        // Refused before the first write: the magic block holds 62 item records.
        SendText(param, "Too many items (%u) in the script: at most %u fit the magic block.", count,
                 kMagicMaxItems);
        return kTooManyItems;
    }
    void* image = decoder->OpenImage(param->imagePath);
    if (!image) return 605;

    ScriptItem* items = info->items;
    bool toc0CardExists = false;
    for (uint32_t i = 0; i < count; ++i) {
        if (SubIs(items[i].sub, kSubToc0Card)) {
            Diag("Matches TOC0_sdcard00000, sub:%s, i:%d", items[i].sub, int(i));
            toc0CardExists = true;
        }
    }
    SetWorkModeSelection(WorkModeFromScriptMode(info->mode));

    const int step = count ? int(100 / (2 * count)) : 0;
    for (uint32_t i = 0; i < count; ++i) {
        ScriptItem* item = &items[i];
        if (i > 0) {
            const ScriptItem* prev = &items[i - 1];
            const uint64_t end = uint64_t(uint32_t(prev->start)) + prev->length / kSectorBytes;
            if (end > uint64_t(uint32_t(item->start))) {
                if (IsDataFile(item)) {
                    Diag("fix[%s]startpos(sector):%d --> %d", item->main, item->start, int(end));
                    item->start = int32_t(end);
                } else {
                    SendText(param, "Burn ([%s] strar pos = %d sec)Error.", item->commchs,
                             item->start);
                    SendText(param,
                             "Start pos over the step[%s](start:%d(sec) + length:%d (sec) = "
                             "%d(sec) > %d sec.\n",
                             prev->commchs, prev->start, int(prev->length / kSectorBytes), int(end),
                             item->start);
                    decoder->CloseImage(image);
                    return 663;
                }
            }
        }
        if (SubIs(item->sub, kSubToc0)) {
            Diag("Matches TOC0_00000000000, sub:%s, i:%d", item->sub, int(i));
            if (toc0CardExists) {
                Diag("Matches TOC0_sdcard00000, is_toc0_sdcard_exist:%d", 1);
                continue;
            }
        }
        ShowItemMessage(item, MsgIsBurning, param);
        Diag("Start to burn[%s] [%s]", item->commchs, item->commen);
        const int r = BurnItem(item, decoder, param, image);
        if (r != 0) {
            decoder->CloseImage(image);
            return r;
        }
        param->progress += step;
        SendProgress(param);
    }
    decoder->CloseImage(image);
    return 0;
}

} // namespace vorlane::sarnet
