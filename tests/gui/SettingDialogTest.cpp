// The settings dialog over "option.cfg": confirmations, the OK steps, what is written.
#include "SettingDialog.h"
#include "TestSupport.h"

#include <QCheckBox>
#include <QLineEdit>

#include <sys/stat.h>
#include <unistd.h>

namespace vorlane::test {
namespace {

using gui::CSettingDialog;

class SettingDialogTest : public VorlaneTest {
  protected:
    void SetUp() override {
        VorlaneTest::SetUp();
        ASSERT_EQ(0, chdir(m_home.c_str())); // "mbr_new.fex" is removed by its relative name
        m_option = HomePath("option.cfg");
    }
    std::unique_ptr<CSettingDialog> Open() {
        auto d = std::make_unique<CSettingDialog>(m_option, m_home, [](int id) {
            return id == 31 ? std::string("T31 %s") : "T" + std::to_string(id);
        });
        m_check1022 = d->findChild<QCheckBox*>("1022");
        m_edit1023 = d->findChild<QLineEdit*>("1023");
        m_check1025 = d->findChild<QCheckBox*>("1025");
        m_edit1026 = d->findChild<QLineEdit*>("1026");
        return d;
    }
    std::string Option(const char* key) {
        char value[260];
        GetPrivateProfileStringA("OPTION", key, "<missing>", value, sizeof value, m_option.c_str());
        return value;
    }
    std::vector<std::string> BoxTexts() {
        std::vector<std::string> texts;
        for (const auto& b : m_capture.Boxes())
            texts.push_back(b.text);
        return texts;
    }
    std::string m_option;
    QCheckBox* m_check1022 = nullptr;
    QLineEdit* m_edit1023 = nullptr;
    QCheckBox* m_check1025 = nullptr;
    QLineEdit* m_edit1026 = nullptr;
};

TEST_F(SettingDialogTest, OpensWithTheFileAndTheLanguageTexts) {
    WriteFile(m_option, "[OPTION]\nactiveToolsrc = 0\nToolsrc = a.so\nactiveFirstPartSize = 1\n"
                        "FirstPartSize = 300\nuserdata = 7\n");
    auto d = Open();
    EXPECT_EQ("VorlaneCard Setting", d->windowTitle().toStdString());
    EXPECT_EQ("T25", m_check1022->text().toStdString());
    EXPECT_EQ("T26", m_check1025->text().toStdString());
    EXPECT_FALSE(m_check1022->isChecked());
    EXPECT_FALSE(m_edit1023->isEnabled());
    EXPECT_EQ("a.so", m_edit1023->text().toStdString());
    EXPECT_TRUE(m_check1025->isChecked());
    EXPECT_TRUE(m_edit1026->isEnabled());
    EXPECT_EQ("300", m_edit1026->text().toStdString());
}

TEST_F(SettingDialogTest, ConfirmationDecidesTheCheckBox) {
    auto d = Open();
    m_capture.SetAnswer(IDCANCEL);
    m_check1022->setChecked(true);
    EXPECT_FALSE(m_check1022->isChecked());
    EXPECT_FALSE(m_edit1023->isEnabled());
    m_capture.SetAnswer(IDOK);
    m_check1025->setChecked(true);
    EXPECT_TRUE(m_check1025->isChecked());
    EXPECT_TRUE(m_edit1026->isEnabled());
    auto boxes = m_capture.Boxes();
    ASSERT_EQ(2u, boxes.size());
    EXPECT_EQ("T29", boxes[0].text);
    EXPECT_EQ(MB_OKCANCEL | MB_ICONEXCLAMATION, boxes[0].type);
    EXPECT_EQ("T30", boxes[1].text);
    // Clearing asks nothing.
    m_check1025->setChecked(false);
    EXPECT_FALSE(m_edit1026->isEnabled());
    EXPECT_EQ(2u, m_capture.Boxes().size());
}

TEST_F(SettingDialogTest, FirstPartitionSizeCases) {
    struct Case {
        const char* typed;
        bool accepted;
        const char* stored; // FirstPartSize afterwards
    };
    const Case cases[] = {
        {"10 24", true, "1024"}, {" 2048 ", true, "2048"}, {"", true, "500"},
        {"-5", false, "500"},    {"12a", false, "500"},    {"1.5", false, "500"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        WriteFile(m_option, "[OPTION]\nactiveFirstPartSize = 1\nFirstPartSize = 500\nkeep = x\n");
        m_capture.Clear();
        auto d = Open();
        m_edit1026->setText(QString::fromUtf8(c.typed));
        d->accept();
        EXPECT_EQ(c.accepted, d->result() == QDialog::Accepted);
        EXPECT_EQ(c.stored, Option("FirstPartSize"));
        EXPECT_EQ("x", Option("keep"));
        if (c.accepted) {
            EXPECT_TRUE(BoxTexts().empty());
            EXPECT_EQ("1", Option("activeFirstPartSize"));
            EXPECT_EQ("0", Option("activeToolsrc"));
        } else {
            EXPECT_EQ(std::vector<std::string>{"T32"}, BoxTexts());
            EXPECT_EQ("<missing>", Option("activeToolsrc")); // nothing further written
        }
    }
}

TEST_F(SettingDialogTest, SwitchingTheFirstPartitionOffRemovesTheRewrittenTable) {
    WriteFile(m_option, "[OPTION]\nactiveFirstPartSize = 1\nFirstPartSize = 500\n");
    WriteFile(HomePath("mbr_new.fex"), "table");
    auto d = Open();
    m_check1025->setChecked(false);
    d->accept();
    EXPECT_EQ(QDialog::Accepted, d->result());
    EXPECT_FALSE(FileExists(HomePath("mbr_new.fex")));
    EXPECT_EQ("0", Option("activeFirstPartSize"));
    EXPECT_EQ("500", Option("FirstPartSize"));
}

TEST_F(SettingDialogTest, PluginFileMustExistUnderItsNameWithoutSpaces) {
    WriteFile(m_option, "[OPTION]\nactiveToolsrc = 1\nToolsrc = old.so\n");
    auto d = Open();
    m_edit1023->setText("my tool.so");
    d->accept(); // "mytool.so" does not exist yet
    EXPECT_NE(QDialog::Accepted, d->result());
    EXPECT_EQ(std::vector<std::string>{"T31 " + m_home + "/mytool.so"}, BoxTexts());
    EXPECT_EQ("old.so", Option("Toolsrc"));
    EXPECT_EQ("<missing>", Option("activeFirstPartSize"));

    WriteFile(HomePath("mytool.so"), "x");
    m_capture.Clear();
    d->accept();
    EXPECT_EQ(QDialog::Accepted, d->result());
    EXPECT_EQ("mytool.so", Option("Toolsrc"));
    EXPECT_EQ("1", Option("activeToolsrc"));
    EXPECT_EQ(std::vector<std::string>{"T34"}, BoxTexts()); // the name changed
}

TEST_F(SettingDialogTest, PluginOptionOffWithAStoredNameCountsAsAChange) {
    WriteFile(m_option, "[OPTION]\nactiveToolsrc = 0\nToolsrc = old.so\n");
    auto d = Open();
    d->accept();
    EXPECT_EQ(QDialog::Accepted, d->result());
    EXPECT_EQ(std::vector<std::string>{"T34"}, BoxTexts());
    EXPECT_EQ("old.so", Option("Toolsrc"));
    EXPECT_EQ("0", Option("activeToolsrc"));
}

TEST_F(SettingDialogTest, UnwritableOptionFileKeepsTheDialogOpen) {
    ASSERT_EQ(0, mkdir(m_option.c_str(), 0755)); // a directory cannot be written as a file
    auto d = Open();
    d->accept();
    EXPECT_NE(QDialog::Accepted, d->result());
    auto texts = BoxTexts();
    ASSERT_EQ(1u, texts.size());
    EXPECT_NE(std::string::npos, texts[0].find(m_option)) << texts[0];
}

} // namespace
} // namespace vorlane::test
