// CCardFacade: the first part of the card-functions library's single object.
// Loads the service plug-ins, reads "config.cfg" and "option.cfg", extracts
// an image's work files, loads the card tool, fills its parameter block and
// runs it for one drive; prepares the cards around that run (CardFormat.cpp).
#pragma once

#include "ConfigInfo.h"
#include "ImageDecMan.h"
#include "LibraryTables.h"
#include "PluginCenter.h"
#include "ServiceTables.h"
#include "ToolParam.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace vorlane::cardfun {

// Result codes of the facade and of the card preparation. The numbers below
// 2100 without a comment "(own)" are the established ones; the "(own)" codes
// mark failure sites this library adds.
enum FacadeCode : int {
    kNoConversionService = 1, // Initialize: table-conversion service missing
    kNoPluginCenter = 2,      // (own) the plug-in centre could not be loaded
    kNoCardOperations = 3,    // (own) the card-operations service is missing
    kCardNotLoadedConfig = 606,
    kCardToolCopy = 607, // (own) the tool source could not be copied to "card.scj"
    kScriptNotLoadedConfig = 634,
    kMbrNotLoadedConfig = 653,
    kGptNotLoadedConfig = 672,
    kDlinfoNotLoadedConfig = 691,
    kNoParser = 715,
    kNoConfigHandler = 719,
    kPathNullArgument = 869,
    kPathTooLong = 871, // (own) a work path does not fit 260 bytes
    kNoParamBlock = 918,
    kNoInterfaceArray = 1058,
    kNoDecoder = 1059, // (own) no image decoder opened the image
    kSetGptOpen = 1407,
    kSetGptRecord = 1408, // (own) SetGpt: partition-table record cannot be made
    kSetGptAlloc = 1409,  // (own) SetGpt: buffer or entry count out of range
    kSetGptBackup = 1411, // (own) SetGpt: the backup GPT could not be built or written
    kSetGptClear = 1440,
    kFormatOpen = 1507,
    kFormatRecord = 1508,        // (own) FormatCard: partition-table record cannot be made
    kFormatNoVolumeImage = 1509, // (own) FormatCard: no volume-image service
    kFormatCopyData = 1510,      // (own) FormatCard: the data volume file could not be copied
    kFormatNoVolumeFormat = 1678,
    kFormatTooSmall = 1739,
    kDosNoCard = 1801,   // (own) WriteDosPartitions: the card gave no handle
    kDosRecord = 1802,   // (own) WriteDosPartitions: partition-table record cannot be made
    kDosTooSmall = 1803, // (own) WriteDosPartitions: card smaller than the device area
    kClearOpen = 2021,
    kClearRead = 2034,
    kClearWrite = 2044,
};

// Texts of the language file used by the library.
enum TextId : int {
    kTextImageOpen = 21,
    kTextScript = 22,
    kTextCardTool = 23,
    kTextTables = 26,
    kTextFailed = 35, // "%c ... %d": drive letter and code
    kTextRestore = 44,
    kTextRestored = 45,
    kTextBurn = 46,
};

constexpr int64_t kBigImageBytes = 209715200; // 200 MiB: startup burns above it run one by one
constexpr uint32_t kDefaultBootStart = 40960;

class CCardFacade {
  public:
    CCardFacade();
    virtual ~CCardFacade();
    CCardFacade(const CCardFacade&) = delete;
    CCardFacade& operator=(const CCardFacade&) = delete;

    // Construction steps that load plug-ins (run once when the library is loaded).
    void LoadAtStartup();

    int Initialize();
    int Release();
    int LoadConfig();
    // [option] userdata and the tool source of "option.cfg" (part of Initialize).
    void ReadOptions();
    int GetFileFromImage();
    int LoadSarnet();
    int ReloadSarnet();
    int ToolParamInitial(ToolParam* block, char letter);
    int StartCardThread(char letter);

    int FormatCard(char letter);
    int FormatToProCard(char letter);
    int SetGpt(char letter);
    int WriteDosPartitions(char letter);
    int ClearDosPartitionTableData(char letter);

    // Work-directory path helpers: 0, 869 for null arguments, 871 when the path
    // does not fit the 260-byte buffer (which is then empty).
    static int ModuleFilePath(const char* name, char* out);
    static void DeleteModuleFile(const char* name);

    // A text of the language file; never null (a built-in English text when the
    // language plug-in or the id is missing).
    const char* GetText(int id) const;
    void ShowMessage(int textId, bool withOwner) const;

    // Construction failure (0 = every plug-in of the construction is present).
    int ConstructionError() const { return m_constructError; }

    // ---- state (public for the library's parts and the unit tests) ----
    int32_t m_gptFlag = 0;
    // The card-too-small text of the last FormatCard, kept per drive so that
    // parallel burns never show each other's text.
    void SetErrorText(char letter, const std::string& text);
    std::string TakeErrorText(char letter); // returns the text and empties it
    char m_imagePath[VORLANE_MAX_PATH] = {};
    ConfigInfo m_config = {};
    int32_t m_configLoaded = 0;
    const OstrandTable* m_parser = nullptr;
    const TableConversionTable* m_conversion = nullptr;
    const SarnetTable* m_sarnet = nullptr;
    HWND m_mainWindow = nullptr;
    const PluginManTable* m_center = nullptr;
    std::unique_ptr<ImageDecMan> m_imageDec;
    int32_t m_userData = 0;
    uint32_t m_bootStart = kDefaultBootStart;
    std::atomic<int32_t> m_WriteMode{0};
    void* m_burnMutex = nullptr;
    int64_t m_imageSize = 0; // the image file's full size in bytes
    std::string m_toolSource;

    // Library-wide tables of the construction.
    const PluginManTable* m_firstCenter = nullptr;
    const LanguageTable* m_language = nullptr;
    const CardOperationsTable* m_cardOps = nullptr;
    char m_languagePath[VORLANE_MAX_PATH] = {};
    int m_constructError = 0;

    // Image size above which startup-card burns run their card tools one at a
    // time (a hook so that tests need no 200 MiB image).
    int64_t m_bigImageBytes = kBigImageBytes;
    // Pause between OpenCard retries, in milliseconds.
    unsigned m_retryDelayMs = 100;

    // Called by StartCardThread when it has no card tool to run.
    virtual void OnCardToolMissing(char) {}

  protected:
    std::mutex m_errorLock;
    std::string m_errorText[256];

    void* OpenCardWithRetries(char letter, int* retries) const;
    int ClearSectors(void* card, uint32_t first, uint32_t count, uint32_t capacity) const;
    int MakeDataVolume(char letter, uint32_t sectors, bool honourUserData);
};

// Copies a file; false on any read or write failure.
bool CopyWholeFile(const char* from, const char* to);

} // namespace vorlane::cardfun
