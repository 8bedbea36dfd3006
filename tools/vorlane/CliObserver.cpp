#include "CliObserver.h"

#include <cstdlib>

namespace vorlane::cli {

std::string JsonEscape(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out;
}

void CliObserver::DriveListChanged(const std::vector<engine::DriveRecord>& records) {
    std::lock_guard<std::mutex> guard(m_lock);
    std::map<char, Card> cards;
    for (const engine::DriveRecord& r : records) {
        if (!r.checked) continue;
        auto it = m_cards.find(r.letter);
        Card card = it == m_cards.end() ? Card{} : it->second;
        card.device = r.device;
        cards[r.letter] = card;
    }
    m_cards.swap(cards);
}

std::string CliObserver::Line(char letter, const Card& card) const {
    const int width = 24;
    int filled = card.percent * width / 100;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(width - filled), '-');
    double seconds = card.startTick ? (GetTickCount() - card.startTick) / 1000.0 : 0.0;
    double rate = seconds > 0.5 ? (m_bytesPerCard * (card.percent / 100.0)) / seconds / 1e6 : 0.0;
    std::string state = card.result.empty() ? card.item : card.result;
    if (state.size() > 40) state = state.substr(0, 37) + "...";
    char line[512];
    std::string device =
        card.device.size() > 22 ? "..." + card.device.substr(card.device.size() - 19) : card.device;
    std::snprintf(line, sizeof line, "%c: %-22s [%s] %3d%% %7.1f MB/s  %s", letter, device.c_str(),
                  bar.c_str(), card.percent, rate, state.c_str());
    return line;
}

void CliObserver::Redraw(bool force) {
    if (m_mode != OutputMode::Terminal) return;
    uint32_t now = GetTickCount();
    if (!force && now - m_lastDraw < 100) return;
    m_lastDraw = now;
    if (m_drawnLines) std::printf("\x1b[%dA", m_drawnLines);
    m_drawnLines = 0;
    for (const auto& [letter, card] : m_cards) {
        std::printf("\r\x1b[2K%s\n", Line(letter, card).c_str());
        ++m_drawnLines;
    }
    std::fflush(stdout);
}

void CliObserver::CardEvent(char letter, const char* text, int code) {
    std::lock_guard<std::mutex> guard(m_lock);
    Card& card = m_cards[letter];
    if (!card.startTick) card.startTick = GetTickCount();
    std::string t = text ? text : "";
    switch (code) {
    case CardMessageProgress: {
        int p = std::atoi(t.c_str());
        card.percent = p < 0 ? 0 : (p > 100 ? 100 : p);
        if (m_mode == OutputMode::Json) {
            std::printf("{\"event\":\"progress\",\"card\":\"%c\",\"percent\":%d}\n", letter,
                        card.percent);
        } else if (m_mode == OutputMode::Plain) {
            if (card.percent / 10 != card.lastPlainPercent / 10) {
                card.lastPlainPercent = card.percent;
                std::printf("%c: %d%%\n", letter, card.percent);
            }
        }
        break;
    }
    case CardMessageDone:
        card.percent = 100;
        card.result = "done";
        if (m_mode == OutputMode::Json)
            std::printf("{\"event\":\"done\",\"card\":\"%c\"}\n", letter);
        else if (m_mode == OutputMode::Plain)
            std::printf("%c: done\n", letter);
        break;
    case CardMessageFailed:
        card.result = "failed: " + t;
        if (m_mode == OutputMode::Json)
            std::printf("{\"event\":\"failed\",\"card\":\"%c\",\"reason\":\"%s\"}\n", letter,
                        JsonEscape(t).c_str());
        break;
    case CardMessageText30:
    case CardMessageText50:
        break;
    default:
        card.item = t;
        if (m_mode == OutputMode::Json)
            std::printf("{\"event\":\"message\",\"card\":\"%c\",\"text\":\"%s\"}\n", letter,
                        JsonEscape(t).c_str());
        break;
    }
    if (m_mode == OutputMode::Json) std::fflush(stdout);
    Redraw(code == CardMessageDone || code == CardMessageFailed);
}

void CliObserver::AddMessage(const std::string& line) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_mode == OutputMode::Json) {
        // Card texts arrive as "message" events; other lines (scan results,
        // preparation notes) are passed on as they are.
        return;
    }
    if (m_mode == OutputMode::Terminal && line.size() > 2 && line[1] == ':') {
        // A card's own texts show in its live line; only failures stay above it.
        auto it = m_cards.find(line[0]);
        if (it != m_cards.end() && it->second.result.compare(0, 6, "failed") != 0) return;
    }
    if (m_mode == OutputMode::Terminal && m_drawnLines) {
        std::printf("\x1b[%dA", m_drawnLines);
        for (int i = 0; i < m_drawnLines; ++i)
            std::printf("\r\x1b[2K\n");
        std::printf("\x1b[%dA", m_drawnLines);
        m_drawnLines = 0;
    }
    std::printf("%s\n", line.c_str());
    Redraw(true);
    std::fflush(stdout);
}

void CliObserver::StatusLine(const std::string& text) {
    if (text.empty()) return;
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_mode == OutputMode::Json) {
        std::printf("{\"event\":\"loop\",\"status\":\"%s\"}\n", JsonEscape(text).c_str());
    } else {
        std::printf("%s\n", text.c_str());
        m_drawnLines = 0;
    }
    std::fflush(stdout);
}

void CliObserver::RunEnded(bool) {
    std::lock_guard<std::mutex> guard(m_lock);
    Redraw(true);
    // A new cycle of a loop test starts with fresh lines.
    for (auto& [letter, card] : m_cards) {
        (void)letter;
        Card fresh;
        fresh.device = card.device;
        card = fresh;
    }
    m_drawnLines = 0;
}

void CliObserver::Finish() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_drawnLines = 0;
    std::fflush(stdout);
}

} // namespace vorlane::cli
