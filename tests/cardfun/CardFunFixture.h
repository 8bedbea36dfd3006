// Fixtures of the card-functions tests: the library object over the real
// service plug-ins, a card-operations wrapper that injects failures and
// records writes, and readers of the card through independent tools.
#pragma once

#include "CardManFunc.h"
#include "Interfaces.h"
#include "PartitionFixtures.h"
#include "TestSupport.h"

#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace vorlane::test {

// Wraps the real card-operations service.
struct CardOpsProbe {
    const CardOperationsTable* real = nullptr;
    int openFailures = 0; // the first n OpenCard calls give no handle (-1: all)
    int openCalls = 0;
    int failWriteCall = -1; // the n-th WriteCardSectors call (0-based) fails with 5
    int writeCalls = 0;
    bool failReads = false;
    std::vector<std::pair<uint32_t, uint32_t>> writes; // first, count of WriteCardSectors
    std::vector<uint32_t> tableSectors;                // sectors of WriteTableSector

    // Forgets the injected failures and the records, keeps the service.
    void Reset() {
        const CardOperationsTable* service = real;
        *this = CardOpsProbe();
        real = service;
    }
    static CardOpsProbe& Get() {
        static CardOpsProbe probe;
        return probe;
    }
    static void* OpenCard(int letter) {
        auto& p = Get();
        ++p.openCalls;
        if (p.openFailures < 0 || p.openCalls <= p.openFailures) return nullptr;
        return p.real->OpenCard(letter);
    }
    static uint32_t GetCardCapacity(void* card) { return Get().real->GetCardCapacity(card); }
    static int WriteTableSector(void* card, const void* sector, int zero, uint32_t n) {
        Get().tableSectors.push_back(n);
        return Get().real->WriteTableSector(card, sector, zero, n);
    }
    static int WriteCardSectors(void* card, uint32_t first, uint32_t count, const void* buffer,
                                uint32_t bytes) {
        auto& p = Get();
        if (p.writeCalls++ == p.failWriteCall) return 5;
        p.writes.emplace_back(first, count);
        return p.real->WriteCardSectors(card, first, count, buffer, bytes);
    }
    static int ReadCardSectors(void* card, uint32_t first, uint32_t count, void* buffer,
                               uint32_t bytes) {
        if (Get().failReads) return 6;
        return Get().real->ReadCardSectors(card, first, count, buffer, bytes);
    }
    static int CloseCard(void* card) { return Get().real->CloseCard(card); }
    static const CardOperationsTable* Table() {
        static const CardOperationsTable table = {
            OpenCard, GetCardCapacity,  WriteTableSector, nullptr,
            nullptr,  WriteCardSectors, ReadCardSectors,  CloseCard};
        return &table;
    }
};

struct DosPartition {
    uint64_t start = 0, size = 0;
    std::string type;
};

// The partitions that `sfdisk --json` reports for a card image.
inline std::vector<DosPartition> SfdiskPartitions(const std::string& path,
                                                  std::string* raw = nullptr) {
    std::string out;
    RunCommand("sfdisk --json '" + path + "' 2>/dev/null", &out);
    if (raw) *raw = out;
    std::vector<DosPartition> parts;
    // Each partition object holds "start": N, "size": N, "type": "T" in this order.
    auto field = [&](size_t from, const char* key, size_t* end) -> std::string {
        size_t at = out.find(key, from);
        if (at == std::string::npos) return "";
        at = out.find(':', at) + 1;
        while (at < out.size() && (out[at] == ' ' || out[at] == '"'))
            ++at;
        size_t stop = at;
        while (stop < out.size() && isalnum(static_cast<unsigned char>(out[stop])))
            ++stop;
        *end = stop;
        return out.substr(at, stop - at);
    };
    for (size_t at = out.find("\"partitions\""); at != std::string::npos;) {
        size_t next = out.find("\"start\":", at);
        if (next == std::string::npos) break;
        DosPartition p;
        size_t end = next;
        std::string start = field(next, "\"start\":", &end);
        std::string size = field(end, "\"size\":", &end);
        std::string type = field(end, "\"type\":", &end);
        if (start.empty() || size.empty() || type.empty()) break;
        p.start = std::stoull(start);
        p.size = std::stoull(size);
        p.type = type;
        parts.push_back(p);
        at = end;
    }
    return parts;
}

inline std::vector<uint8_t> ReadSectors(const std::string& path, uint64_t first, size_t count) {
    std::vector<uint8_t> data(count * 512, 0);
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    ssize_t n = pread(fd, data.data(), data.size(), off_t(first * 512));
    close(fd);
    if (n != ssize_t(data.size())) return {};
    return data;
}

inline bool FillSectors(const std::string& path, uint64_t first, size_t count, uint8_t value) {
    std::vector<uint8_t> data(count * 512, value);
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ssize_t n = pwrite(fd, data.data(), data.size(), off_t(first * 512));
    close(fd);
    return n == ssize_t(data.size());
}

// Copies `length` bytes at `offset` of a sparse card file into a sparse file
// of its own (only the written extents are read).
inline bool ExtractRange(const std::string& path, uint64_t offset, uint64_t length,
                         const std::string& out) {
    int in = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = in >= 0 && fd >= 0 && ftruncate(fd, off_t(length)) == 0;
    std::vector<char> buffer(1 << 20);
    off_t end = off_t(offset + length);
    for (off_t at = off_t(offset); ok && at < end;) {
        off_t data = lseek(in, at, SEEK_DATA);
        if (data < 0 || data >= end) break;
        off_t hole = std::min(lseek(in, data, SEEK_HOLE), end);
        for (off_t p = data; ok && p < hole;) {
            ssize_t n = pread(in, buffer.data(),
                              size_t(std::min<off_t>(hole - p, off_t(buffer.size()))), p);
            ok = n > 0 && pwrite(fd, buffer.data(), size_t(n), p - off_t(offset)) == n;
            p += n > 0 ? n : 0;
        }
        at = hole;
    }
    if (in >= 0) close(in);
    if (fd >= 0 && close(fd) != 0) ok = false;
    return ok;
}

inline bool AllBytes(const std::vector<uint8_t>& data, uint8_t value) {
    for (uint8_t b : data)
        if (b != value) return false;
    return !data.empty();
}

// The library object over the real services of the module directory, with
// the card-operations probe in between.
class CardFunFixture : public VorlaneTest {
  protected:
    void SetUp() override {
        VorlaneTest::SetUp();
        m_center = PluginCenter();
        ASSERT_NE(m_center, nullptr) << "Hubrix.so missing";
        for (auto [id, file] : {std::pair{VORLANE_IID_CARD_OPERATIONS, "Drevant.so"},
                                std::pair{VORLANE_IID_VOLUME_FORMAT, "Brevik.so"},
                                std::pair{VORLANE_IID_TABLE_CONVERSION, "Caldrin.so"},
                                std::pair{VORLANE_IID_DECODER64, "Unspool64.so"},
                                std::pair{VORLANE_IID_DECODER32, "Unspool32.so"}}) {
            PluginLoadRecord record = {};
            snprintf(record.id, sizeof record.id, "%s", id);
            snprintf(record.path, sizeof record.path, "%s", file);
            m_center->LoadPlugin(&record);
        }
        auto& probe = CardOpsProbe::Get();
        probe = CardOpsProbe{};
        probe.real = static_cast<const CardOperationsTable*>(
            m_center->GetPluginInterface(VORLANE_IID_CARD_OPERATIONS));
        ASSERT_NE(probe.real, nullptr) << "Drevant.so missing";
        m_lib = std::make_unique<cardfun::CardManFunc>();
        m_lib->m_firstCenter = m_center;
        m_lib->m_center = m_center;
        m_lib->m_cardOps = CardOpsProbe::Table();
        m_lib->m_conversion = static_cast<const TableConversionTable*>(
            m_center->GetPluginInterface(VORLANE_IID_TABLE_CONVERSION));
        m_lib->m_retryDelayMs = 1;
        m_lib->SetMessageCallBack(&CardFunFixture::OnMessage);
        Messages().clear();
    }

    void WriteTables(const std::vector<FixturePartition>& parts,
                     const std::vector<FixtureDownload>& downloads = DefaultDownloads()) {
        WriteFile(HomePath("mbr.fex"), BuildLargeTable(parts));
        WriteFile(HomePath("dlinfo.fex"), BuildLargeDownload(downloads));
    }

    struct Message {
        char letter;
        std::string text;
        int code;
    };
    static std::vector<Message>& Messages() {
        static std::vector<Message> messages;
        return messages;
    }
    static std::mutex& MessageLock() {
        static std::mutex lock;
        return lock;
    }
    static int OnMessage(char letter, const char* text, int code) {
        std::lock_guard<std::mutex> lock(MessageLock());
        Messages().push_back({letter, text ? text : "", code});
        return 0;
    }
    // The final callbacks (10 or 60) a letter received.
    static std::vector<Message> Finals(char letter) {
        std::lock_guard<std::mutex> lock(MessageLock());
        std::vector<Message> out;
        for (const auto& m : Messages())
            if (m.letter == letter && (m.code == 10 || m.code == 60)) out.push_back(m);
        return out;
    }

    const PluginManTable* m_center = nullptr;
    std::unique_ptr<cardfun::CardManFunc> m_lib;
};

} // namespace vorlane::test
