// In-test services for the card tool's writers: an image decoder over items
// held in memory, a card device over the platform's virtual cards that logs
// every WriteSectors call, and a CRC-32 checksum service.
#pragma once

#include "Interfaces.h"
#include "ScriptInfo.h"
#include "ServiceTables.h"
#include "TestSupport.h"
#include "ToolParam.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace vorlane::test::burn {

struct FakeItem {
    std::string main, sub;
    std::vector<uint8_t> data;
};

// Images are registered by path; OpenImage finds them there.
void RegisterImage(const std::string& path, std::vector<FakeItem> items);
void UnregisterImage(const std::string& path);
// Number of OpenItem calls for an item of a registered image.
int OpenCount(const std::string& path, const std::string& main, const std::string& sub);
// Number of item handles that were opened and not closed (over all images).
int OpenHandles();
const Decoder64Table* FakeDecoder();

struct WriteCall {
    uint32_t first, count, bytes;
};
// Every WriteSectors call on the card of `letter` since the last reset.
std::vector<WriteCall> Writes(char letter);
void ResetWrites(char letter);
// Makes WriteSectors on `letter` fail with `error` for calls whose first
// sector is `sector` (0 = no failure).
void FailWritesAt(char letter, uint32_t sector, int error);
const CardDeviceTable* FakeCardDevice();

const ChecksumTable* FakeChecksum();
// A checksum service whose CrcBegin fails.
const ChecksumTable* FailingChecksum();

// A parameter block for drive `letter`, with all six interface entries
// (the card device, decoder and checksum tables given; the others dummies).
struct Block {
    ToolParam param{};
    InterfaceEntry entries[TOOLPARAM_INTERFACE_COUNT]{};
    ScriptInfo info{};
    std::vector<ScriptItem> items;
    // Notifications received (code, message, progress).
    struct Note {
        int code;
        std::string message;
        int progress;
    };
    std::vector<Note> notes;
    HWND window = nullptr;

    Block(char letter, int burnMode, const std::string& workDir, const std::string& imagePath,
          const Decoder64Table* decoder = FakeDecoder(),
          const CardDeviceTable* card = FakeCardDevice(),
          const ChecksumTable* crc = FakeChecksum());
    ~Block();
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;
    // Points scriptInfo at `items` (call after filling them).
    void Attach(uint16_t mode);
    bool HasText(const std::string& text) const;
};

ScriptItem MakeItem(const char* main, const char* sub, int32_t start, int32_t type,
                    const char* label);

} // namespace vorlane::test::burn
