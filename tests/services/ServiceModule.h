// Loads one outside service module from the module directory, the way the
// plug-in centre does: dlopen, then GetInterface(id).
#pragma once

#include "TestSupport.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>

namespace vorlane::test {

class ServiceModule {
  public:
    ServiceModule(const std::string& file, const char* id) {
        const char* dir = std::getenv("VORLANE_MODULE_DIR");
        std::string path = std::string(dir && *dir ? dir : VORLANE_TEST_MODULE_DIR) + "/" + file;
        m_lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!m_lib) {
            m_error = dlerror();
            return;
        }
        auto get = reinterpret_cast<GetInterfaceFn>(dlsym(m_lib, "GetInterface"));
        if (get) m_table = get(id);
    }
    ~ServiceModule() {
        if (m_lib) dlclose(m_lib);
    }
    ServiceModule(const ServiceModule&) = delete;
    ServiceModule& operator=(const ServiceModule&) = delete;

    template <class T> const T* Table() const { return static_cast<const T*>(m_table); }
    void* Symbol(const char* name) const { return m_lib ? dlsym(m_lib, name) : nullptr; }
    const std::string& Error() const { return m_error; }

  private:
    void* m_lib = nullptr;
    void* m_table = nullptr;
    std::string m_error;
};

// Reads `length` bytes at `offset` of a (possibly huge, sparse) file.
inline std::vector<uint8_t> ReadRange(const std::string& path, uint64_t offset, size_t length) {
    std::vector<uint8_t> data(length, 0);
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    ssize_t n = pread(fd, data.data(), length, off_t(offset));
    close(fd);
    if (n != ssize_t(length)) return {};
    return data;
}

inline bool WriteRange(const std::string& path, uint64_t offset, const void* data, size_t length) {
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ssize_t n = pwrite(fd, data, length, off_t(offset));
    close(fd);
    return n == ssize_t(length);
}

// Sector helpers for fixtures.
inline void PutMbrEntry(std::vector<uint8_t>& sector, int entry, uint8_t type, uint32_t first,
                        uint32_t count) {
    size_t at = 446 + 16 * size_t(entry);
    sector[at + 4] = type;
    PutLE32(sector, at + 8, first);
    PutLE32(sector, at + 12, count);
    sector[510] = 0x55;
    sector[511] = 0xAA;
}

} // namespace vorlane::test
