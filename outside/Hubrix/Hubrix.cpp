// Hubrix.so: the plug-in centre. Loads plug-ins from load records and hands
// out their function tables by interface id. One manager per process: the
// library is never unmapped (linked with -z nodelete), so every dlopen of it
// returns the same table and the same loaded plug-ins.
//
// Results: LoadPlugin 1 when loaded (or already loaded under that id), 0 on
// failure with one debug-output line naming the file and the reason.
// UnloadPlugin: 0 unloaded; 1 no plug-in is loaded under that id; 2 dlclose
// failed (the plug-in is forgotten all the same).
#include "Export.h"
#include "PluginCenter.h"
#include "VorlanePlatform.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace {

// What identifies the file a library was mapped from.
struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    long long mtimeNs = 0;
    bool operator==(const FileId& o) const {
        return dev == o.dev && ino == o.ino && size == o.size && mtimeNs == o.mtimeNs;
    }
};

struct Plugin {
    void* library = nullptr;
    void* table = nullptr;
    std::string path;
};

// Never destroyed: plug-ins release their own plug-ins from their static
// destructors at process exit, after this library's would have run.
// Recursive: a plug-in may load further plug-ins while it is being loaded.
std::recursive_mutex& g_lock = *new std::recursive_mutex;
std::map<std::string, Plugin>& g_plugins = *new std::map<std::string, Plugin>;
// For every path loaded by name: the file that the resident library came from.
std::map<std::string, FileId>& g_mapped = *new std::map<std::string, FileId>;

bool StatFile(const std::string& path, FileId* id) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;
    id->dev = st.st_dev;
    id->ino = st.st_ino;
    id->size = st.st_size;
    id->mtimeNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    return true;
}

void Report(const std::string& path, const char* why) {
    VpDebugPrintf(1024, "Hubrix: cannot load plug-in %s: %s\r\n", path.c_str(),
                  why && *why ? why : "unknown error");
}

// dlopen keeps a library resident by name while anything holds it (or when
// it cannot be unloaded at all), and would hand the old code back after the
// file was replaced. Map a private copy of the new file in that case.
void* OpenCopy(const std::string& path, std::string* why) {
    const char* tmp = std::getenv("TMPDIR");
    std::string name = std::string(tmp && *tmp ? tmp : "/tmp") + "/hubrix-plugin-XXXXXX";
    int out = mkstemp(&name[0]);
    if (out < 0) {
        *why = std::string("cannot create a private copy: ") + std::strerror(errno);
        return nullptr;
    }
    int in = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    bool ok = in >= 0;
    char buffer[65536];
    while (ok) {
        ssize_t n = read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        for (ssize_t done = 0; ok && done < n;) {
            ssize_t w = write(out, buffer + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            ok = w > 0;
            done += w > 0 ? w : 0;
        }
    }
    if (!ok) *why = std::string("cannot copy the file: ") + std::strerror(errno);
    if (in >= 0) close(in);
    close(out);
    void* library = nullptr;
    if (ok) {
        library = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!library) *why = dlerror();
    }
    unlink(name.c_str()); // the mapping stays
    return library;
}

int LoadPlugin(const PluginLoadRecord* record) {
    if (!record) return 0;
    const std::string id(record->id, strnlen(record->id, sizeof record->id));
    std::string path(record->path, strnlen(record->path, sizeof record->path));
    if (id.empty() || path.empty()) {
        Report(path, "empty interface id or file name");
        return 0;
    }
    if (path.find('/') == std::string::npos) {
        char full[4096];
        if (VpModulePath(full, sizeof full, path.c_str()) != 0) {
            Report(path, "module directory path too long");
            return 0;
        }
        path = full;
    }

    std::lock_guard<std::recursive_mutex> guard(g_lock);
    if (g_plugins.count(id)) return 1;

    FileId current;
    const bool known = StatFile(path, &current); // when missing, dlopen says why
    dlerror();
    void* library = nullptr;
    bool mappedByName = true;
    if (void* resident = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD)) {
        auto mapped = g_mapped.find(path);
        if (known && mapped != g_mapped.end() && !(mapped->second == current)) {
            std::string why;
            library = OpenCopy(path, &why);
            mappedByName = false;
            dlclose(resident);
            if (!library) {
                Report(path, why.c_str());
                return 0;
            }
        } else {
            library = resident;
        }
    } else {
        library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!library) {
            Report(path, dlerror());
            return 0;
        }
    }

    auto getInterface = reinterpret_cast<GetInterfaceFn>(dlsym(library, "GetInterface"));
    void* table = getInterface ? getInterface(id.c_str()) : nullptr;
    auto query = reinterpret_cast<QueryInterfaceFn>(dlsym(library, "QueryInterface"));
    const char* why = !getInterface ? "no export GetInterface"
                      : !table      ? "GetInterface gave no table for the interface id"
                      : query && query(id.c_str()) != 0 ? "QueryInterface refused the interface id"
                                                        : nullptr;
    if (why) {
        VpDebugPrintf(1024, "Hubrix: cannot load plug-in %s: %s (%s)\r\n", path.c_str(), why,
                      id.c_str());
        dlclose(library);
        return 0;
    }
    if (known && mappedByName && !g_mapped.count(path)) g_mapped[path] = current;
    // Loaded again while this one was loading (by the plug-in itself): keep the first.
    if (g_plugins.count(id)) {
        dlclose(library);
        return 1;
    }
    g_plugins[id] = Plugin{library, table, path};
    return 1;
}

void* GetPluginInterface(const char* id) {
    if (!id) return nullptr;
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    auto it = g_plugins.find(id);
    return it == g_plugins.end() ? nullptr : it->second.table;
}

int UnloadPlugin(const char* id) {
    if (!id) return 1;
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    auto it = g_plugins.find(id);
    if (it == g_plugins.end()) return 1;
    void* library = it->second.library;
    const std::string path = it->second.path;
    g_plugins.erase(it);
    const int result = dlclose(library) == 0 ? 0 : 2;
    // Unmapped for real: the next load by name maps whatever file is there then.
    if (void* resident = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD))
        dlclose(resident);
    else
        g_mapped.erase(path);
    return result;
}

const PluginManTable g_manager = {LoadPlugin, GetPluginInterface, nullptr, nullptr, nullptr,
                                  nullptr,    UnloadPlugin};

} // namespace

VORLANE_EXPORT const PluginManTable* GetPluginMan(void) {
    return &g_manager;
}
