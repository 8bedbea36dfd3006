#include "Preparation.h"

#include "DriveDiscovery.h"
#include "EngineLog.h"
#include "VorlanePlatform.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

extern char** environ;

namespace vorlane::engine {
namespace {

const char kFile[] = "VorlaneCardDlg";

std::string joinCommandLine(const std::string& program, const std::vector<std::string>& args) {
    std::string line = program;
    for (const std::string& a : args)
        line += " " + a;
    return line;
}

// The partition node of a disk: sdb -> sdb1, mmcblk0 / loop3 / nvme0n1 -> ...p1.
std::string partitionNode(const std::string& device) {
    if (!device.empty() && device.back() >= '0' && device.back() <= '9') return device + "p1";
    return device + "1";
}

// The first non-empty line of a program's output, for a message line.
std::string firstLine(const std::string& output) {
    size_t start = output.find_first_not_of("\r\n \t");
    if (start == std::string::npos) return "no output";
    size_t end = output.find_first_of("\r\n", start);
    return output.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// A block device the kernel marks read-only (a write-protect switch, a
// read-only loop device) or a card file that cannot be written.
bool isReadOnly(const VpCardInfo& info) {
    if (info.kind != VpCardBlock) return access(info.path, W_OK) != 0;
    std::string path = info.path;
    std::string name = path.substr(path.rfind('/') + 1);
    FILE* f = std::fopen(("/sys/class/block/" + name + "/ro").c_str(), "r");
    if (!f) return false;
    int c = std::fgetc(f);
    std::fclose(f);
    return c == '1';
}

int clearEnds(char letter) {
    char error[512] = "";
    VpCard* card = VpCardOpen(letter, 1, error, sizeof error);
    if (!card) return errno ? errno : EIO;
    const uint64_t size = VpCardSize(card);
    const uint64_t span = std::min<uint64_t>(1 << 20, size);
    std::vector<char> zeros(static_cast<size_t>(span), 0);
    int result = VpCardWrite(card, 0, zeros.data(), zeros.size());
    if (result == 0 && size > span)
        result = VpCardWrite(card, size - span, zeros.data(), zeros.size());
    int closed = VpCardClose(card);
    return result ? result : closed;
}

} // namespace

std::string ExecuteCmd(const std::string& program, const std::vector<std::string>& args,
                       int* exitCode, const std::string* input) {
    static const char kFunction[] = "CVorlaneCardDlg::ExecuteCmd";
    if (exitCode) *exitCode = -1;
    std::string commandLine = joinCommandLine(program, args);
    std::string result = "failed";
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        ENGINE_ERROR(kFile, kFunction, "Create pipe failed.");
        return result;
    }
    int in[2] = {-1, -1};
    if (input && pipe2(in, O_CLOEXEC) != 0) {
        ENGINE_ERROR(kFile, kFunction, "Create pipe failed.");
        close(out[0]);
        close(out[1]);
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    if (input)
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    else
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    size_t slash = program.rfind('/');
    std::string directory = slash == std::string::npos ? std::string() : program.substr(0, slash);
    if (slash == 0) directory = "/";
    if (!directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());

    std::vector<std::string> argvText;
    argvText.push_back(program);
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argvText)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    ENGINE_INFO(kFile, kFunction, "Being Run cmd: [%s]", commandLine.c_str());
    pid_t pid = 0;
    // The child runs in the program's directory, so a relative program path
    // is made absolute first.
    std::string executable = program;
    if (!directory.empty() && program[0] != '/') {
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd)) executable = std::string(cwd) + "/" + program;
    }
    int rc = posix_spawnp(&pid, executable.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (input) close(in[0]);
    if (rc != 0) {
        SetLastError(static_cast<unsigned>(rc));
        ENGINE_ERROR(kFile, kFunction, "Create process failed.");
        close(out[0]);
        if (input) close(in[1]);
        return result;
    }
    ENGINE_INFO(kFile, kFunction, "Waiting for process id = 0x%08x", static_cast<unsigned>(pid));
    result.clear();
    if (input) {
        // A child that exits early must not kill us with SIGPIPE: the signal
        // is blocked on this thread only and a pending one is consumed.
        sigset_t pipeSet, previous;
        sigemptyset(&pipeSet);
        sigaddset(&pipeSet, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSet, &previous);
        size_t done = 0;
        while (done < input->size()) {
            ssize_t n = write(in[1], input->data() + done, input->size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        struct timespec zero = {0, 0};
        while (sigtimedwait(&pipeSet, nullptr, &zero) == SIGPIPE) {
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        close(in[1]);
    }
    char buffer[10240];
    for (;;) {
        ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        result.append(buffer, static_cast<size_t>(n));
    }
    close(out[0]);
    int status = 0;
    int code = -1;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) code = WEXITSTATUS(status);
    ENGINE_ERROR(kFile, kFunction, "Process [0x%08x] output: [%s],error:%d",
                 static_cast<unsigned>(pid), result.c_str(), static_cast<int>(GetLastError()));
    ENGINE_INFO(kFile, kFunction, "End Run cmd: [%s], exitcode:%d", commandLine.c_str(), code);
    if (exitCode) *exitCode = code;
    return result;
}

int CopyFileExtents(const std::string& source, char letter, uint64_t offset) {
    int fd = open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    char error[512] = "";
    VpCard* card = VpCardOpen(letter, 1, error, sizeof error);
    if (!card) {
        int e = errno;
        close(fd);
        return e ? e : EIO;
    }
    struct stat st;
    int result = fstat(fd, &st) == 0 ? 0 : errno;
    const off_t end = st.st_size;
    std::vector<char> buffer(1 << 20);
    off_t position = 0;
    while (result == 0 && position < end) {
        off_t data = lseek(fd, position, SEEK_DATA);
        if (data < 0) {
            if (errno != ENXIO) result = errno; // ENXIO: only a hole is left
            break;
        }
        off_t hole = lseek(fd, data, SEEK_HOLE);
        if (hole < 0) hole = end;
        for (off_t at = data; result == 0 && at < hole;) {
            size_t want =
                static_cast<size_t>(std::min<off_t>(hole - at, static_cast<off_t>(buffer.size())));
            ssize_t n = pread(fd, buffer.data(), want, at);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                result = n < 0 ? errno : EIO;
                break;
            }
            result = VpCardWrite(card, offset + static_cast<uint64_t>(at), buffer.data(),
                                 static_cast<size_t>(n));
            at += n;
        }
        position = hole;
    }
    int closeResult = VpCardClose(card);
    close(fd);
    return result ? result : closeResult;
}

int PrepareCardExfat(char letter, std::string* detail) {
    static const char kFunction[] = "CVorlaneCardDlg::PrepareCardExfat";
    auto fail = [&](int code, const std::string& why) {
        if (detail) *detail = why;
        ENGINE_ERROR(kFile, kFunction, "%c: %s", letter, why.c_str());
        return code;
    };
    VpCardInfo info;
    if (VpDriveLookup(letter, &info) != 0) return fail(kPrepareNoCard, "no card with this letter");
    const std::string device = info.path;
    const uint64_t sectors = info.sizeBytes / 512;
    if (sectors <= kExfatFirstSector + 2048)
        return fail(kPrepareTooSmall, device + ": the card is too small for an exFAT partition");
    const bool block = info.kind == VpCardBlock;
    if (block) {
        std::string disk = device.substr(device.rfind('/') + 1);
        if (vorlane::platform::UnmountPartitions(disk) != 0)
            return fail(kPrepareUnmount, device + ": a mounted partition could not be unmounted");
    }
    // Like a disk "clean": the first and the last MiB are zeroed, so that no
    // boot loader, magic block or old table outlives the new layout.
    if (int e = clearEnds(letter)) {
        if (isReadOnly(info))
            return fail(kPrepareClear, device + ": the card is read-only (write-protected)");
        return fail(kPrepareClear, device + ": clearing the card failed: " + std::strerror(e));
    }
    // One primary partition of type 0x07 from sector 2048 to the end.
    const std::string script = "label: dos\nstart=2048, type=7\n";
    int code = -1;
    std::string output = ExecuteCmd(
        "sfdisk", {"--no-reread", "--no-tell-kernel", "-q", "-w", "always", "-W", "always", device},
        &code, &script);
    if (code != 0) return fail(kPreparePartition, device + ": sfdisk failed: " + firstLine(output));

    const uint64_t partSectors = sectors - kExfatFirstSector;
    if (block) {
        // The node appears shortly after the kernel re-read the table; a
        // device that cannot re-read it (no partition scanning) gets none.
        bool reread = VpCardRereadPartitions(letter) == 0;
        std::string node = partitionNode(device);
        struct stat st;
        for (int i = 0; reread && i < 50 && (stat(node.c_str(), &st) != 0 || !S_ISBLK(st.st_mode));
             ++i)
            Sleep(100);
        if (stat(node.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
            output = ExecuteCmd("mkfs.exfat", {node}, &code);
            if (code != 0)
                return fail(kPrepareFormat, node + ": mkfs.exfat failed: " + firstLine(output));
            return 0;
        }
        // No partition node (for example a loop device without partition
        // scanning): build the file system beside the card as below.
    }
    char temp[VORLANE_MAX_PATH];
    std::string name = std::string("exfat-") + letter + ".tmp";
    if (VpWorkPath(temp, sizeof temp, name.c_str()) != 0)
        return fail(kPrepareTempFile, "work directory path too long");
    int fd = open(temp, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return fail(kPrepareTempFile, std::string(temp) + ": " + std::strerror(errno));
    int truncated = ftruncate(fd, static_cast<off_t>(partSectors * 512));
    int truncateError = errno;
    close(fd);
    if (truncated != 0) {
        unlink(temp);
        return fail(kPrepareTempFile, std::string(temp) + ": " + std::strerror(truncateError));
    }
    output = ExecuteCmd("mkfs.exfat", {temp}, &code);
    if (code != 0) {
        unlink(temp);
        return fail(kPrepareFormat, device + ": mkfs.exfat failed: " + firstLine(output));
    }
    int copied = CopyFileExtents(temp, letter, kExfatFirstSector * 512);
    unlink(temp);
    if (copied != 0) return fail(kPrepareCopy, device + ": " + std::strerror(copied));
    if (block) VpCardRereadPartitions(letter);
    return 0;
}

} // namespace vorlane::engine
