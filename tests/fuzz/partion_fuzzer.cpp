// Fuzz target: CreatePartionInfo over a table and a download list cut from
// the input, then every lookup with every stored name and out-of-range indices.
#include "PartionInfo.h"
#include "VorlanePlatform.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

void QuietDebug(const char*, void*) {}

std::string TempPath(const char* tag) {
    return std::string("/tmp/partion_fuzzer_") + std::to_string(getpid()) + "_" + tag;
}

void Put(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return;
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);
}

} // namespace

// Input: byte 0 picks the copy, bytes 1-2 the table's length (cut to the
// input), the rest is the table followed by the download list. Tables that
// start with neither magic get one of them, so that the lookups run.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    static const bool quiet = [] {
        VpSetDebugHook(QuietDebug, nullptr);
        return true;
    }();
    (void)quiet;
    if (size < 3) return 0;
    vorlane::PartionVariant variant = static_cast<vorlane::PartionVariant>(bytes[0] % 3);
    size_t tableSize = static_cast<size_t>(bytes[1]) | static_cast<size_t>(bytes[2]) << 8;
    const uint8_t* rest = bytes + 3;
    size_t restSize = size - 3;
    if (tableSize > restSize) tableSize = restSize;
    std::string table(reinterpret_cast<const char*>(rest), tableSize);
    if (table.size() >= 16 && (bytes[0] & 0x80))
        std::memcpy(&table[8], (bytes[0] & 0x40) ? "qelvo411" : "qelvo311", 8);
    const std::string tablePath = TempPath("mbr"), listPath = TempPath("dl");
    Put(tablePath, reinterpret_cast<const uint8_t*>(table.data()), table.size());
    Put(listPath, rest + tableSize, restSize - tableSize);

    std::unique_ptr<vorlane::PartionInfoAW> info(
        vorlane::CreatePartionInfo(variant, tablePath.c_str(), listPath.c_str()));
    if (info) {
        int capacity = info->GetCapacity();
        info->GetPartCount();
        info->GetDownloadCount();
        info->GetTableData();
        for (int i = -1; i <= capacity; ++i) {
            char name[vorlane::kPartNameBuffer];
            char field[16];
            if (info->GetPartName(i, name) == 0) {
                info->GetStartByName(name);
                info->GetLengthByName(name);
            }
            if (info->GetDownloadPart(i, field) == 0) {
                std::string part(field, strnlen(field, sizeof field));
                info->GetStartByName(part.c_str());
            }
            info->GetDownloadFile(i, field);
            info->GetStart(i);
            info->GetLength(i);
        }
        info->GetStartByName("");
    }
    std::remove(tablePath.c_str());
    std::remove(listPath.c_str());
    return 0;
}
