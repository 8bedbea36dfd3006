#include "FastLog.h"

#include "VorlanePlatform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace vorlane::tallyra {

namespace {

constexpr const char* kLineFormat = "[mmdd hh:mm:ss.uuuu|threadid|file|line|function]msg";

std::string cut(const char* text, size_t limit) {
    std::string s = text ? text : "";
    if (s.size() > limit) s.resize(limit);
    return s;
}

std::string computerName() {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) return "";
    return cut(host, 15);
}

} // namespace

std::string DefaultLogDirectory() {
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) return "log_directory";
    return std::string(cwd) + "/log_directory";
}

CFileOutput::CFileOutput(const char* directory, const char* prefix, int32_t maxSize)
    : m_maxSize(maxSize) {
    m_directory = cut(directory, kLogTextSize - 1);
    if (m_directory.empty()) m_directory = DefaultLogDirectory();
    m_prefix = cut(prefix, kLogTextSize - 1);
    if (m_prefix.empty()) m_prefix = "log";
    // One level only: a missing parent makes the output silent.
    mkdir(m_directory.c_str(), 0755);
    if (m_directory.back() != '/') m_directory += '/';

    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04d%02d%02d_%02d%02d%02d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    m_stamp = stamp;
    m_startTick = GetTickCount();

    std::lock_guard<std::mutex> lock(m_lock);
    OpenNextFile();
}

CFileOutput::~CFileOutput() {
    if (m_file >= 0) close(m_file);
    for (int fd : m_retired)
        close(fd);
}

void CFileOutput::WriteAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return; // a failed write is not reported
        data += n;
        length -= static_cast<size_t>(n);
    }
}

void CFileOutput::OpenNextFile() {
    std::string name = m_directory + m_prefix + "_" + m_stamp;
    if (m_opened > 0) name += "_" + std::to_string(m_opened);
    name += ".log";
    // Opened for appending, never truncated: two loggers with the same
    // prefix started within one second share the file instead of wiping
    // each other's lines.
    int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return; // silent; a later rotation tries again
    ++m_opened;
    if (m_file >= 0) {
        // Lines are written under m_lock, so no thread still writes to a
        // retired file: those retired by earlier rotations are closed now,
        // which keeps at most one of them open however fast files rotate.
        for (int old : m_retired)
            close(old);
        m_retired.clear();
        m_retired.push_back(m_file);
    }
    m_file = fd;

    time_t now = time(nullptr);
    struct tm t {};
    localtime_r(&now, &t);
    char header[512];
    int n = std::snprintf(header, sizeof header,
                          "Log file create at: %04d/%02d/%02d %02d:%02d:%02d\r\n"
                          "Running on machine: %s\r\n"
                          "Log line format: %s\r\n",
                          t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                          computerName().c_str(), kLineFormat);
    if (n < 0) n = 0;
    if (n >= static_cast<int>(sizeof header)) n = sizeof header - 1;
    WriteAll(fd, header, static_cast<size_t>(n));
    m_bytes = n;
}

int CFileOutput::Write(const char* line, int length) {
    if (!line || length < 0) return 0;
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_maxSize < m_bytes + length) OpenNextFile();
    if (m_file < 0) return 2;
    WriteAll(m_file, line, static_cast<size_t>(length));
    m_bytes += length;
    return 0;
}

} // namespace vorlane::tallyra
