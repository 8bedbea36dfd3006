// The language plug-ins: texts by code page with fallback to English, and
// the card-functions library's shipped language file.
#include "Interfaces.h"
#include "ServiceModule.h"
#include "ServiceTables.h"

#include <cstdlib>
#include <cstring>

namespace vorlane::test {
namespace {

class ServicesVocabraex : public VorlaneTest {
  protected:
    void TearDown() override {
        unsetenv("VORLANE_CODEPAGE");
        VorlaneTest::TearDown();
    }
    static void CodePage(const char* page) { setenv("VORLANE_CODEPAGE", page, 1); }
};

const char kLanguageFile[] = "\xEF\xBB\xBF; comment\r\n"
                             "[en]\r\n"
                             "1 = Hello\r\n"
                             "2=Two lines\\nsecond %d\r\n"
                             "3 = only English\r\n"
                             "word = ignored\r\n"
                             "[zh_CN]\n"
                             "1 = \xE4\xBD\xA0\xE5\xA5\xBD\n"
                             "2 = \xE4\xB8\xA4\xE8\xA1\x8C\\n%d\n"
                             "[zh_TW]\n"
                             "1 = \xE5\x93\x88\xE5\x9B\x89\n";

TEST_F(ServicesVocabraex, AnswersByCodePageWithFallbackToEnglish) {
    ServiceModule module("Vocabraex.so", VORLANE_IID_LANGUAGE_APP);
    const LanguageTable* lang = module.Table<LanguageTable>();
    ASSERT_NE(lang, nullptr) << module.Error();
    WriteFile(HomePath("app.lan"), std::string(kLanguageFile));
    ASSERT_NE(lang->LoadLanguageFile(HomePath("app.lan").c_str()), 0);
    struct Case {
        const char* codePage;
        int id;
        const char* expected;
    } cases[] = {
        {"1252", 1, "Hello"},
        {"1252", 2, "Two lines\nsecond %d"},
        {"936", 1, "\xE4\xBD\xA0\xE5\xA5\xBD"},
        {"936", 2, "\xE4\xB8\xA4\xE8\xA1\x8C\n%d"},
        {"936", 3, "only English"},
        {"950", 1, "\xE5\x93\x88\xE5\x9B\x89"},
        {"950", 2, "Two lines\nsecond %d"},
        {"65001", 1, "Hello"},
        {"1252", 99, ""},
        {"936", -1, ""},
    };
    for (const Case& c : cases) {
        CodePage(c.codePage);
        const char* text = lang->GetText(c.id, 1);
        ASSERT_NE(text, nullptr);
        EXPECT_STREQ(text, c.expected) << "code page " << c.codePage << ", id " << c.id;
    }
}

TEST_F(ServicesVocabraex, UnreadableFileKeepsTheLoadedTexts) {
    ServiceModule module("Vocabraex.so", VORLANE_IID_LANGUAGE_APP);
    const LanguageTable* lang = module.Table<LanguageTable>();
    ASSERT_NE(lang, nullptr);
    CodePage("1252");
    WriteFile(HomePath("app.lan"), std::string(kLanguageFile));
    ASSERT_NE(lang->LoadLanguageFile(HomePath("app.lan").c_str()), 0);
    EXPECT_EQ(lang->LoadLanguageFile(HomePath("missing.lan").c_str()), 0);
    EXPECT_EQ(lang->LoadLanguageFile(nullptr), 0);
    EXPECT_STREQ(lang->GetText(1, 1), "Hello");
}

TEST_F(ServicesVocabraex, TheTwoModulesKeepSeparateTexts) {
    ServiceModule app("Vocabraex.so", VORLANE_IID_LANGUAGE_APP);
    ServiceModule lib("Vocabraex_1.so", VORLANE_IID_LANGUAGE_LIB);
    const LanguageTable* a = app.Table<LanguageTable>();
    const LanguageTable* b = lib.Table<LanguageTable>();
    ASSERT_TRUE(a && b);
    ASSERT_NE(a, b);
    CodePage("1252");
    WriteFile(HomePath("a.lan"), std::string("[en]\n7 = from the program\n"));
    WriteFile(HomePath("b.lan"), std::string("[en]\n7 = from the library\n"));
    ASSERT_NE(a->LoadLanguageFile(HomePath("a.lan").c_str()), 0);
    ASSERT_NE(b->LoadLanguageFile(HomePath("b.lan").c_str()), 0);
    EXPECT_STREQ(a->GetText(7, 1), "from the program");
    EXPECT_STREQ(b->GetText(7, 1), "from the library");
}

// The printf conversions of a text, in order ("cd" for %c ... %d).
std::string Conversions(const std::string& text) {
    std::string found;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') continue;
        size_t k = i + 1;
        while (k < text.size() && std::strchr("-+ #0123456789.lhz", text[k]))
            ++k;
        if (k < text.size()) found += text[k];
        i = k;
    }
    return found;
}

TEST_F(ServicesVocabraex, ShippedLibraryTextsExistInEnglishAndChinese) {
    ServiceModule lib("Vocabraex_1.so", VORLANE_IID_LANGUAGE_LIB);
    const LanguageTable* lang = lib.Table<LanguageTable>();
    ASSERT_NE(lang, nullptr);
    ASSERT_NE(lang->LoadLanguageFile(ModulePath("mavrelfunc.lan").c_str()), 0);
    for (int id : {21, 22, 23, 26, 35, 44, 45, 46}) {
        SCOPED_TRACE(id);
        CodePage("1252");
        std::string english = lang->GetText(id, 1);
        CodePage("936");
        std::string chinese = lang->GetText(id, 1);
        EXPECT_FALSE(english.empty());
        EXPECT_FALSE(chinese.empty());
        EXPECT_NE(english, chinese); // a Chinese text of its own, not the fallback
        std::string expected = id == 35 ? "cd" : "";
        EXPECT_EQ(Conversions(english), expected) << english;
        EXPECT_EQ(Conversions(chinese), expected) << chinese;
    }
    CodePage("1252");
    char line[256];
    std::snprintf(line, sizeof line, lang->GetText(35, 1), 'E', 1739);
    EXPECT_EQ(std::string(line).rfind("E:", 0), 0u) << line;
    EXPECT_NE(std::string(line).find("1739"), std::string::npos) << line;
}

} // namespace
} // namespace vorlane::test
