// CardManFunc: the card-management part of the library object, behind the
// library's nine-slot function table.
#pragma once

#include "CardFacade.h"

#include <mutex>

namespace vorlane::cardfun {

enum CardManCode : int {
    kImageRejected = 146,
    kCheckRecord = 148, // (own) CheckImageFile: mbr.fex / dlinfo.fex give no partition-table record
    kBurnFailed = 257,
    kNullBlock = 272,
};

class CardManFunc : public CCardFacade {
  public:
    CardManFunc() = default;
    ~CardManFunc() override;

    int SetImagePath(const char* path);
    int CheckImageFile();
    int PrepareScript(char letter, int mode);
    int BurnCard(char letter, int mode);
    int MessageCallBack(HWND window, int code, ToolParam* block);
    int SetMessageCallBack(MessageFunc func);
    int SetMainWindow(HWND window);
    HWND GetMainWindow() const { return m_mainWindowCopy; }

    std::string m_imagePathText;
    int64_t m_imageSectors = 0; // the image file's 64-bit size / 512
    HWND m_mainWindowCopy = nullptr;
    MessageFunc m_messageFunc = nullptr;
    int m_thisDataIndex = 1;

    void OnCardToolMissing(char letter) override;

  private:
    // Every burn of modes 0-2 ends with exactly one final callback (10 or 60)
    // for its letter. While a burn of a letter runs, the card tool's "done" is
    // held back, because the card is complete only once the partition table
    // after the card tool is written; BurnCard then sends the final callback
    // itself. A "failed" from the card tool is relayed at once and ends the
    // burn's reporting.
    struct BurnState {
        bool active = false;
        bool toolDone = false;   // the card tool sent 10 (held back)
        bool toolFailed = false; // the card tool sent 60 (relayed)
        bool toolMissing = false;
    };
    std::mutex m_stateLock;
    BurnState m_state[256];

    void Notify(char letter, const char* text, int code) const;
    void FailWithCode(char letter, int code);
    int64_t ImageFileSize() const;
};

} // namespace vorlane::cardfun
