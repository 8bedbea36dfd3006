// The process-wide drive map: letter -> card target (block device or
// virtual card file), and raw access to the targets.
#include "DriveDiscovery.h"
#include "VorlanePlatform.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <map>
#include <mutex>
#include <string>

using vorlane::platform::BlockDisk;

namespace {

struct Entry {
    VpCardInfo info{};
    bool assigned = false; // explicit mapping (VpDriveAssign)
    std::string diskName;  // block devices: kernel name
};

std::mutex g_mapLock;
std::map<char, Entry> g_map;
bool g_scanned = false;

void copyText(char* dest, size_t size, const std::string& text) {
    std::snprintf(dest, size, "%s", text.c_str());
}

bool fillFromPath(const std::string& path, Entry& entry) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;
    copyText(entry.info.path, sizeof entry.info.path, path);
    if (S_ISBLK(st.st_mode)) {
        entry.info.kind = VpCardBlock;
        entry.info.major = major(st.st_rdev);
        entry.info.minor = minor(st.st_rdev);
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        uint64_t bytes = 0;
        if (fd >= 0) {
            if (ioctl(fd, BLKGETSIZE64, &bytes) != 0) bytes = 0;
            close(fd);
        }
        entry.info.sizeBytes = bytes;
        size_t slash = path.rfind('/');
        entry.diskName = path.substr(slash + 1);
        // A disk that holds the running system is never a card target.
        if (vorlane::platform::HoldsSystemFileSystem(entry.diskName)) return false;
        copyText(entry.info.model, sizeof entry.info.model, "block device");
    } else if (S_ISREG(st.st_mode)) {
        entry.info.kind = VpCardVirtual;
        entry.info.sizeBytes = static_cast<uint64_t>(st.st_size);
        copyText(entry.info.model, sizeof entry.info.model, "virtual card");
    } else {
        return false;
    }
    entry.info.removable = 1;
    return true;
}

// Called with g_mapLock held.
void rescan() {
    g_scanned = true;
    std::map<char, Entry> next;
    for (auto& [letter, entry] : g_map)
        if (entry.assigned && fillFromPath(entry.info.path, entry)) next[letter] = entry;

    // Virtual cards: $VORLANE_CARDS_DIR/<letter>.card.
    const char* cards = std::getenv("VORLANE_CARDS_DIR");
    if (cards && *cards) {
        if (DIR* dir = opendir(cards)) {
            while (dirent* e = readdir(dir)) {
                std::string name = e->d_name;
                if (name.size() != 6 || name.compare(1, 5, ".card") != 0) continue;
                char letter = name[0];
                if (letter < 'D' || letter > 'Z' || next.count(letter)) continue;
                Entry entry;
                entry.info.letter = letter;
                if (fillFromPath(std::string(cards) + "/" + name, entry) &&
                    entry.info.kind == VpCardVirtual)
                    next[letter] = entry;
            }
            closedir(dir);
        }
    }

    // Block devices keep their letter while present; new ones get the lowest free letter.
    for (const BlockDisk& disk : vorlane::platform::DiscoverRemovableDisks()) {
        char letter = 0;
        for (auto& [l, old] : g_map)
            if (!old.assigned && old.info.kind == VpCardBlock && old.diskName == disk.name) letter = l;
        if (letter && next.count(letter)) letter = 0;
        bool already = false;
        for (auto& [l, e] : next)
            if (e.info.kind == VpCardBlock && e.diskName == disk.name) already = true;
        if (already) continue;
        for (char l = 'D'; !letter && l <= 'Z'; ++l)
            if (!next.count(l)) letter = l;
        if (!letter) break;
        Entry entry;
        entry.info.letter = letter;
        entry.info.kind = VpCardBlock;
        entry.diskName = disk.name;
        copyText(entry.info.path, sizeof entry.info.path, disk.path);
        copyText(entry.info.model, sizeof entry.info.model, disk.model);
        entry.info.sizeBytes = disk.sizeBytes;
        entry.info.major = disk.major;
        entry.info.minor = disk.minor;
        entry.info.removable = 1;
        next[letter] = entry;
    }
    for (auto& [letter, entry] : next) entry.info.letter = letter;
    g_map = std::move(next);
}

bool lookup(char letter, Entry& out) {
    std::lock_guard<std::mutex> lock(g_mapLock);
    if (!g_scanned) rescan();
    auto it = g_map.find(letter);
    if (it == g_map.end()) {
        rescan();
        it = g_map.find(letter);
        if (it == g_map.end()) return false;
    }
    out = it->second;
    return true;
}

} // namespace

struct VpCard {
    int fd = -1;
    char letter = 0;
    bool block = false;
    uint64_t size = 0;
    std::string path;
};

namespace {

// Positional transfer of exactly `length` bytes; never past the card's end
// (a virtual card never grows). 0 or an errno value.
int transfer(VpCard* card, uint64_t offset, void* data, size_t length, bool write) {
    if (!card || (!data && length)) return EINVAL;
    if (offset > card->size || length > card->size - offset) return ENOSPC;
    char* p = static_cast<char*>(data);
    while (length > 0) {
        ssize_t n = write ? pwrite(card->fd, p, length, static_cast<off_t>(offset))
                          : pread(card->fd, p, length, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return EIO;
        p += n;
        offset += static_cast<uint64_t>(n);
        length -= static_cast<size_t>(n);
    }
    return 0;
}

} // namespace

extern "C" {

int VpDriveRefresh(void) {
    std::lock_guard<std::mutex> lock(g_mapLock);
    rescan();
    return static_cast<int>(g_map.size());
}

int VpDriveList(VpCardInfo* cards, int max) {
    std::lock_guard<std::mutex> lock(g_mapLock);
    if (!g_scanned) rescan();
    int n = 0;
    for (auto& [letter, entry] : g_map) {
        if (n >= max) break;
        cards[n++] = entry.info;
    }
    return n;
}

int VpDriveLookup(char letter, VpCardInfo* card) {
    Entry entry;
    if (!lookup(letter, entry)) return ENOENT;
    if (card) *card = entry.info;
    return 0;
}

char VpDriveAssign(char letter, const char* path) {
    if (!path) return 0;
    std::lock_guard<std::mutex> lock(g_mapLock);
    if (!g_scanned) rescan();
    if (letter == 0) {
        for (char l = 'Z'; l >= 'D' && !letter; --l)
            if (!g_map.count(l)) letter = l;
    }
    if (letter < 'D' || letter > 'Z') return 0;
    Entry entry;
    if (!fillFromPath(path, entry)) return 0;
    entry.assigned = true;
    entry.info.letter = letter;
    g_map[letter] = entry;
    return letter;
}

void VpDriveUnassign(char letter) {
    std::lock_guard<std::mutex> lock(g_mapLock);
    auto it = g_map.find(letter);
    if (it != g_map.end() && it->second.assigned) g_map.erase(it);
}

int VpCardReadCapacity(char letter, uint32_t* lastBlock) {
    if (!lastBlock) return EINVAL;
    Entry entry;
    if (!lookup(letter, entry)) return ENOENT;
    uint64_t bytes = entry.info.sizeBytes;
    if (entry.info.kind == VpCardBlock) {
        int fd = open(entry.info.path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return errno;
        unsigned char cdb[10] = {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        unsigned char answer[8] = {0};
        unsigned char sense[24] = {0};
        sg_io_hdr_t io;
        std::memset(&io, 0, sizeof io);
        io.interface_id = 'S';
        io.cmd_len = sizeof cdb;
        io.mx_sb_len = sizeof sense;
        io.dxfer_direction = SG_DXFER_FROM_DEV;
        io.dxfer_len = sizeof answer;
        io.dxferp = answer;
        io.cmdp = cdb;
        io.sbp = sense;
        io.timeout = 300000;
        if (ioctl(fd, SG_IO, &io) == 0 && io.status == 0 && io.host_status == 0 &&
            io.driver_status == 0) {
            close(fd);
            *lastBlock = (uint32_t(answer[0]) << 24) | (uint32_t(answer[1]) << 16) |
                         (uint32_t(answer[2]) << 8) | uint32_t(answer[3]);
            return 0;
        }
        // No SCSI pass-through (mmcblk, loop): the block layer's size.
        if (ioctl(fd, BLKGETSIZE64, &bytes) != 0) {
            int error = errno;
            close(fd);
            return error;
        }
        close(fd);
    } else {
        struct stat st;
        if (stat(entry.info.path, &st) != 0) return errno;
        bytes = static_cast<uint64_t>(st.st_size);
    }
    uint64_t sectors = bytes / 512;
    if (sectors == 0) {
        *lastBlock = 0;
        return 0;
    }
    *lastBlock = sectors - 1 > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(sectors - 1);
    return 0;
}

VpCard* VpCardOpen(char letter, int writable, char* error, size_t errorSize) {
    auto fail = [&](int code, const std::string& what) -> VpCard* {
        if (error && errorSize) {
            const char* hint = (code == EACCES || code == EPERM)
                                   ? " (raw card access needs root or membership of the disk group)"
                                   : "";
            std::snprintf(error, errorSize, "%s: %s%s", what.c_str(), std::strerror(code), hint);
        }
        errno = code;
        return nullptr;
    };
    Entry entry;
    if (!lookup(letter, entry)) return fail(ENOENT, std::string("drive ") + letter);
    std::string path = entry.info.path;
    int flags = O_CLOEXEC | (writable ? O_RDWR : O_RDONLY);
    if (entry.info.kind == VpCardBlock && writable) {
        vorlane::platform::UnmountPartitions(entry.diskName);
        flags |= O_EXCL;
    }
    int fd = open(path.c_str(), flags);
    if (fd < 0) return fail(errno, path);
    auto* card = new VpCard;
    card->fd = fd;
    card->letter = letter;
    card->block = entry.info.kind == VpCardBlock;
    card->path = path;
    if (card->block) {
        uint64_t bytes = 0;
        if (ioctl(fd, BLKGETSIZE64, &bytes) == 0) card->size = bytes;
    } else {
        struct stat st;
        if (fstat(fd, &st) == 0) card->size = static_cast<uint64_t>(st.st_size);
    }
    return card;
}

int VpCardWrite(VpCard* card, uint64_t offset, const void* data, size_t length) {
    return transfer(card, offset, const_cast<void*>(data), length, true);
}

int VpCardRead(VpCard* card, uint64_t offset, void* data, size_t length) {
    return transfer(card, offset, data, length, false);
}

uint64_t VpCardSize(const VpCard* card) {
    return card ? card->size : 0;
}

char VpCardLetter(const VpCard* card) {
    return card ? card->letter : 0;
}

const char* VpCardPath(const VpCard* card) {
    return card ? card->path.c_str() : "";
}

int VpCardFlush(VpCard* card) {
    if (!card) return EINVAL;
    if (fdatasync(card->fd) != 0 && errno != EINVAL) return errno;
    if (card->block) ioctl(card->fd, BLKFLSBUF, 0);
    return 0;
}

int VpCardClose(VpCard* card) {
    if (!card) return EINVAL;
    int result = VpCardFlush(card);
    if (close(card->fd) != 0 && result == 0) result = errno;
    delete card;
    return result;
}

int VpCardRereadPartitions(char letter) {
    Entry entry;
    if (!lookup(letter, entry)) return ENOENT;
    if (entry.info.kind != VpCardBlock) return 0;
    int fd = open(entry.info.path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    int result = ioctl(fd, BLKRRPART, 0) == 0 ? 0 : errno;
    close(fd);
    return result;
}

} // extern "C"
