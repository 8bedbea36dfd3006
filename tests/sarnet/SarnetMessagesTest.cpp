// Message tables, the 255-byte message cut, diagnostic lines, interface
// lookup and the work-mode selection.
#include "Interfaces.h"
#include "SarnetInternal.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

namespace vorlane::test {
namespace {

using namespace vorlane::sarnet;

bool ValidUtf8(const std::string& s) {
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

class SarnetMessages : public VorlaneTest {
  protected:
    void TearDown() override {
        ChooseMessageTable(1252);
        VorlaneTest::TearDown();
    }
    ToolParam m_param{};
    ScriptItem m_item{};
};

TEST_F(SarnetMessages, ItemMessageLabelAndLanguageByCodePage) {
    std::strcpy(m_item.commen, "boot");
    std::strcpy(m_item.commchs, "启动");
    struct Case {
        unsigned codePage;
        const char* expected;
    };
    const Case cases[] = {
        {936, "[启动]烧写完成"}, {1252, "[boot]Burn Sucess"}, {950, "[boot]燒寫完成"}};
    for (const Case& c : cases) {
        ChooseMessageTable(c.codePage);
        ShowItemMessage(&m_item, MsgBurnSucess, &m_param);
        EXPECT_STREQ(m_param.message, c.expected) << c.codePage;
    }
}

TEST_F(SarnetMessages, MessageIsCutTo255BytesOnACharacterBoundary) {
    ChooseMessageTable(1252);
    std::memset(m_item.commen, 'a',
                300 > sizeof m_item.commen - 1 ? sizeof m_item.commen - 1 : 300);
    ShowItemMessage(&m_item, MsgIsBurning, &m_param);
    EXPECT_EQ(std::strlen(m_param.message), 255u);
    // 3-byte characters: the cut falls before the character that does not fit.
    std::string label;
    while (label.size() < 259 - 3)
        label += "烧";
    std::strcpy(m_item.commen, label.c_str());
    ShowItemMessage(&m_item, MsgIsBurning, &m_param);
    std::string message = m_param.message;
    EXPECT_EQ(message.size(), 253u); // "[" and 84 characters
    EXPECT_TRUE(ValidUtf8(message));
    // The text may be built from the message itself.
    SendText(&m_param, "%s", "abc");
    SendText(&m_param, "%s-%s", m_param.message, m_param.message);
    EXPECT_STREQ(m_param.message, "abc-abc");
}

TEST_F(SarnetMessages, DiagnosticLinesAreCutTo1024Bytes) {
    std::string long_(3000, 'x');
    Diag("%s", long_.c_str());
    DiagError("sarnet_inter", 42, "Func", "%s", "text");
    std::vector<std::string> lines = m_capture.Debug();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].size(), 1023u);
    EXPECT_EQ(lines[1], "ERROR:sarnet_inter[42]\nFUNC:Func:text\n");
}

TEST_F(SarnetMessages, TablesHaveEverySlot) {
    for (unsigned cp : {1252u, 936u, 950u}) {
        ChooseMessageTable(cp);
        for (int id = 0; id < MessageCount; ++id) {
            EXPECT_NE(std::strlen(Message(id)), 0u) << cp << " " << id;
            EXPECT_TRUE(ValidUtf8(Message(id))) << cp << " " << id;
        }
        EXPECT_STREQ(Message(MessageCount), "");
    }
    ChooseMessageTable(1252);
    EXPECT_STREQ(Message(MsgIsBurning), "Is Burning...");
    EXPECT_STREQ(Message(MsgDeviceOpenFailed), "Device Open Failed");
}

TEST_F(SarnetMessages, FindInterfaceComparesExactly36Bytes) {
    static int table1, table2;
    InterfaceEntry entries[3] = {};
    std::strcpy(entries[0].id, VORLANE_IID_CHECKSUM);
    entries[0].table = nullptr; // present without a table: absent
    std::strcpy(entries[1].id, VORLANE_IID_CHECKSUM);
    entries[1].table = &table1;
    std::strcpy(entries[2].id, VORLANE_IID_DECODER64);
    entries[2].table = &table2;
    ToolParam p{};
    p.interfaces = entries;
    p.interfaceCount = 3;
    EXPECT_EQ(FindInterface(&p, VORLANE_IID_CHECKSUM), nullptr); // the first match wins
    EXPECT_EQ(FindInterface(&p, VORLANE_IID_DECODER64), &table2);
    std::string id = VORLANE_IID_DECODER64;
    EXPECT_EQ(FindInterface(&p, id.substr(0, 35).c_str()), nullptr);
    EXPECT_EQ(FindInterface(&p, (id + "0").c_str()), nullptr);
    EXPECT_EQ(FindInterface(&p, "571A0639-251E-445F-8A71-05B7EE2758C5"), nullptr);
    EXPECT_EQ(FindInterface(nullptr, id.c_str()), nullptr);
    EXPECT_EQ(FindInterface(&p, nullptr), nullptr);
    p.interfaceCount = 2;
    EXPECT_EQ(FindInterface(&p, VORLANE_IID_DECODER64), nullptr);
}

TEST_F(SarnetMessages, WorkModeFromScriptMode) {
    const int expected[] = {-1, 0, 1, -1, -1, 2, -1};
    for (int mode = 0; mode < 7; ++mode)
        EXPECT_EQ(WorkModeFromScriptMode(mode), expected[mode]);
}

} // namespace
} // namespace vorlane::test
