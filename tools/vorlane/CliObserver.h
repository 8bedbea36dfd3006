// How `vorlane` shows a run: one live line per card on a terminal, plain
// lines otherwise, or one JSON object per event.
#pragma once

#include "BurnEngine.h"

#include <cstdio>
#include <map>
#include <mutex>
#include <string>

namespace vorlane::cli {

enum class OutputMode { Terminal, Plain, Json };

std::string JsonEscape(const std::string& text);

class CliObserver : public engine::BurnObserver {
  public:
    CliObserver(OutputMode mode, uint64_t bytesPerCard)
        : m_mode(mode), m_bytesPerCard(bytesPerCard) {}

    void DriveListChanged(const std::vector<engine::DriveRecord>& records) override;
    void CardEvent(char letter, const char* text, int code) override;
    void AddMessage(const std::string& line) override;
    void StatusLine(const std::string& text) override;
    void RunEnded(bool success) override;

    // Ends the live block (before the summary is printed).
    void Finish();

  private:
    struct Card {
        std::string device;
        int percent = 0;
        std::string item;
        std::string result; // "", "done", "failed"
        uint32_t startTick = 0;
        int lastPlainPercent = -1;
    };
    void Redraw(bool force);
    std::string Line(char letter, const Card& card) const;

    OutputMode m_mode;
    uint64_t m_bytesPerCard;
    std::mutex m_lock;
    std::map<char, Card> m_cards;
    int m_drawnLines = 0;
    uint32_t m_lastDraw = 0;
};

} // namespace vorlane::cli
