// Module directory (components) and work directory (configuration and work files).
#include "VorlanePlatform.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int copyOut(const std::string& text, char* buffer, size_t size) {
    if (!buffer || size == 0) return EINVAL;
    if (text.size() + 1 > size) {
        buffer[0] = '\0';
        return ENAMETOOLONG;
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return 0;
}

std::string stripSlash(std::string dir) {
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}

std::string moduleDir() {
    const char* forced = std::getenv("VORLANE_MODULE_DIR");
    if (forced && *forced) return stripSlash(forced);
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return ".";
    exe[n] = '\0';
    std::string path(exe);
    size_t slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool makeDirs(const std::string& dir) {
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = dir.find('/', pos + 1);
        partial = dir.substr(0, pos);
        if (partial.empty()) continue;
        if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    return true;
}

bool copyFile(const std::string& from, const std::string& to) {
    FILE* in = std::fopen(from.c_str(), "rb");
    if (!in) return false;
    std::string temp = to + ".tmp" + std::to_string(getpid());
    FILE* out = std::fopen(temp.c_str(), "wb");
    if (!out) {
        std::fclose(in);
        return false;
    }
    char block[8192];
    size_t n;
    bool ok = true;
    while ((n = std::fread(block, 1, sizeof block, in)) > 0)
        if (std::fwrite(block, 1, n, out) != n) ok = false;
    std::fclose(in);
    if (std::fclose(out) != 0) ok = false;
    // link() keeps a copy made by a parallel process instead of replacing it.
    if (ok && link(temp.c_str(), to.c_str()) != 0 && errno != EEXIST) ok = false;
    unlink(temp.c_str());
    return ok;
}

std::string workDir() {
    std::string dir;
    const char* home = std::getenv("VORLANE_HOME");
    std::string module = moduleDir();
    if (home && *home) {
        dir = stripSlash(home);
    } else if (access(module.c_str(), W_OK) == 0) {
        dir = module;
    } else {
        const char* data = std::getenv("XDG_DATA_HOME");
        if (data && *data) {
            dir = stripSlash(data) + "/vorlanecard";
        } else {
            const char* user = std::getenv("HOME");
            dir = std::string(user && *user ? user : "/tmp") + "/.local/share/vorlanecard";
        }
    }
    makeDirs(dir);
    if (dir != module) {
        for (const char* shipped : {"config.cfg", "log.ini"}) {
            std::string target = dir + "/" + shipped;
            if (access(target.c_str(), F_OK) != 0) copyFile(module + "/" + shipped, target);
        }
    }
    return dir;
}

} // namespace

extern "C" {

int VpModuleDir(char* buffer, size_t size) {
    return copyOut(moduleDir(), buffer, size);
}

int VpWorkDir(char* buffer, size_t size) {
    return copyOut(workDir(), buffer, size);
}

int VpJoinPath(char* buffer, size_t size, const char* dir, const char* name) {
    if (!dir || !name) return EINVAL;
    std::string joined(dir);
    if (joined.empty() || joined.back() != '/') joined += '/';
    joined += name;
    return copyOut(joined, buffer, size);
}

int VpWorkPath(char* buffer, size_t size, const char* name) {
    return VpJoinPath(buffer, size, workDir().c_str(), name);
}

int VpModulePath(char* buffer, size_t size, const char* name) {
    return VpJoinPath(buffer, size, moduleDir().c_str(), name);
}

int VpEnterWorkDir(void) {
    return chdir(workDir().c_str()) == 0 ? 0 : errno;
}

} // extern "C"
