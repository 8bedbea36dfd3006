// vorlane: the command-line front end of the burn engine.
//
// Exit status: 0 when every card finished, 1 when any card failed (or the
// program could not start), 2 for usage errors and refused input.
#include "BurnEngine.h"
#include "CliObserver.h"
#include "DriveDiscovery.h"
#include "Settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace vorlane;
using engine::BurnEngine;
using engine::DriveRecord;

namespace {

const char kUsage[] =
    "usage: vorlane [--cards-dir DIR] [--json] [--yes] COMMAND [OPTIONS] [CARD ...]\n"
    "\n"
    "commands:\n"
    "  list                                   the cards: letter, device or file, model, capacity\n"
    "  burn --image FILE [--kind product|startup] [--loop N] [--loop-pause MS] [CARD ...]\n"
    "  restore [--loop N] [--loop-pause MS] [CARD ...]\n"
    "                                         back to a plain exFAT storage card\n"
    "  settings [--tool-source NAME|--no-tool-source]\n"
    "           [--first-part-size MIB|--no-first-part-size]\n"
    "\n"
    "CARD is a drive letter, a device path or a virtual card file; without CARD\n"
    "every listed card is written. --cards-dir DIR offers the virtual cards\n"
    "DIR/<letter>.card (and no other disk). Block devices are written only after\n"
    "confirmation or with --yes.\n";

int usage(const char* problem) {
    if (problem) std::fprintf(stderr, "vorlane: %s\n", problem);
    std::fputs(kUsage, stderr);
    return 2;
}

std::string realPath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

struct Options {
    std::string command;
    std::string cardsDir;
    bool json = false;
    bool yes = false;
    std::string image;
    std::string kind = "product";
    int loop = -1;
    long loopPause = -1;
    std::vector<std::string> cards;
    cli::SettingsRequest settings;
};

bool parseNumber(const char* text, long max, long* out) {
    if (!text || !*text) return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno || *end || v < 0 || v > max) return false;
    *out = v;
    return true;
}

int parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "vorlane: %s needs a value\n", name);
                return nullptr;
            }
            return argv[++i];
        };
        if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (a == "--cards-dir") {
            const char* v = value("--cards-dir");
            if (!v) return 2;
            o.cardsDir = v;
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--yes" || a == "-y") {
            o.yes = true;
        } else if (a == "--image") {
            const char* v = value("--image");
            if (!v) return 2;
            o.image = v;
        } else if (a == "--kind") {
            const char* v = value("--kind");
            if (!v) return 2;
            o.kind = v;
            if (o.kind != "product" && o.kind != "startup")
                return usage("--kind is product or startup");
        } else if (a == "--loop") {
            long n = 0;
            if (!parseNumber(i + 1 < argc ? argv[i + 1] : nullptr, 100000, &n) || n < 1)
                return usage("--loop needs a number of cycles (1 or more)");
            ++i;
            o.loop = static_cast<int>(n);
        } else if (a == "--loop-pause") {
            long n = 0;
            if (!parseNumber(i + 1 < argc ? argv[i + 1] : nullptr, 3600000, &n))
                return usage("--loop-pause needs milliseconds");
            ++i;
            o.loopPause = n;
        } else if (a == "--tool-source") {
            const char* v = value("--tool-source");
            if (!v) return 2;
            o.settings.toolSource = 1;
            o.settings.toolSourceName = v;
        } else if (a == "--no-tool-source") {
            o.settings.toolSource = 0;
        } else if (a == "--first-part-size") {
            const char* v = value("--first-part-size");
            if (!v) return 2;
            o.settings.firstPartSize = 1;
            o.settings.firstPartSizeText = v;
        } else if (a == "--no-first-part-size") {
            o.settings.firstPartSize = 0;
        } else if (a.size() > 1 && a[0] == '-') {
            return usage(("unknown option " + a).c_str());
        } else if (o.command.empty()) {
            o.command = a;
        } else {
            o.cards.push_back(a);
        }
    }
    if (o.command.empty()) return usage("no command given");
    if (o.command != "list" && o.command != "burn" && o.command != "restore" &&
        o.command != "settings")
        return usage(("unknown command " + o.command).c_str());
    if (o.command == "burn" && o.image.empty()) return usage("burn needs --image FILE");
    if (o.command != "burn" && (!o.image.empty())) return usage("--image belongs to burn");
    if ((o.command == "list" || o.command == "settings") && !o.cards.empty())
        return usage(("unexpected argument " + o.cards[0]).c_str());
    return 0;
}

const char* startupReason(int code) {
    switch (code) {
    case engine::kInitAlreadyRunning:
        return "another VorlaneCard program is running";
    case engine::kInitNoPluginCenter:
        return "the plug-in centre Hubrix.so is missing";
    case engine::kInitCardFunNotLoaded:
        return "VorlaneCardFun.so could not be loaded";
    case engine::kInitLanguageNotLoaded:
        return "the language plug-in Vocabraex.so could not be loaded";
    case engine::kInitLanguageFile:
        return "the language file VorlaneCard.lan could not be loaded";
    case engine::kInitCardFunMissing:
        return "VorlaneCardFun.so offers no card-functions table";
    case engine::kInitCardFunFailed:
        return "the card-functions library did not initialise (see the log)";
    case engine::kInitConfigParser:
        return "config.cfg in the work directory cannot be written";
    default:
        return "start-up failed";
    }
}

// Maps the CARD arguments to letters of the drive list. Paths are given a
// letter first (VpDriveAssign); a block device that holds a mounted system
// file system is refused.
int assignPaths(const std::vector<std::string>& args, std::vector<std::string>& wanted) {
    for (const std::string& a : args) {
        if (a.size() == 1 || (a.size() == 2 && a[1] == ':')) {
            char l = static_cast<char>(std::toupper(static_cast<unsigned char>(a[0])));
            if (l < 'D' || l > 'Z') {
                std::fprintf(stderr, "vorlane: %s is not a card letter (D to Z)\n", a.c_str());
                return 2;
            }
            wanted.push_back(std::string(1, l));
            continue;
        }
        struct stat st;
        if (stat(a.c_str(), &st) != 0) {
            std::fprintf(stderr, "vorlane: card %s: %s\n", a.c_str(), std::strerror(errno));
            return 2;
        }
        if (S_ISBLK(st.st_mode)) {
            std::string real = realPath(a);
            std::string name = real.substr(real.rfind('/') + 1);
            if (access(("/sys/class/block/" + name + "/partition").c_str(), F_OK) == 0) {
                std::fprintf(stderr, "vorlane: card %s is a partition; name the whole disk\n",
                             a.c_str());
                return 2;
            }
            if (platform::HoldsSystemFileSystem(name)) {
                std::fprintf(
                    stderr,
                    "vorlane: card %s holds a mounted system file system; it is never written\n",
                    a.c_str());
                return 2;
            }
        } else if (!S_ISREG(st.st_mode)) {
            std::fprintf(stderr, "vorlane: card %s is neither a block device nor a file\n",
                         a.c_str());
            return 2;
        }
        if (!VpDriveAssign(0, a.c_str())) {
            std::fprintf(stderr, "vorlane: card %s: no free drive letter\n", a.c_str());
            return 2;
        }
        wanted.push_back(realPath(a));
    }
    return 0;
}

// Letters of the rows named by `wanted` (letters or real paths).
int selectCards(BurnEngine& eng, const std::vector<std::string>& wanted,
                std::vector<char>& letters) {
    std::vector<DriveRecord> rows = eng.Drives();
    if (wanted.empty()) {
        for (const DriveRecord& r : rows)
            letters.push_back(r.letter);
    } else {
        for (const std::string& w : wanted) {
            char found = 0;
            for (const DriveRecord& r : rows)
                if ((w.size() == 1 && r.letter == w[0]) ||
                    (w.size() > 1 && realPath(r.device) == w))
                    found = r.letter;
            if (!found) {
                std::fprintf(stderr,
                             "vorlane: card %s: not found among the cards (see vorlane list)\n",
                             w.c_str());
                return 2;
            }
            letters.push_back(found);
        }
    }
    for (const DriveRecord& r : rows) {
        bool chosen = false;
        for (char l : letters)
            chosen = chosen || l == r.letter;
        eng.SetChecked(r.letter, chosen);
    }
    return 0;
}

// Block devices are written only after the user confirmed them.
int confirmDevices(const std::vector<DriveRecord>& selected, bool yes) {
    for (const DriveRecord& r : selected) {
        if (!r.blockDevice) continue;
        if (access(r.device.c_str(), R_OK | W_OK) != 0) {
            int e = errno;
            std::fprintf(
                stderr,
                "vorlane: %c: %s: %s (writing a card needs root or membership of the disk group)\n",
                r.letter, r.device.c_str(), std::strerror(e));
            return 1;
        }
        if (yes) continue;
        if (!isatty(0)) {
            std::fprintf(stderr,
                         "vorlane: %c: %s is a real disk; confirm on a terminal or pass --yes\n",
                         r.letter, r.device.c_str());
            return 2;
        }
        std::fprintf(stderr,
                     "Everything on %s (%s, %d MiB) will be overwritten.\nType %s to go on: ",
                     r.device.c_str(), r.model.c_str(), r.capacityMB, r.device.c_str());
        char answer[256] = "";
        if (!std::fgets(answer, sizeof answer, stdin)) answer[0] = 0;
        answer[std::strcspn(answer, "\r\n")] = 0;
        if (r.device != answer) {
            std::fprintf(stderr, "vorlane: not confirmed; nothing written\n");
            return 1;
        }
    }
    return 0;
}

int list(BurnEngine& eng, bool json) {
    std::vector<DriveRecord> rows = eng.Drives();
    if (json) {
        for (const DriveRecord& r : rows)
            std::printf("{\"event\":\"card\",\"card\":\"%c\",\"device\":\"%s\",\"model\":\"%s\","
                        "\"capacityMB\":%d,"
                        "\"kind\":\"%s\"}\n",
                        r.letter, cli::JsonEscape(r.device).c_str(),
                        cli::JsonEscape(r.model).c_str(), r.capacityMB,
                        r.blockDevice ? "block" : "virtual");
        return 0;
    }
    if (rows.empty()) {
        std::printf("%s\n", eng.GetText(21).c_str());
        return 0;
    }
    std::printf("%-4s  %-40s  %-24s  %10s\n", "CARD", "DEVICE", "MODEL", "CAPACITY");
    for (const DriveRecord& r : rows)
        std::printf("%c:    %-40s  %-24s  %8dM\n", r.letter, r.device.c_str(), r.model.c_str(),
                    r.capacityMB);
    return 0;
}

int summary(BurnEngine& eng, const std::vector<char>& letters, bool json, double totalSeconds) {
    std::vector<DriveRecord> records = eng.Drives();
    bool allDone = true;
    std::string jsonCards;
    if (!json)
        std::printf("\n%-4s  %-30s  %-7s  %8s  %s\n", "CARD", "DEVICE", "RESULT", "TIME",
                    "MESSAGE");
    for (char l : letters) {
        const DriveRecord* rec = nullptr;
        for (const DriveRecord& r : records)
            if (r.letter == l) rec = &r;
        bool done = rec && rec->state == engine::DriveState::Done;
        allDone = allDone && done;
        double seconds =
            rec && rec->endTick && rec->startTick ? (rec->endTick - rec->startTick) / 1000.0 : 0.0;
        std::string message = !rec
                                  ? "the card disappeared"
                                  : (!rec->failReason.empty() ? rec->failReason : rec->lastMessage);
        if (rec && !done && !rec->prepareError.empty())
            message +=
                (message.empty() ? "" : "; ") + std::string("preparation: ") + rec->prepareError;
        std::string device = rec ? rec->device : "";
        if (json) {
            char item[1024];
            std::snprintf(item, sizeof item,
                          "%s{\"card\":\"%c\",\"device\":\"%s\",\"result\":\"%s\",\"seconds\":%.1f,"
                          "\"message\":\"%s\"}",
                          jsonCards.empty() ? "" : ",", l, cli::JsonEscape(device).c_str(),
                          done ? "done" : "failed", seconds, cli::JsonEscape(message).c_str());
            jsonCards += item;
        } else {
            std::printf("%c:    %-30s  %-7s  %7.1fs  %s\n", l, device.c_str(),
                        done ? "done" : "FAILED", seconds, message.c_str());
        }
    }
    engine::LoopState loop = eng.Loop();
    if (json) {
        char loopText[160] = "";
        if (loop.active)
            std::snprintf(loopText, sizeof loopText,
                          ",\"loop\":{\"total\":%d,\"done\":%d,\"success\":%d}", loop.total,
                          loop.total - loop.left, loop.success);
        std::printf("{\"event\":\"summary\",\"ok\":%s,\"seconds\":%.1f%s,\"cards\":[%s]}\n",
                    allDone ? "true" : "false", totalSeconds, loopText, jsonCards.c_str());
    }
    std::fflush(stdout);
    return allDone ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    if (int r = parse(argc, argv, o)) return r;
    if (!o.cardsDir.empty()) {
        struct stat st;
        if (stat(o.cardsDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            std::fprintf(stderr, "vorlane: --cards-dir %s is not a directory\n",
                         o.cardsDir.c_str());
            return 2;
        }
        setenv("VORLANE_CARDS_DIR", realPath(o.cardsDir).c_str(), 1);
        // Virtual cards only: no real disk is offered beside them.
        setenv("VORLANE_CARDS_ONLY", "1", 1);
    }
    std::string image = o.image.empty() ? std::string() : realPath(o.image);
    VpEnterWorkDir();
    if (o.command == "settings") return cli::RunSettings(o.settings, o.json);

    if (!image.empty()) {
        struct stat st;
        if (stat(image.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            std::fprintf(stderr, "vorlane: image %s: %s\n", o.image.c_str(),
                         errno ? std::strerror(errno) : "not a regular file");
            return 2;
        }
    }
    std::vector<std::string> wanted;
    if (int r = assignPaths(o.cards, wanted)) return r;

    cli::OutputMode mode = o.json
                               ? cli::OutputMode::Json
                               : (isatty(1) ? cli::OutputMode::Terminal : cli::OutputMode::Plain);
    uint64_t bytesPerCard = 0;
    if (!image.empty()) {
        struct stat st;
        if (stat(image.c_str(), &st) == 0) bytesPerCard = static_cast<uint64_t>(st.st_size);
    }
    cli::CliObserver observer(mode, bytesPerCard);
    BurnEngine eng(&observer);
    int r = eng.Initalize(false);
    if (r != 0) {
        std::fprintf(stderr, "vorlane: %s (code %d)\n", startupReason(r), r);
        return 1;
    }
    // On every way out the library is released while the plug-in centre
    // is still alive (not from the exit handlers).
    struct ReleaseAtEnd {
        BurnEngine& engine;
        ~ReleaseAtEnd() {
            engine.WaitIdle();
            engine.ReleaseLibrary();
        }
    } releaseAtEnd{eng};
    eng.RefreshDrive();
    if (o.command == "list") return list(eng, o.json);

    std::vector<char> letters;
    if (int s = selectCards(eng, wanted, letters)) return s;
    if (letters.empty()) {
        std::fprintf(stderr, "vorlane: %s\n", eng.GetText(21).c_str());
        return 1;
    }
    std::vector<DriveRecord> selected;
    for (const DriveRecord& rec : eng.Drives())
        if (rec.checked) selected.push_back(rec);
    if (int c = confirmDevices(selected, o.yes)) return c;

    char loopPath[VORLANE_MAX_PATH] = "";
    if (o.loop > 0) {
        if (VpWorkPath(loopPath, sizeof loopPath, "loop.txt") != 0) return 1;
        FILE* f = std::fopen(loopPath, "w");
        if (!f) {
            std::fprintf(stderr, "vorlane: %s: %s\n", loopPath, std::strerror(errno));
            return 1;
        }
        std::fprintf(f, "%d\n", o.loop);
        std::fclose(f);
    }
    if (o.loopPause >= 0) eng.SetLoopPause(static_cast<unsigned>(o.loopPause));

    uint32_t start = GetTickCount();
    if (o.command == "burn") {
        int accepted = eng.SetImagePath(image);
        if (accepted != 0) {
            std::fprintf(
                stderr, "vorlane: image %s was rejected (code %d): not a readable firmware image\n",
                o.image.c_str(), accepted);
            if (loopPath[0]) unlink(loopPath);
            return 1;
        }
        eng.SetKind(o.kind == "startup" ? engine::CardKind::Startup : engine::CardKind::Product);
        r = eng.Burn();
    } else {
        r = eng.Restore();
    }
    if (r != 0) {
        if (loopPath[0]) unlink(loopPath);
        std::fprintf(stderr, "vorlane: %s could not start (code %d)\n", o.command.c_str(), r);
        return 1;
    }
    eng.WaitIdle();
    observer.Finish();
    if (loopPath[0]) unlink(loopPath);
    return summary(eng, letters, o.json, (GetTickCount() - start) / 1000.0);
}
