#include "ImageWriter.h"

#include "Container.h"
#include "ImageFormat.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace vorlane::image {
namespace {

std::string Lower(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string Printable(const std::string& name) {
    std::string out;
    for (unsigned char c : name) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

uint64_t AlignUp(uint64_t value) {
    return (value + kPackAlignment - 1) / kPackAlignment * kPackAlignment;
}

bool Fail(std::string* error, const std::string& what, const std::string& why) {
    if (error) *error = what + ": " + why;
    return false;
}

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) close(fd);
    }
};

bool WriteAt(int fd, uint64_t offset, const void* data, size_t length) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (length > 0) {
        ssize_t n = pwrite(fd, p, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        offset += static_cast<uint64_t>(n);
        length -= static_cast<size_t>(n);
    }
    return true;
}

struct Planned {
    uint64_t offset = 0;
    uint64_t size = 0;
    uint32_t crc = 0;
};

} // namespace

void Writer::AddFile(const std::string& mainType, const std::string& subType,
                     const std::string& path) {
    m_items.push_back(Entry{mainType, subType, path, {}});
}

void Writer::AddData(const std::string& mainType, const std::string& subType, const void* data,
                     size_t size) {
    Entry entry{mainType, subType, std::string(), {}};
    if (size) {
        const auto* bytes = static_cast<const uint8_t*>(data);
        entry.data.assign(bytes, bytes + size);
    }
    m_items.push_back(std::move(entry));
}

bool Writer::Write(const std::string& out, uint32_t version, std::string* error) const {
    if (version != 1 && version != 2)
        return Fail(error, out, "unknown image version " + std::to_string(version));
    if (m_items.size() > kMaxItems)
        return Fail(error, out, "more than " + std::to_string(kMaxItems) + " items");

    // Check the whole job and lay it out before the first byte is written.
    std::vector<Planned> plan(m_items.size());
    uint64_t position = kHeaderSize;
    for (size_t i = 0; i < m_items.size(); ++i) {
        const Entry& e = m_items[i];
        const std::string name = Printable(e.mainType) + "/" + Printable(e.subType);
        if (!IsValidName(e.mainType.data(), e.mainType.size(), kMainLength))
            return Fail(error, name, "invalid main type (1 to 8 bytes of 0x21..0x7E)");
        if (!IsValidName(e.subType.data(), e.subType.size(), kSubLength))
            return Fail(error, name, "invalid sub type (1 to 16 bytes of 0x21..0x7E)");
        for (size_t j = 0; j < i; ++j)
            if (Lower(m_items[j].mainType) == Lower(e.mainType) &&
                Lower(m_items[j].subType) == Lower(e.subType))
                return Fail(error, name, "duplicate item name");
        uint64_t size = e.data.size();
        if (!e.path.empty()) {
            struct stat st;
            if (stat(e.path.c_str(), &st) != 0) return Fail(error, e.path, std::strerror(errno));
            if (!S_ISREG(st.st_mode)) return Fail(error, e.path, "not a regular file");
            size = static_cast<uint64_t>(st.st_size);
        }
        position = AlignUp(position);
        plan[i].offset = position;
        plan[i].size = size;
        position += size;
    }
    const uint32_t recordSize = version == 1 ? kRecordSizeV1 : kRecordSizeV2;
    const uint64_t tableOffset = AlignUp(position);
    const uint64_t fileSize = tableOffset + uint64_t(m_items.size()) * recordSize;
    if (version == 1 && fileSize >= kVersion1Limit)
        return Fail(error, out,
                    "a version 1 image must stay below 4 GiB (this one would be " +
                        std::to_string(fileSize) + " bytes); use --format 2");

    const std::string temp = out + ".tmp-" + std::to_string(getpid());
    Fd file;
    file.fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (file.fd < 0) return Fail(error, temp, std::strerror(errno));
    struct Remover {
        const std::string& path;
        bool keep = false;
        ~Remover() {
            if (!keep) unlink(path.c_str());
        }
    } remover{temp};

    // The gaps are holes of a sized file: they read as zeros.
    if (ftruncate(file.fd, static_cast<off_t>(fileSize)) != 0)
        return Fail(error, temp, std::strerror(errno));
    constexpr size_t kChunk = 1 << 20;
    std::unique_ptr<uint8_t[]> buffer;
    for (size_t i = 0; i < m_items.size(); ++i) {
        const Entry& e = m_items[i];
        Planned& p = plan[i];
        if (e.path.empty()) {
            p.crc = Crc32(0, e.data.data(), e.data.size());
            if (!WriteAt(file.fd, p.offset, e.data.data(), e.data.size()))
                return Fail(error, temp, std::strerror(errno));
            continue;
        }
        if (!buffer) buffer.reset(new uint8_t[kChunk]);
        Fd in;
        in.fd = open(e.path.c_str(), O_RDONLY | O_CLOEXEC);
        if (in.fd < 0) return Fail(error, e.path, std::strerror(errno));
        uint64_t done = 0;
        uint32_t crc = 0;
        for (;;) {
            ssize_t n = read(in.fd, buffer.get(), kChunk);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return Fail(error, e.path, std::strerror(errno));
            if (n == 0) break;
            if (done + static_cast<uint64_t>(n) > p.size) break;
            crc = Crc32(crc, buffer.get(), static_cast<size_t>(n));
            if (!WriteAt(file.fd, p.offset + done, buffer.get(), static_cast<size_t>(n)))
                return Fail(error, temp, std::strerror(errno));
            done += static_cast<uint64_t>(n);
        }
        if (done != p.size) return Fail(error, e.path, "file changed size while it was packed");
        p.crc = crc;
    }

    std::vector<uint8_t> table(m_items.size() * recordSize, 0);
    for (size_t i = 0; i < m_items.size(); ++i) {
        uint8_t* r = table.data() + i * recordSize;
        std::memcpy(r, m_items[i].mainType.data(), m_items[i].mainType.size());
        std::memcpy(r + 8, m_items[i].subType.data(), m_items[i].subType.size());
        if (version == 1) {
            StoreLE32(r + 24, static_cast<uint32_t>(plan[i].offset));
            StoreLE32(r + 28, static_cast<uint32_t>(plan[i].size));
            StoreLE32(r + 32, plan[i].crc);
        } else {
            StoreLE64(r + 24, plan[i].offset);
            StoreLE64(r + 32, plan[i].size);
            StoreLE32(r + 40, plan[i].crc);
        }
    }
    if (!WriteAt(file.fd, tableOffset, table.data(), table.size()))
        return Fail(error, temp, std::strerror(errno));

    uint8_t header[kHeaderSize] = {};
    std::memcpy(header, kMagic, sizeof kMagic);
    StoreLE32(header + 8, version);
    StoreLE32(header + 12, kHeaderSize);
    StoreLE32(header + 16, static_cast<uint32_t>(m_items.size()));
    StoreLE32(header + 20, recordSize);
    StoreLE64(header + 24, tableOffset);
    StoreLE64(header + 32, fileSize);
    StoreLE32(header + 40, Crc32(0, table.data(), table.size()));
    StoreLE32(header + 44, kPackAlignment);
    StoreLE32(header + 60, Crc32(0, header, 60));
    if (!WriteAt(file.fd, 0, header, sizeof header)) return Fail(error, temp, std::strerror(errno));
    if (fsync(file.fd) != 0) return Fail(error, temp, std::strerror(errno));
    if (close(file.fd) != 0) {
        file.fd = -1;
        return Fail(error, temp, std::strerror(errno));
    }
    file.fd = -1;
    if (rename(temp.c_str(), out.c_str()) != 0) return Fail(error, out, std::strerror(errno));
    remover.keep = true;
    // Make the rename itself durable.
    std::string dir = out.find('/') == std::string::npos ? "." : out.substr(0, out.rfind('/'));
    if (dir.empty()) dir = "/";
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return true;
}

} // namespace vorlane::image
