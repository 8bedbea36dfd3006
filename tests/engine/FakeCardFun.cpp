// A stand-in card-functions library for the engine tests: each drive letter
// plays one way a card run can end.
//   E  reports done, then fails writing its partition table (returns 257)
//   F  returns 257 without reporting any result
//   G  reports progress and done, returns 0
//   H  reports failure (60) and returns 257
#include "Interfaces.h"
#include "LibraryTables.h"

#include <cstring>

namespace {

MessageFunc g_message = nullptr;

int Initialize() {
    return 0;
}
int Release() {
    return 0;
}
int GetVersion() {
    return 100;
}
int SetImagePath(const char*) {
    return 0;
}
int BurnCard(char letter, int, int) {
    if (!g_message) return 257;
    g_message(letter, "0", CardMessageProgress);
    switch (letter) {
    case 'E':
        g_message(letter, "100%", CardMessageDone);
        return 257;
    case 'F':
        return 257;
    case 'G':
        g_message(letter, "50%", CardMessageProgress);
        g_message(letter, "100%", CardMessageDone);
        return 0;
    default:
        g_message(letter, "the card is too small", CardMessageFailed);
        return 257;
    }
}
int MessageCallBack(HWND, int, ToolParam*) {
    return 0;
}
int SetMessageCallBack(MessageFunc f) {
    g_message = f;
    return 0;
}
HWND g_window = nullptr;
int SetMainWindow(HWND w) {
    g_window = w;
    return 0;
}
HWND GetMainWindow() {
    return g_window;
}

const VorlaneCardFunTable kTable = {Initialize,         Release,       GetVersion,
                                    SetImagePath,       BurnCard,      MessageCallBack,
                                    SetMessageCallBack, SetMainWindow, GetMainWindow};

} // namespace

extern "C" __attribute__((visibility("default"))) void* GetInterface(const char* id) {
    if (id && std::strcmp(id, VORLANE_IID_CARDFUN) == 0)
        return const_cast<VorlaneCardFunTable*>(&kTable);
    return nullptr;
}
