#include "BurnFakes.h"

#include <strings.h>

#include <cstring>

namespace vorlane::test::burn {

namespace {

struct Image {
    std::vector<FakeItem> items;
    std::map<std::string, int> opens;
};

struct Handle {
    const FakeItem* item;
    size_t position;
};

std::mutex g_lock;
std::map<std::string, Image*> g_images;
std::atomic<int> g_handles{0};

void* OpenImage(const char* path) {
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = g_images.find(path ? path : "");
    return it == g_images.end() ? nullptr : it->second;
}

void* OpenItem(void* image, const char* main, const char* sub) {
    std::lock_guard<std::mutex> lock(g_lock);
    auto* img = static_cast<Image*>(image);
    for (const FakeItem& item : img->items) {
        if (strcasecmp(item.main.c_str(), main) == 0 && strcasecmp(item.sub.c_str(), sub) == 0) {
            ++img->opens[item.main + "/" + item.sub];
            ++g_handles;
            return new Handle{&item, 0};
        }
    }
    return nullptr;
}

uint64_t GetItemSize(void*, void* item) {
    return static_cast<Handle*>(item)->item->data.size();
}

uint64_t ReadItem(void*, void* item, void* buffer, uint32_t low, uint32_t high) {
    auto* h = static_cast<Handle*>(item);
    const uint64_t want = uint64_t(high) << 32 | low;
    const size_t left = h->item->data.size() - h->position;
    const size_t n = want < left ? size_t(want) : left;
    std::memcpy(buffer, h->item->data.data() + h->position, n);
    h->position += n;
    return n;
}

int CloseItem(void*, void* item) {
    delete static_cast<Handle*>(item);
    --g_handles;
    return 0;
}

int CloseImage(void*) {
    return 0;
}

const Decoder64Table kDecoder = {OpenImage, OpenItem, GetItemSize, ReadItem, CloseItem, CloseImage};

struct CardLog {
    std::vector<WriteCall> calls;
    uint32_t failSector = 0;
    int failError = 0;
};
std::map<char, CardLog> g_cards;

void* OpenDevice(int letter, uint32_t, int) {
    return VpCardOpen(char(letter), 1, nullptr, 0);
}

int WriteSectors(void* device, uint32_t first, uint32_t count, const void* buffer, uint32_t bytes) {
    auto* card = static_cast<VpCard*>(device);
    {
        std::lock_guard<std::mutex> lock(g_lock);
        CardLog& log = g_cards[VpCardLetter(card)];
        log.calls.push_back({first, count, bytes});
        if (log.failError && log.failSector == first) return log.failError;
    }
    return VpCardWrite(card, uint64_t(first) * 512, buffer, bytes);
}

int ReadSectors(void*, uint32_t, uint32_t, void*, uint32_t) {
    return 1;
}

int CloseDevice(void* device) {
    return VpCardClose(static_cast<VpCard*>(device));
}

const CardDeviceTable kCard = {OpenDevice, WriteSectors, ReadSectors, CloseDevice};

void* CrcBegin() {
    return new uint32_t(0);
}
void* CrcBeginFails() {
    return nullptr;
}
int CrcUpdate(void* context, const void* data, uint32_t length) {
    auto* crc = static_cast<uint32_t*>(context);
    *crc = Crc32(data, length, *crc);
    return 0;
}
int CrcFinish(void* context, uint32_t* out) {
    *out = *static_cast<uint32_t*>(context);
    return 0;
}
int CrcRelease(void* context) {
    delete static_cast<uint32_t*>(context);
    return 0;
}
const ChecksumTable kCrc = {CrcBegin, CrcUpdate, CrcFinish, CrcRelease};
const ChecksumTable kCrcFails = {CrcBeginFails, CrcUpdate, CrcFinish, CrcRelease};

const int kDummyTable[16] = {};

LRESULT OnNotify(HWND, unsigned message, WPARAM wParam, LPARAM lParam, void* context) {
    if (message != WM_CARD_NOTIFY) return 0;
    auto* block = static_cast<Block*>(context);
    const auto* p = reinterpret_cast<const ToolParam*>(lParam);
    block->notes.push_back({int(wParam), p->message, p->progress});
    return 0;
}

} // namespace

void RegisterImage(const std::string& path, std::vector<FakeItem> items) {
    std::lock_guard<std::mutex> lock(g_lock);
    auto* image = new Image;
    image->items = std::move(items);
    delete g_images[path];
    g_images[path] = image;
}

void UnregisterImage(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = g_images.find(path);
    if (it == g_images.end()) return;
    delete it->second;
    g_images.erase(it);
}

int OpenCount(const std::string& path, const std::string& main, const std::string& sub) {
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = g_images.find(path);
    if (it == g_images.end()) return 0;
    auto o = it->second->opens.find(main + "/" + sub);
    return o == it->second->opens.end() ? 0 : o->second;
}

int OpenHandles() {
    return g_handles.load();
}

const Decoder64Table* FakeDecoder() {
    return &kDecoder;
}
const CardDeviceTable* FakeCardDevice() {
    return &kCard;
}
const ChecksumTable* FakeChecksum() {
    return &kCrc;
}
const ChecksumTable* FailingChecksum() {
    return &kCrcFails;
}

std::vector<WriteCall> Writes(char letter) {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_cards[letter].calls;
}

void ResetWrites(char letter) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_cards[letter] = CardLog{};
}

void FailWritesAt(char letter, uint32_t sector, int error) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_cards[letter].failSector = sector;
    g_cards[letter].failError = error;
}

Block::Block(char letter, int burnMode, const std::string& workDir, const std::string& imagePath,
             const Decoder64Table* decoder, const CardDeviceTable* card, const ChecksumTable* crc) {
    param.version = TOOLPARAM_VERSION;
    param.size = sizeof(ToolParam);
    param.magic = TOOLPARAM_MAGIC;
    param.burnMode = burnMode;
    std::snprintf(param.workPath, sizeof param.workPath, "%s/%c", workDir.c_str(), letter);
    std::snprintf(param.imagePath, sizeof param.imagePath, "%s", imagePath.c_str());
    std::snprintf(param.scriptPath, sizeof param.scriptPath, "%s/script.cfg%c", workDir.c_str(),
                  letter);
    param.drive = letter;
    const char* ids[TOOLPARAM_INTERFACE_COUNT] = {VORLANE_IID_CHECKSUM,      VORLANE_IID_DECODER64,
                                                  VORLANE_IID_CARD_DEVICE,   VORLANE_IID_OSTRAND,
                                                  VORLANE_IID_CONFIG_PARSER, VORLANE_IID_SUM};
    const void* tables[TOOLPARAM_INTERFACE_COUNT] = {crc,         decoder,     card,
                                                     kDummyTable, kDummyTable, kDummyTable};
    for (int i = 0; i < TOOLPARAM_INTERFACE_COUNT; ++i) {
        std::memcpy(entries[i].id, ids[i], VORLANE_IID_LENGTH);
        entries[i].table = const_cast<void*>(tables[i]);
    }
    param.interfaces = entries;
    param.interfaceCount = TOOLPARAM_INTERFACE_COUNT;
    window = VpCreateWindow(OnNotify, this);
    param.notifyWindow = window;
    ResetWrites(letter);
}

Block::~Block() {
    VpDestroyWindow(window);
}

void Block::Attach(uint16_t mode) {
    info.version = SCRIPT_VERSION;
    info.mode = mode;
    info.steps = uint32_t(items.size());
    info.items = items.empty() ? nullptr : items.data();
    param.scriptInfo = &info;
    param.scriptInfoSize = sizeof(ScriptInfo);
}

bool Block::HasText(const std::string& text) const {
    for (const Note& n : notes)
        if (n.message.find(text) != std::string::npos) return true;
    return false;
}

ScriptItem MakeItem(const char* main, const char* sub, int32_t start, int32_t type,
                    const char* label) {
    ScriptItem item{};
    std::snprintf(item.main, sizeof item.main, "%s", main);
    std::snprintf(item.sub, sizeof item.sub, "%s", sub);
    item.start = start;
    item.type = type;
    std::snprintf(item.commen, sizeof item.commen, "%s", label);
    std::snprintf(item.commchs, sizeof item.commchs, "%s", label);
    return item;
}

} // namespace vorlane::test::burn
