// Test fixtures shared by every test executable.
#pragma once

#include "PluginCenter.h"
#include "VorlanePlatform.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace vorlane::test {

// A fresh directory per test, removed afterwards (unless the test failed and
// VORLANE_KEEP_TEMP=1).
std::string MakeTempDir(const std::string& tag);
void RemoveTree(const std::string& path);

// Binary helpers.
std::vector<uint8_t> ReadFile(const std::string& path);
void WriteFile(const std::string& path, const void* data, size_t size);
inline void WriteFile(const std::string& path, const std::string& text) {
    WriteFile(path, text.data(), text.size());
}
inline void WriteFile(const std::string& path, const std::vector<uint8_t>& data) {
    WriteFile(path, data.data(), data.size());
}
bool FileExists(const std::string& path);
uint32_t Crc32(const void* data, size_t size, uint32_t crc = 0);
std::vector<uint8_t> RandomBytes(size_t size, uint32_t seed);
void PutLE16(std::vector<uint8_t>& b, size_t at, uint16_t v);
void PutLE32(std::vector<uint8_t>& b, size_t at, uint32_t v);
void PutLE64(std::vector<uint8_t>& b, size_t at, uint64_t v);
uint32_t GetLE32(const uint8_t* p);
// Runs a shell command; returns its exit status and (optionally) output.
int RunCommand(const std::string& command, std::string* output = nullptr);
bool HaveTool(const std::string& name);

// Captures debugger output and answers message boxes (recording them).
class Capture {
public:
    Capture();
    ~Capture();
    std::vector<std::string> Debug() const;
    bool DebugContains(const std::string& text) const;
    struct Box {
        std::string text, caption;
        unsigned type;
    };
    std::vector<Box> Boxes() const;
    void SetAnswer(int answer) { m_answer = answer; }
    void Clear();

private:
    static void OnDebug(const char* text, void* self);
    static int OnBox(HWND, const char* text, const char* caption, unsigned type, void* self);
    mutable std::mutex m_lock;
    std::vector<std::string> m_debug;
    std::vector<Box> m_boxes;
    int m_answer = IDOK;
};

// Base fixture: private VORLANE_HOME and VORLANE_CARDS_DIR, captured output.
class VorlaneTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Creates a virtual card "<letter>.card" of `bytes` bytes (sparse file).
    std::string MakeVirtualCard(char letter, uint64_t bytes);
    std::string HomePath(const std::string& name) const { return m_home + "/" + name; }
    std::string ModulePath(const std::string& name) const;

    std::string m_root, m_home, m_cards;
    Capture m_capture;
};

// The plug-in centre of the module directory.
const PluginManTable* PluginCenter();
// Loads `file` (a bare name resolves in the module directory) for interface
// `id` through the plug-in centre; its table, or null.
void* LoadTable(const char* id, const char* file);

} // namespace vorlane::test
