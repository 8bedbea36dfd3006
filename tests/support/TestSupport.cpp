#include "TestSupport.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>

namespace vorlane::test {

std::string MakeTempDir(const std::string& tag) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/vorlane-" + tag + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) return "";
    return buffer.data();
}

void RemoveTree(const std::string& path) {
    if (path.size() < 8 || path.find("/vorlane-") == std::string::npos) return;
    RunCommand("rm -rf '" + path + "'");
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const void* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

bool FileExists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

uint32_t Crc32(const void* data, size_t size, uint32_t crc) {
    static uint32_t table[256];
    static bool ready = false;
    if (!ready) {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[i] = c;
        }
        ready = true;
    }
    const auto* p = static_cast<const uint8_t*>(data);
    crc = ~crc;
    for (size_t i = 0; i < size; ++i) crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

std::vector<uint8_t> RandomBytes(size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> out(size);
    for (auto& b : out) b = static_cast<uint8_t>(rng());
    return out;
}

void PutLE16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}
void PutLE32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}
void PutLE64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i) b[at + i] = uint8_t(v >> (8 * i));
}
uint32_t GetLE32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

int RunCommand(const std::string& command, std::string* output) {
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return -1;
    char buffer[4096];
    std::string text;
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
    int status = pclose(pipe);
    if (output) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool HaveTool(const std::string& name) {
    return RunCommand("command -v " + name + " >/dev/null") == 0;
}

Capture::Capture() {
    VpSetDebugHook(&Capture::OnDebug, this);
    VpSetMessageBoxHandler(&Capture::OnBox, this);
}

Capture::~Capture() {
    VpSetDebugHook(nullptr, nullptr);
    VpSetMessageBoxHandler(nullptr, nullptr);
}

void Capture::OnDebug(const char* text, void* self) {
    auto* c = static_cast<Capture*>(self);
    std::lock_guard<std::mutex> lock(c->m_lock);
    c->m_debug.emplace_back(text);
}

int Capture::OnBox(HWND, const char* text, const char* caption, unsigned type, void* self) {
    auto* c = static_cast<Capture*>(self);
    std::lock_guard<std::mutex> lock(c->m_lock);
    c->m_boxes.push_back({text, caption, type});
    return c->m_answer;
}

std::vector<std::string> Capture::Debug() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_debug;
}

bool Capture::DebugContains(const std::string& text) const {
    std::lock_guard<std::mutex> lock(m_lock);
    for (const auto& line : m_debug)
        if (line.find(text) != std::string::npos) return true;
    return false;
}

std::vector<Capture::Box> Capture::Boxes() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_boxes;
}

void Capture::Clear() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_debug.clear();
    m_boxes.clear();
}

void VorlaneTest::SetUp() {
    m_root = MakeTempDir("test");
    ASSERT_FALSE(m_root.empty());
    m_home = m_root + "/home";
    m_cards = m_root + "/cards";
    mkdir(m_home.c_str(), 0755);
    mkdir(m_cards.c_str(), 0755);
    setenv("VORLANE_HOME", m_home.c_str(), 1);
    setenv("VORLANE_CARDS_DIR", m_cards.c_str(), 1);
    setenv("VORLANE_CARDS_ONLY", "1", 1);
    if (!std::getenv("VORLANE_MODULE_DIR")) setenv("VORLANE_MODULE_DIR", VORLANE_TEST_MODULE_DIR, 1);
    VpDriveRefresh();
    m_capture.Clear();
}

void VorlaneTest::TearDown() {
    const char* keep = std::getenv("VORLANE_KEEP_TEMP");
    if (!(keep && std::strcmp(keep, "1") == 0 && HasFailure())) RemoveTree(m_root);
}

std::string VorlaneTest::MakeVirtualCard(char letter, uint64_t bytes) {
    std::string path = m_cards + "/" + letter + ".card";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
        if (ftruncate(fd, static_cast<off_t>(bytes)) != 0) path.clear();
        close(fd);
    }
    VpDriveRefresh();
    return path;
}

std::string VorlaneTest::ModulePath(const std::string& name) const {
    const char* dir = std::getenv("VORLANE_MODULE_DIR");
    return std::string(dir && *dir ? dir : VORLANE_TEST_MODULE_DIR) + "/" + name;
}

const PluginManTable* PluginCenter() {
    static const PluginManTable* table = [] {
        const char* dir = std::getenv("VORLANE_MODULE_DIR");
        std::string path = std::string(dir && *dir ? dir : VORLANE_TEST_MODULE_DIR) + "/Hubrix.so";
        void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!lib) return static_cast<const PluginManTable*>(nullptr);
        auto get = reinterpret_cast<GetPluginManFn>(dlsym(lib, "GetPluginMan"));
        return get ? get() : nullptr;
    }();
    return table;
}

void* LoadTable(const char* id, const char* file) {
    const PluginManTable* man = PluginCenter();
    if (!man) return nullptr;
    PluginLoadRecord record{};
    std::strncpy(record.id, id, sizeof record.id - 1);
    std::strncpy(record.path, file, sizeof record.path - 1);
    if (!man->LoadPlugin(&record)) return nullptr;
    return man->GetPluginInterface(id);
}

} // namespace vorlane::test
