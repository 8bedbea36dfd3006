// The library's only export, GetInterface, and the single library object,
// built when the library is loaded and released when it is unloaded.
#include "CardManFunc.h"

#include "Export.h"
#include "LibraryTables.h"

namespace vorlane::cardfun {
namespace {

CardManFunc* g_library = nullptr;

__attribute__((constructor)) void BuildLibrary() {
    g_library = new CardManFunc();
    g_library->LoadAtStartup();
}

__attribute__((destructor)) void ReleaseLibrary() {
    if (!g_library) return;
    g_library->Release();
    delete g_library;
    g_library = nullptr;
}

int Initialize() {
    return g_library ? g_library->Initialize() : kNoPluginCenter;
}
int Release() {
    return g_library ? g_library->Release() : 0;
}
int GetVersion() {
    return 100;
}
int SetImagePath(const char* path) {
    return g_library ? g_library->SetImagePath(path) : kImageRejected;
}
int BurnCard(char letter, int mode, int) {
    return g_library ? g_library->BurnCard(letter, mode) : kBurnFailed;
}
int MessageCallBack(HWND window, int code, ToolParam* block) {
    return g_library ? g_library->MessageCallBack(window, code, block) : kNullBlock;
}
int SetMessageCallBack(MessageFunc func) {
    return g_library ? g_library->SetMessageCallBack(func) : 0;
}
int SetMainWindow(HWND window) {
    return g_library ? g_library->SetMainWindow(window) : 0;
}
HWND GetMainWindow() {
    return g_library ? g_library->GetMainWindow() : nullptr;
}

VorlaneCardFunTable g_table;

} // namespace
} // namespace vorlane::cardfun

VORLANE_EXPORT void* GetInterface(const char* /*ignored*/) {
    using namespace vorlane::cardfun;
    g_table = VorlaneCardFunTable{Initialize,         Release,       GetVersion,
                                  SetImagePath,       BurnCard,      MessageCallBack,
                                  SetMessageCallBack, SetMainWindow, GetMainWindow};
    return &g_table;
}
