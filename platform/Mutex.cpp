// Named mutexes: recursive, process-wide by name. "BurnCard" doubles as the
// single-instance marker through an exclusive flock.
#include "VorlanePlatform.h"

#include <sys/file.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace {

struct NamedMutex {
    std::mutex lock;
    std::condition_variable released;
    std::thread::id owner;
    unsigned depth = 0;
    int handles = 0;
    int lockFile = -1;
};

struct MutexHandle {
    uint32_t magic = 0x4D555458; // "MUTX"
    std::string name;
    std::shared_ptr<NamedMutex> mutex;
};

std::mutex g_namesLock;
std::map<std::string, std::shared_ptr<NamedMutex>> g_names;

const char kInstanceName[] = "BurnCard";

std::string instanceLockPath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string dir = (runtime && *runtime && access(runtime, W_OK) == 0) ? runtime : "/tmp";
    return dir + "/VorlaneCard.lock";
}

bool acquireOwnership(NamedMutex& m, unsigned milliseconds) {
    std::unique_lock<std::mutex> lock(m.lock);
    auto self = std::this_thread::get_id();
    if (m.depth > 0 && m.owner == self) {
        ++m.depth;
        return true;
    }
    auto free = [&] { return m.depth == 0; };
    if (milliseconds == INFINITE) {
        m.released.wait(lock, free);
    } else if (!m.released.wait_for(lock, std::chrono::milliseconds(milliseconds), free)) {
        return false;
    }
    m.owner = self;
    m.depth = 1;
    return true;
}

MutexHandle* asMutex(void* handle) {
    auto* h = static_cast<MutexHandle*>(handle);
    return (h && h->magic == 0x4D555458) ? h : nullptr;
}

} // namespace

extern "C" {

void* CreateMutexA(void* /*attributes*/, int initialOwner, const char* name) {
    auto* handle = new MutexHandle;
    bool existed = false;
    if (name && *name) {
        std::lock_guard<std::mutex> lock(g_namesLock);
        auto& slot = g_names[name];
        if (!slot) slot = std::make_shared<NamedMutex>();
        existed = slot->handles > 0;
        if (!existed && std::string(name) == kInstanceName && slot->lockFile < 0) {
            int fd = open(instanceLockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
            if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
                close(fd);
                existed = true; // another process holds the marker
            } else {
                slot->lockFile = fd;
            }
        }
        ++slot->handles;
        handle->name = name;
        handle->mutex = slot;
    } else {
        handle->mutex = std::make_shared<NamedMutex>();
        handle->mutex->handles = 1;
    }
    if (initialOwner) acquireOwnership(*handle->mutex, INFINITE);
    errno = existed ? static_cast<int>(ERROR_ALREADY_EXISTS) : 0;
    return handle;
}

unsigned WaitForSingleObject(void* handle, unsigned milliseconds) {
    MutexHandle* h = asMutex(handle);
    if (!h) return 0xFFFFFFFFu; // WAIT_FAILED
    return acquireOwnership(*h->mutex, milliseconds) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

int ReleaseMutex(void* handle) {
    MutexHandle* h = asMutex(handle);
    if (!h) return 0;
    NamedMutex& m = *h->mutex;
    std::lock_guard<std::mutex> lock(m.lock);
    if (m.depth == 0 || m.owner != std::this_thread::get_id()) return 0;
    if (--m.depth == 0) {
        m.owner = std::thread::id();
        m.released.notify_all();
    }
    return 1;
}

int CloseHandle(void* handle) {
    MutexHandle* h = asMutex(handle);
    if (!h) return 0;
    if (!h->name.empty()) {
        std::lock_guard<std::mutex> lock(g_namesLock);
        if (--h->mutex->handles == 0 && h->mutex->lockFile >= 0) {
            close(h->mutex->lockFile);
            h->mutex->lockFile = -1;
        }
    }
    h->magic = 0;
    delete h;
    return 1;
}

} // extern "C"
