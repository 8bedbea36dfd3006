// `vorlane-img sample`: a complete, realistic firmware image built from
// scratch: the card tool of the module directory, a version-300 script with
// boot0 and the boot package, a large-layout partition table in four 16 KiB
// copies, the download list, boot loaders with valid header sums, a FAT boot
// partition and a 256 MiB system partition in the Android sparse format.
#include "Sample.h"

#include "ImageWriter.h"
#include "VorlanePlatform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kHeaderStamp = 0x5F0A6C39;
constexpr uint32_t kSectorsPerMiB = 2048;

// Partition layout (sectors, relative to the partition table at 40960).
constexpr uint32_t kBootStart = 32768;
constexpr uint32_t kBootSectors = 32 * kSectorsPerMiB;
constexpr uint32_t kSystemStart = kBootStart + kBootSectors;
constexpr uint32_t kDefaultSystemMiB = 256;

// The system partition: its size, how it is stored and how much of it is
// data. The defaults make the small sample; benchmarks ask for larger,
// denser ones.
struct SystemLayout {
    uint32_t mib = kDefaultSystemMiB;
    bool sparse = true;
    uint32_t dataMiB = 0; // 0: the sample's mostly-empty pattern
    uint32_t Sectors() const { return mib * kSectorsPerMiB; }
};

const char kBootFile[] = "BOOT_FEX00000000";
const char kSystemFile[] = "SYSTEM_FEX000000";

void put16(Bytes& b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void put32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t get32(const Bytes& b, size_t at) {
    return uint32_t(b[at]) | (uint32_t(b[at + 1]) << 8) | (uint32_t(b[at + 2]) << 16) |
           (uint32_t(b[at + 3]) << 24);
}
void putText(Bytes& b, size_t at, const char* text, size_t field) {
    size_t n = std::strlen(text);
    std::memcpy(&b[at], text, n < field ? n : field);
}

uint32_t crc32(const uint8_t* data, size_t size) {
    static uint32_t table[256];
    static bool ready = false;
    if (!ready) {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[i] = c;
        }
        ready = true;
    }
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i)
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

// The additive header sum: the checksum field holds the stamp while the
// first length / 4 words are added up.
void headerSum(Bytes& b, size_t base, size_t lengthAt, size_t sumAt) {
    uint32_t length = get32(b, base + lengthAt);
    put32(b, base + sumAt, kHeaderStamp);
    uint32_t sum = 0;
    for (uint32_t i = 0; i < length / 4; ++i)
        sum += get32(b, base + 4 * i);
    put32(b, base + sumAt, sum);
}

Bytes randomBytes(size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b(size);
    for (auto& x : b)
        x = static_cast<uint8_t>(rng());
    return b;
}

Bytes makeBoot0() {
    Bytes b = randomBytes(48 * 1024, 0xB0070);
    std::memset(b.data(), 0, 256);
    putText(b, 4, "VLBOOT0", 8);
    put32(b, 16, static_cast<uint32_t>(b.size()));
    put32(b, 204, 0); // bit 31 is set in the plain copy of a secure card
    headerSum(b, 0, 16, 12);
    return b;
}

Bytes makeToc0() {
    Bytes b = randomBytes(64 * 1024, 0x70C0);
    std::memset(b.data(), 0, 2048);
    putText(b, 0, "TOC0.VLN", 8);
    put32(b, 24, 2); // item count: card_work_mode at 1140
    put32(b, 28, static_cast<uint32_t>(b.size()));
    put32(b, 1140, 0);
    headerSum(b, 0, 28, 12);
    return b;
}

Bytes makeUboot() {
    Bytes b = randomBytes(64 * 1024, 0x0B007);
    std::memset(b.data(), 0, 512);
    std::memcpy(&b[4], "uboot\0", 6);
    put32(b, 20, static_cast<uint32_t>(b.size()));
    put32(b, 224, 0); // card_work_mode, set per card
    headerSum(b, 0, 20, 12);
    return b;
}

Bytes makeBootPackage() {
    struct Part {
        const char* name;
        Bytes data;
    };
    Bytes dtb = randomBytes(8 * 1024, 0xD7B);
    dtb[0] = 0xD0, dtb[1] = 0x0D, dtb[2] = 0xFE, dtb[3] = 0xED;
    std::vector<Part> parts = {
        {"scp", randomBytes(16 * 1024, 0x5C9)}, {"u-boot", makeUboot()}, {"dtb", dtb}};
    const size_t headerSize = 64 + 368 * parts.size();
    size_t offset = (headerSize + 1023) / 1024 * 1024;
    Bytes pkg(offset, 0);
    putText(pkg, 0, "BOOTPKG", 8);
    put32(pkg, 32, static_cast<uint32_t>(parts.size()));
    for (size_t i = 0; i < parts.size(); ++i) {
        size_t entry = 64 + 368 * i;
        putText(pkg, entry, parts[i].name, 64);
        put32(pkg, entry + 64, static_cast<uint32_t>(pkg.size()));
        put32(pkg, entry + 68, static_cast<uint32_t>(parts[i].data.size()));
        pkg.insert(pkg.end(), parts[i].data.begin(), parts[i].data.end());
        pkg.resize((pkg.size() + 1023) / 1024 * 1024, 0);
    }
    put32(pkg, 36, static_cast<uint32_t>(pkg.size()));
    headerSum(pkg, 0, 36, 20);
    return pkg;
}

// Partition table: large layout, four copies of 16 KiB, each with its CRC.
Bytes makeMbr(const SystemLayout& system) {
    struct P {
        const char* name;
        uint32_t start, length;
    };
    const P parts[] = {{"boot", kBootStart, kBootSectors},
                       {"system", kSystemStart, system.Sectors()},
                       {"UDISK", kSystemStart + system.Sectors(), 0}};
    Bytes all;
    for (int copy = 0; copy < 4; ++copy) {
        Bytes b(16384, 0);
        put32(b, 4, 0x00000200); // table version
        putText(b, 8, "qelvo411", 8);
        put32(b, 16, static_cast<uint32_t>(copy));
        put32(b, 20, 4);
        put32(b, 24, 3);
        for (size_t i = 0; i < 3; ++i) {
            size_t e = 32 + 128 * i;
            put32(b, e + 4, parts[i].start);
            put32(b, e + 12, parts[i].length);
            putText(b, e + 32, parts[i].name, 16);
        }
        put32(b, 0, crc32(&b[4], 16384 - 4));
        all.insert(all.end(), b.begin(), b.end());
    }
    return all;
}

// Download list: large layout, 72-byte entries from offset 32.
Bytes makeDlinfo() {
    Bytes b(14464, 0);
    putText(b, 8, "qelvo411", 8);
    put32(b, 24, 2);
    const char* entries[][2] = {{"boot", kBootFile}, {"system", kSystemFile}};
    for (size_t i = 0; i < 2; ++i) {
        size_t e = 32 + 72 * i;
        putText(b, e, entries[i][0], 16);
        putText(b, e + 32, entries[i][1], 16);
    }
    put32(b, 0, crc32(&b[4], b.size() - 4));
    return b;
}

// Fast pseudo-random filler for large benchmark items.
void fillRandom(Bytes& b, uint64_t& state) {
    for (size_t i = 0; i + 8 <= b.size(); i += 8) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        std::memcpy(&b[i], &state, 8);
    }
}

bool writeAll(FILE* f, const Bytes& b) {
    return b.empty() || std::fwrite(b.data(), 1, b.size(), f) == b.size();
}

// The system partition's item, written to `path`: by default an Android
// sparse image of RAW, FILL and DONT_CARE chunks (4096-byte blocks, mostly
// DONT_CARE so that the sample stays small); for benchmarks a sparse image
// with `dataMiB` of RAW data, or the plain partition bytes.
bool makeSystemItem(const SystemLayout& layout, const std::string& path, std::string* error) {
    const uint32_t blockSize = 4096;
    const uint32_t totalBlocks = layout.Sectors() / 8;
    struct Chunk {
        uint16_t type;
        uint32_t blocks;
    };
    std::vector<Chunk> chunks;
    if (layout.dataMiB == 0) {
        const uint32_t fixed = 256 + 1024 + 2048 + 3 + 1 + 5;
        if (totalBlocks <= fixed) {
            *error = "the system partition is too small for the sample pattern";
            return false;
        }
        chunks = {{0xCAC1, 256}, {0xCAC2, 1024}, {0xCAC3, 2048},
                  {0xCAC1, 3},   {0xCAC2, 1},    {0xCAC3, totalBlocks - fixed},
                  {0xCAC1, 5}};
    } else {
        uint32_t dataBlocks = std::min(layout.dataMiB * 256, totalBlocks);
        for (uint32_t done = 0; done < dataBlocks;) {
            uint32_t n = std::min<uint32_t>(16384, dataBlocks - done); // 64 MiB chunks
            chunks.push_back({0xCAC1, n});
            done += n;
        }
        if (dataBlocks < totalBlocks) chunks.push_back({0xCAC3, totalBlocks - dataBlocks});
    }
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    bool ok = true;
    uint64_t state = 0x9E3779B97F4A7C15ull;
    Bytes block;
    if (layout.sparse) {
        Bytes h(28, 0);
        put32(h, 0, 0xED26FF3A);
        put16(h, 4, 1);
        put16(h, 6, 0);
        put16(h, 8, 28);
        put16(h, 10, 12);
        put32(h, 12, blockSize);
        put32(h, 16, totalBlocks);
        put32(h, 20, static_cast<uint32_t>(chunks.size()));
        put32(h, 24, 0);
        ok = writeAll(f, h);
    }
    uint32_t seed = 0x5157;
    for (const Chunk& c : chunks) {
        if (!ok) break;
        uint64_t bytes = uint64_t(c.blocks) * blockSize;
        if (layout.sparse) {
            Bytes h(12, 0);
            put16(h, 0, c.type);
            uint32_t dataSize =
                c.type == 0xCAC1 ? static_cast<uint32_t>(bytes) : (c.type == 0xCAC2 ? 4 : 0);
            put32(h, 4, c.blocks);
            put32(h, 8, 12 + dataSize);
            ok = writeAll(f, h);
        }
        if (c.type == 0xCAC1) {
            if (layout.dataMiB == 0) {
                ok = ok && writeAll(f, randomBytes(static_cast<size_t>(bytes), seed++));
            } else {
                for (uint64_t done = 0; ok && done < bytes; done += block.size()) {
                    block.resize(static_cast<size_t>(std::min<uint64_t>(bytes - done, 1 << 20)));
                    fillRandom(block, state);
                    ok = writeAll(f, block);
                }
            }
        } else if (c.type == 0xCAC2) {
            Bytes fill(4, 0);
            put32(fill, 0, 0xA5C3E10F + seed++);
            if (layout.sparse) {
                ok = ok && writeAll(f, fill);
            } else {
                Bytes run(static_cast<size_t>(bytes));
                for (size_t i = 0; i < run.size(); i += 4)
                    std::memcpy(&run[i], fill.data(), 4);
                ok = ok && writeAll(f, run);
            }
        } else if (!layout.sparse) {
            // DONT_CARE: the plain item holds zeros there.
            Bytes zeros(1 << 20, 0);
            for (uint64_t done = 0; ok && done < bytes; done += zeros.size()) {
                zeros.resize(static_cast<size_t>(std::min<uint64_t>(bytes - done, 1 << 20)));
                ok = writeAll(f, zeros);
            }
        }
    }
    if (std::fclose(f) != 0) ok = false;
    if (!ok) *error = path + ": writing failed";
    return ok;
}

int run(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    std::vector<std::string> copy = argv;
    for (std::string& a : copy)
        args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2);
        }
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A small real FAT volume for the boot partition (mkfs.fat on a temp file,
// with a text file copied in when mtools is at hand).
bool makeBootFat(const std::string& path, std::string* error) {
    unlink(path.c_str());
    if (run({"mkfs.fat", "-C", "-n", "BOOT", path, "4096"}) != 0) {
        *error = "mkfs.fat failed (is dosfstools installed?)";
        return false;
    }
    std::string note = path + ".txt";
    if (FILE* f = std::fopen(note.c_str(), "w")) {
        std::fputs("sample boot partition\n", f);
        std::fclose(f);
        run({"mcopy", "-i", path, note, "::/readme.txt"});
        unlink(note.c_str());
    }
    return true;
}

std::string script(bool secure, size_t bootBytes, size_t packageBytes) {
    std::string s = "[process]\nversion = 300\nmode = product\nstartpos = 0\n\n";
    auto step = [&](const char* section, const char* sub, int start, size_t bytes,
                    const char* label) {
        char text[1024];
        std::snprintf(
            text, sizeof text,
            "[%s]\nmain = 12345678\nsub = %s\nstart = %d\nsectors = %zu\ntype = 1\n"
            "param0 = 0\nparam1 = 0\nparam2 = 0\nparam3 = 0\nparam4 = 0\nparam5 = 0\nparam6 = 0\n"
            "param7 = 0\ncommen = %s\ncommchs = %s\n\n",
            section, sub, start, (bytes + 511) / 512, label, label);
        s += text;
    };
    if (secure)
        step("toc0", "TOC0_00000000000", 16, bootBytes, "TOC0");
    else
        step("boot0", "1234567890BOOT_0", 16, bootBytes, "BOOT0");
    step("boot_package", "BOOTPKG-00000000", 32800, packageBytes, "BOOTPKG");
    s += "[card_boot]\nstart = 40960\n";
    return s;
}

int usage(const char* why) {
    if (why) std::fprintf(stderr, "vorlane-img: %s\n", why);
    std::fputs("usage: vorlane-img sample -o FILE [--gpt] [--secure]\n"
               "       (benchmarks: [--system-mib N] [--system-data-mib N] [--system-plain])\n",
               stderr);
    return 2;
}

} // namespace

int SampleMain(int argc, char** argv) {
    std::string out;
    bool gpt = false, secure = false;
    SystemLayout system;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if ((a == "-o" || a == "--output") && i + 1 < argc)
            out = argv[++i];
        else if (a == "--gpt")
            gpt = true;
        else if (a == "--secure")
            secure = true;
        // Benchmark layouts: a larger system partition, densely filled.
        else if (a == "--system-mib" && i + 1 < argc)
            system.mib = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        else if (a == "--system-data-mib" && i + 1 < argc)
            system.dataMiB = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        else if (a == "--system-plain")
            system.sparse = false;
        else
            return usage(("unexpected argument " + a).c_str());
    }
    if (out.empty()) return usage("sample needs -o FILE");
    if (system.mib < 16 || system.mib > 65536) return usage("--system-mib is 16 ... 65536");

    char sarnet[VORLANE_MAX_PATH];
    struct stat st;
    if (VpModulePath(sarnet, sizeof sarnet, "Sarnet.so") != 0 || stat(sarnet, &st) != 0) {
        std::fprintf(stderr,
                     "vorlane-img: %s: the card tool is missing (build the Sarnet target)\n",
                     sarnet);
        return 1;
    }
    std::string bootFat = out + ".boot-fat.tmp";
    std::string error;
    if (!makeBootFat(bootFat, &error)) {
        std::fprintf(stderr, "vorlane-img: %s: %s\n", bootFat.c_str(), error.c_str());
        return 1;
    }

    const Bytes boot0 = makeBoot0();
    const Bytes toc0 = secure ? makeToc0() : Bytes();
    const Bytes package = makeBootPackage();
    vorlane::image::Writer w;
    w.AddFile("12345678", "CARDTOOL00000000", sarnet);
    w.AddData("12345678", "1234567890SCRIPT",
              script(secure, secure ? toc0.size() : boot0.size(), package.size()));
    w.AddData("12345678", "1234567890___MBR", makeMbr(system));
    w.AddData("12345678", "1234567890DLINFO", makeDlinfo());
    if (gpt)
        w.AddData("12345678", "1234567890___GPT",
                  "boot " + std::to_string(kBootSectors) + "\nsystem " +
                      std::to_string(system.Sectors()) + "\nUDISK 0\n");
    w.AddData("12345678", "1234567890BOOT_0", boot0);
    if (secure) w.AddData("12345678", "TOC0_00000000000", toc0);
    w.AddData("12345678", "BOOTPKG-00000000", package);
    w.AddFile("RFSFAT16", kBootFile, bootFat);
    std::string systemItem = out + ".system.tmp";
    if (!makeSystemItem(system, systemItem, &error)) {
        unlink(bootFat.c_str());
        unlink(systemItem.c_str());
        std::fprintf(stderr, "vorlane-img: %s\n", error.c_str());
        return 1;
    }
    w.AddFile("RFSFAT16", kSystemFile, systemItem);
    bool ok = w.Write(out, 2, &error);
    unlink(bootFat.c_str());
    unlink(systemItem.c_str());
    if (!ok) {
        std::fprintf(stderr, "vorlane-img: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s: sample image%s%s\n", out.c_str(), gpt ? " with gpt.fex" : "",
                secure ? ", secure boot" : "");
    return 0;
}
