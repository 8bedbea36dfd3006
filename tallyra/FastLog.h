// The logger, its outputs, the line formatter and the fatal-record notifier.
#pragma once

#include "LogConfig.h"

#include <cstdarg>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vorlane::tallyra {

// A line with its length; `Write` hands it on unchanged.
class CLogBase {
  public:
    virtual ~CLogBase() = default;
    virtual uintptr_t GetId() const = 0;
    virtual int Write(const char* line, int length) = 0;
};

class COutputBase {
  public:
    virtual ~COutputBase() = default;
    virtual int Skip(const char*, int) { return 0; }
    virtual int Write(const char* line, int length) = 0;
    virtual int AfterWrite(int result, const char*, int) { return result; }
};

// One rotating log file. Every line is one write() to a file opened for
// appending, and the size check, the rotation and the write of one line
// happen under the output's lock: threads never interleave parts of lines,
// and a retired file is never written again once the lock is released.
class CFileOutput : public COutputBase {
  public:
    CFileOutput(const char* directory, const char* prefix, int32_t maxSize);
    ~CFileOutput() override;
    CFileOutput(const CFileOutput&) = delete;
    CFileOutput& operator=(const CFileOutput&) = delete;

    // 0, or 2 when no file is open.
    int Write(const char* line, int length) override;

  private:
    void OpenNextFile(); // with m_lock held
    void WriteAll(int fd, const char* data, size_t length);

    std::mutex m_lock;
    std::string m_directory; // ends with "/"
    std::string m_prefix;
    std::string m_stamp; // start time, "%04d%02d%02d_%02d%02d%02d"
    uint32_t m_startTick;
    int m_file = -1;
    std::vector<int> m_retired; // rotated-out files, closed at a later rotation
    int64_t m_maxSize;
    int64_t m_bytes = 0;
    int m_opened = 0;
};

class CDbgviewOutput : public COutputBase {
  public:
    int Write(const char* line, int length) override;
};

// Writes to the process-wide "MAIN" file under the process-wide lock.
class CCombineOutput : public COutputBase {
  public:
    explicit CCombineOutput(const char* rootDirectory);
    int Write(const char* line, int length) override;
};

class CFastLog : public CLogBase {
  public:
    CFastLog(uintptr_t id, const LogConfig& config);
    uintptr_t GetId() const override { return m_id; }
    int Write(const char* line, int length) override;

  private:
    uintptr_t m_id;
    LogConfig m_config;
    std::vector<std::unique_ptr<COutputBase>> m_outputs;
};

// Formats one record into the calling thread's own buffers.
class CLayoutBase {
  public:
    virtual ~CLayoutBase() = default;
    // The line (valid until this thread formats its next one) and its length.
    virtual const char* Format(const char* tag, const char* file, int line, const char* function,
                               const char* format, va_list args, int* length)
        __attribute__((format(printf, 6, 0)));
};

class CDebugBase {
  public:
    explicit CDebugBase(uintptr_t id) : m_id(id) {}
    virtual ~CDebugBase() = default;
    virtual int Notify(int level, const char* line, int length) = 0;
    uintptr_t GetId() const { return m_id; }

  private:
    uintptr_t m_id;
};

class CNullDebug : public CDebugBase {
  public:
    using CDebugBase::CDebugBase;
    int Notify(int, const char*, int) override { return 0; }
};

class CMessageBoxDebug : public CDebugBase {
  public:
    CMessageBoxDebug(uintptr_t id, const char* prefix);
    int Notify(int level, const char* line, int length) override;

  private:
    std::string m_prefix;
};

// Default log directory: the current directory + "/log_directory".
std::string DefaultLogDirectory();

} // namespace vorlane::tallyra
