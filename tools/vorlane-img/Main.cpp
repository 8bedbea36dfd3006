// vorlane-img: packs, lists, verifies and extracts firmware images, and makes
// the sample image. Exit status: 0 success, 1 failure, 2 usage error. Every
// failure is one line "vorlane-img: <what>: <why>" on standard error.
#include "Container.h"
#include "ImageWriter.h"
#include "Manifest.h"
#include "Sample.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using vorlane::image::Container;
using vorlane::image::Item;

__attribute__((format(printf, 1, 2))) int Fail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::fputs("vorlane-img: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
    return 1;
}

int Usage(const char* why = nullptr) {
    if (why) std::fprintf(stderr, "vorlane-img: %s\n", why);
    std::fputs("usage: vorlane-img pack MANIFEST -o OUT [--format 1|2]\n"
               "       vorlane-img list IMAGE\n"
               "       vorlane-img verify IMAGE\n"
               "       vorlane-img extract IMAGE MAIN SUB OUT\n"
               "       vorlane-img sample [options]\n",
               stderr);
    return 2;
}

struct OpenImage {
    int fd = -1;
    Container container;
    ~OpenImage() {
        if (fd >= 0) close(fd);
    }
    bool Open(const std::string& path, std::string* error) {
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st;
        if (fd < 0 || fstat(fd, &st) != 0) {
            *error = std::strerror(errno);
            return false;
        }
        if (!S_ISREG(st.st_mode)) {
            *error = "not a regular file";
            return false;
        }
        const int file = fd;
        return container.Load(
            [file](uint64_t offset, void* buffer, size_t length) {
                return vorlane::image::ReadFully(file, offset, buffer, length);
            },
            static_cast<uint64_t>(st.st_size), 0, error);
    }
    // Streams an item through `sink` in 1 MiB blocks; returns its CRC-32.
    template <class Sink> bool Stream(const Item& item, uint32_t* crc, Sink sink) {
        std::vector<uint8_t> buffer(std::min<uint64_t>(item.size, 1 << 20));
        uint32_t value = 0;
        for (uint64_t done = 0; done < item.size;) {
            const size_t n =
                static_cast<size_t>(std::min<uint64_t>(buffer.size(), item.size - done));
            if (!vorlane::image::ReadFully(fd, item.offset + done, buffer.data(), n)) return false;
            value = vorlane::image::Crc32(value, buffer.data(), n);
            if (!sink(buffer.data(), n)) return false;
            done += n;
        }
        *crc = value;
        return true;
    }
};

std::string Name(const Item& item) {
    return item.mainType + "/" + item.subType;
}

int Pack(int argc, char** argv) {
    std::string manifest, out;
    uint32_t version = 2;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "-o" || arg == "--format") && i + 1 >= argc)
            return Usage(("option " + arg + " needs a value").c_str());
        if (arg == "-o") {
            out = argv[++i];
        } else if (arg == "--format") {
            const std::string value = argv[++i];
            if (value != "1" && value != "2") return Usage("--format must be 1 or 2");
            version = value == "1" ? 1 : 2;
        } else if (!arg.empty() && arg[0] == '-') {
            return Usage(("unknown option " + arg).c_str());
        } else if (manifest.empty()) {
            manifest = arg;
        } else {
            return Usage("pack takes one manifest");
        }
    }
    if (manifest.empty() || out.empty()) return Usage("pack needs MANIFEST and -o OUT");
    std::vector<vorlane::img::ManifestItem> items;
    std::string error;
    if (!vorlane::img::ReadManifest(manifest, &items, &error)) return Fail("%s", error.c_str());
    if (items.empty()) return Fail("%s: no items (one section per item)", manifest.c_str());
    vorlane::image::Writer writer;
    for (const auto& item : items)
        writer.AddFile(item.mainType, item.subType, item.file);
    if (!writer.Write(out, version, &error)) return Fail("%s", error.c_str());
    std::printf("%s: %zu items, version %u\n", out.c_str(), writer.Count(), version);
    return 0;
}

int List(int argc, char** argv) {
    if (argc != 2) return Usage("list takes one image");
    OpenImage image;
    std::string error;
    if (!image.Open(argv[1], &error)) return Fail("%s: %s", argv[1], error.c_str());
    std::printf("version %u, %zu items, alignment %u\n", image.container.Version(),
                image.container.Items().size(), image.container.Alignment());
    std::printf("%-8s  %-16s  %14s  %14s  %-8s\n", "main", "sub", "size", "offset", "crc");
    for (const Item& item : image.container.Items())
        std::printf("%-8s  %-16s  %14" PRIu64 "  %14" PRIu64 "  %08" PRIX32 "\n",
                    item.mainType.c_str(), item.subType.c_str(), item.size, item.offset, item.crc);
    return 0;
}

int Verify(int argc, char** argv) {
    if (argc != 2) return Usage("verify takes one image");
    OpenImage image;
    std::string error;
    if (!image.Open(argv[1], &error)) return Fail("%s: %s", argv[1], error.c_str());
    for (const Item& item : image.container.Items()) {
        uint32_t crc = 0;
        if (!image.Stream(item, &crc, [](const uint8_t*, size_t) { return true; }))
            return Fail("%s: item %s: read error", argv[1], Name(item).c_str());
        if (crc != item.crc)
            return Fail("%s: item %s: CRC mismatch (stored %08" PRIX32 ", data %08" PRIX32 ")",
                        argv[1], Name(item).c_str(), item.crc, crc);
    }
    std::printf("%s: %zu items, all CRCs correct\n", argv[1], image.container.Items().size());
    return 0;
}

int Extract(int argc, char** argv) {
    if (argc != 5) return Usage("extract takes IMAGE MAIN SUB OUT");
    OpenImage image;
    std::string error;
    if (!image.Open(argv[1], &error)) return Fail("%s: %s", argv[1], error.c_str());
    const Item* item = image.container.Find(argv[2], argv[3]);
    if (!item) return Fail("%s: no item %s/%s", argv[1], argv[2], argv[3]);
    const std::string out = argv[4];
    const std::string temp = out + ".tmp-" + std::to_string(getpid());
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return Fail("%s: %s", temp.c_str(), std::strerror(errno));
    uint32_t crc = 0;
    bool ok = image.Stream(*item, &crc, [fd](const uint8_t* data, size_t n) {
        while (n > 0) {
            ssize_t w = write(fd, data, n);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return false;
            data += w;
            n -= static_cast<size_t>(w);
        }
        return true;
    });
    const int savedErrno = errno;
    ok = ok && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok) {
        unlink(temp.c_str());
        return Fail("%s: item %s: %s", out.c_str(), Name(*item).c_str(), std::strerror(savedErrno));
    }
    if (crc != item->crc) {
        unlink(temp.c_str());
        return Fail("%s: item %s: CRC mismatch (stored %08" PRIX32 ", data %08" PRIX32 ")", argv[1],
                    Name(*item).c_str(), item->crc, crc);
    }
    if (rename(temp.c_str(), out.c_str()) != 0) {
        const int e = errno;
        unlink(temp.c_str());
        return Fail("%s: %s", out.c_str(), std::strerror(e));
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    const std::string command = argv[1];
    if (command == "pack") return Pack(argc - 1, argv + 1);
    if (command == "list") return List(argc - 1, argv + 1);
    if (command == "verify") return Verify(argc - 1, argv + 1);
    if (command == "extract") return Extract(argc - 1, argv + 1);
    if (command == "sample") return SampleMain(argc - 1, argv + 1);
    if (command == "-h" || command == "--help" || command == "help") {
        Usage();
        return 0;
    }
    return Usage(("unknown command " + command).c_str());
}
