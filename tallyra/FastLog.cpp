#include "FastLog.h"

#include "VorlanePlatform.h"

#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

namespace vorlane::tallyra {

namespace {

constexpr int32_t kCombinedFileLimit = 0xA00000; // 10 MiB per "MAIN" file
constexpr int32_t kDefaultMaxFileSize = 40000;

std::mutex g_combineLock;                // serialises every write to "MAIN"
std::unique_ptr<CFileOutput> g_combined; // created by the first combined logger

} // namespace

// ---- Outputs ---------------------------------------------------------------------

int CDbgviewOutput::Write(const char* line, int length) {
    if (!line || length <= 0) return 0;
    // LogWrite hands raw bytes that need not end with a NUL.
    std::string text(line, static_cast<size_t>(length));
    OutputDebugStringA(text.c_str());
    return 0;
}

CCombineOutput::CCombineOutput(const char* rootDirectory) {
    std::lock_guard<std::mutex> lock(g_combineLock);
    if (!g_combined) g_combined.reset(new CFileOutput(rootDirectory, "MAIN", kCombinedFileLimit));
}

int CCombineOutput::Write(const char* line, int length) {
    std::lock_guard<std::mutex> lock(g_combineLock);
    if (g_combined) g_combined->Write(line, length);
    return 0;
}

// ---- Logger ------------------------------------------------------------------------

CFastLog::CFastLog(uintptr_t id, const LogConfig& config) : m_id(id), m_config(config) {
    if (m_config.file) {
        // A limit of zero or less (a garbage "maxfilesize") would open a new
        // file for every line; it falls back to the default size.
        int32_t limit = m_config.maxfilesize > 0 ? m_config.maxfilesize : kDefaultMaxFileSize;
        m_outputs.emplace_back(new CFileOutput(m_config.rootDirectory, m_config.prefix, limit));
    }
    if (m_config.debugview) m_outputs.emplace_back(new CDbgviewOutput());
    if (m_config.logmode == LogModeCombind)
        m_outputs.emplace_back(new CCombineOutput(m_config.rootDirectory));
}

int CFastLog::Write(const char* line, int length) {
    for (auto& output : m_outputs) {
        if (output->Skip(line, length) != 0) continue;
        int result = output->Write(line, length);
        output->AfterWrite(result, line, length);
    }
    return 0;
}

// ---- Line formatter -------------------------------------------------------------------

namespace {

// Each thread formats into its own buffers, grown when a line needs more.
struct ThreadBuffers {
    char stamp[32]; // "mmdd hh:mm:ss.uuuu"
    std::vector<char> message;
    std::vector<char> line;
};
thread_local ThreadBuffers t_buffers;

void ensure(std::vector<char>& buffer, size_t size) {
    if (buffer.size() < size) buffer.resize(size);
}

} // namespace

const char* CLayoutBase::Format(const char* tag, const char* file, int line, const char* function,
                                const char* format, va_list args, int* length) {
    ThreadBuffers& b = t_buffers;
    unsigned long tid = static_cast<unsigned long>(syscall(SYS_gettid));
    struct timeval tv {};
    gettimeofday(&tv, nullptr);
    struct tm t {};
    time_t seconds = tv.tv_sec;
    localtime_r(&seconds, &t);

    // The message is measured first, so that it is never cut.
    int needed = 0;
    if (format) {
        va_list measure;
        va_copy(measure, args);
        needed = std::vsnprintf(nullptr, 0, format, measure);
        va_end(measure);
        if (needed < 0) needed = 0;
    }
    ensure(b.message, static_cast<size_t>(needed) + 1);
    b.message[0] = '\0';
    if (format && needed > 0) std::vsnprintf(b.message.data(), b.message.size(), format, args);

    std::snprintf(b.stamp, sizeof b.stamp, "%02d%02d %02d:%02d:%02d.%04d", t.tm_mon + 1, t.tm_mday,
                  t.tm_hour, t.tm_min, t.tm_sec, static_cast<int>(tv.tv_usec / 1000));

    static const char* const kLine = "[%s|%04lu|%s|%s|%05d|%s]%s\r\n";
    const char* tagText = tag ? tag : "";
    const char* fileText = file ? file : "";
    const char* functionText = function ? function : "";
    int total = std::snprintf(nullptr, 0, kLine, b.stamp, tid, tagText, fileText, line,
                              functionText, b.message.data());
    if (total < 0) total = 0;
    ensure(b.line, static_cast<size_t>(total) + 1);
    std::snprintf(b.line.data(), b.line.size(), kLine, b.stamp, tid, tagText, fileText, line,
                  functionText, b.message.data());
    if (length) *length = total;
    return b.line.data();
}

// ---- Notifiers ---------------------------------------------------------------------------

CMessageBoxDebug::CMessageBoxDebug(uintptr_t id, const char* prefix)
    : CDebugBase(id), m_prefix(prefix ? prefix : "") {
    if (m_prefix.size() > kLogTextSize - 1) m_prefix.resize(kLogTextSize - 1);
}

int CMessageBoxDebug::Notify(int level, const char* line, int) {
    if (level != 5) return 0;
    std::string caption = "致命错误--" + m_prefix;
    MessageBoxA(nullptr, line ? line : "", caption.c_str(), MB_OK);
    return 0;
}

} // namespace vorlane::tallyra
