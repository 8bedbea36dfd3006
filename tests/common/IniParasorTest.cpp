// The INI parser in its three variants: grammar, lookups, changes, saving
// and hostile input.
#include "IniParasor.h"
#include "TestSupport.h"

#include <cstring>

namespace vorlane::test {
namespace {

using App = app::IniParasor;
using CardFun = cardfun::IniParasor;
using Sarnet = sarnet::IniParasor;

// The model as one line: S<name|comment> for a section, K<key|value|comment>
// for a key entry, T<comment> for a text entry; CR and LF shown as \r, \n.
std::string Escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}
template <class P> std::string Dump(const P& ini) {
    std::string out;
    for (const IniSection& s : ini.Sections()) {
        if (!out.empty()) out += ' ';
        out += "S<" + Escape(s.name) + "|" + Escape(s.comment) + ">";
        for (const IniEntry& e : s.entries) {
            if (e.kind == IniEntryKey)
                out +=
                    " K<" + Escape(e.key) + "|" + Escape(e.value) + "|" + Escape(e.comment) + ">";
            else
                out += " T<" + Escape(e.comment) + ">";
        }
    }
    return out;
}

// The digits between `prefix` and `suffix` of `text`; empty when the text
// has another form.
std::string NumberBetween(const std::string& text, const std::string& prefix,
                          const std::string& suffix) {
    if (text.size() <= prefix.size() + suffix.size() ||
        text.compare(0, prefix.size(), prefix) != 0 ||
        text.compare(text.size() - suffix.size(), suffix.size(), suffix) != 0)
        return "";
    std::string number = text.substr(prefix.size(), text.size() - prefix.size() - suffix.size());
    for (char c : number)
        if (c < '0' || c > '9') return "";
    return number;
}

class IniParasorTest : public VorlaneTest {
  protected:
    void SetUp() override {
        VorlaneTest::SetUp();
        m_empty = HomePath("empty.ini");
        WriteFile(m_empty, std::string());
    }
    template <class P> std::string ParseDump(const std::string& data) {
        P ini(m_empty.c_str());
        ini.Parse(data.data(), data.size());
        return Dump(ini);
    }
    std::string m_empty;
};

// Grammar: each case's model in the three variants (null: as the main program's).
TEST_F(IniParasorTest, ParseBuildsTheModel) {
    using namespace std::string_literals;
    struct Case {
        const char* label;
        std::string input;
        const char* app;
        const char* cardFun;
        const char* sarnet;
    } cases[] = {
        {"empty data", "", "S<|>", nullptr, nullptr},
        {"last line without break", "k=1", "S<|> K<k|1|>", nullptr, nullptr},
        {"NUL ends the data", "a=1\0b=2\nc=3"s, "S<|> K<a|1|>", nullptr, nullptr},
        {"CR LF and LF ends, none after the last", "a=1\r\nb=2\nc=3\r\n",
         "S<|> K<a|1|> K<b|2|> K<c|3|>", nullptr, nullptr},
        {"final empty line", "a=1\n\n", "S<|> K<a|1|> T< >", nullptr, nullptr},
        {"value, comment untrimmed after the split", "a = b ; c", "S<|> K<a|b | c>", nullptr,
         nullptr},
        {"only the first semicolon splits", "a=1;c;d", "S<|> K<a|1|c;d>", nullptr, nullptr},
        {"section comments", "[Sec]\r\n;; first\r\n  ; second\r\n",
         "S<|> S<Sec| first\\r\\n second\\r\\n>", nullptr, "S<|> S<Sec|> T<;; first> T<; second>"},
        {"section comment ends at a blank line", "[s]\n;a\n\n;b\nk=v",
         "S<|> S<s|a\\r\\n> T< > T<;b> K<k|v|>", nullptr, "S<|> S<s|> T<;a> T< > T<;b> K<k|v|>"},
        {"comment and blank lines are kept", "; top\n\n \t \nk=v\n\t;x",
         "S<|> T<; top> T< > T< > K<k|v|> T<;x>", nullptr, nullptr},
        {"header as the last line", "k=v\n[Sec]", "S<|> K<k|v|> S<Sec|>", nullptr, nullptr},
        {"text around the brackets", "xyz[abc]tail", "S<|> S<abc|>", nullptr, nullptr},
        {"name untrimmed", "[ a b ]", "S<|> S< a b |>", nullptr, nullptr},
        {"empty name", "[]\nk=v", "S<|> S<|> K<k|v|>", nullptr, nullptr},
        {"bracket in a key line", "key=[v]", "S<|> S<v|>", "S<|> K<key|[v]|>", nullptr},
        {"bracket before the equals", "[a]=x", "S<|> S<a|>", "S<|> K<[a]|x|>", nullptr},
        {"unclosed header dropped", "[abc\nk=v", "S<|> K<k|v|>", nullptr, nullptr},
        {"nothing after the bracket", "[", "S<|>", nullptr, nullptr},
        {"key without value", "novalue", "S<|> K<|novalue|>", nullptr, nullptr},
        {"tabs and spaces trimmed", "\t \tk\t=\tv\t", "S<|> K<k|v|>", nullptr, nullptr},
        // The plug-in trims spaces and tabs only, the key only on its right.
        {"other white space", "k\v=\fv\v", "S<|> K<k|v|>", nullptr, "S<|> K<k\v|\fv\v|>"},
        // A lone CR is an ordinary byte, and so is the byte after it.
        {"CR CR LF", "a=1\r\r\nb=2", "S<|> K<a|1|> K<b|2|>", nullptr, "S<|> K<a|1\\r\\r|> K<b|2|>"},
        {"lone CR before the last byte", "a=1\rX", "S<|> K<a|1\\rX|>", nullptr, nullptr},
        {"CR as the last byte", "a=1\r", "S<|> K<a|1|>", nullptr, "S<|> K<a|1\\r|>"},
        {"NUL after a lone CR", "a=1\r\0b=2"s, "S<|> K<a|1|>", nullptr, "S<|> K<a|1\\r|>"},
        {"UTF-8 text", "[设置]\n名字 = 值 ; 注释", "S<|> S<设置|> K<名字|值 | 注释>", nullptr,
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(ParseDump<App>(c.input), c.app);
        EXPECT_EQ(ParseDump<CardFun>(c.input), c.cardFun ? c.cardFun : c.app);
        EXPECT_EQ(ParseDump<Sarnet>(c.input), c.sarnet ? c.sarnet : c.app);
    }
}

TEST_F(IniParasorTest, ParseResultAndModelReplacement) {
    App app(m_empty.c_str());
    CardFun cardFun(m_empty.c_str());
    Sarnet sarnet(m_empty.c_str());
    EXPECT_EQ(app.Parse("a=1", 3), 0);
    EXPECT_EQ(cardFun.Parse("a=1", 3), 0);
    EXPECT_EQ(sarnet.Parse("a=1", 3), 1);
    // Every parse discards the previous model.
    EXPECT_EQ(cardFun.Parse("[x]\nb=2", 7), 0);
    EXPECT_EQ(Dump(cardFun), "S<|> S<x|> K<b|2|>");
    char value[256] = "untouched";
    EXPECT_EQ(cardFun.GetValue("", "a", value), 301);
}

TEST_F(IniParasorTest, KeyWithoutValueIsReported) {
    const std::string data = "a=1\nnovalue\nb=2";
    ParseDump<App>(data);
    ParseDump<CardFun>(data);
    ParseDump<Sarnet>(data);
    auto boxes = m_capture.Boxes();
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[0].text, "Script！键必须有其对应的值！");
    const std::string cardFunLine = NumberBetween(boxes[1].text, "IniParasor(Ln", ")script eror.");
    const std::string sarnetLine = NumberBetween(boxes[2].text, "Error In IniParasor Ln:", "");
    EXPECT_NE(cardFunLine, "") << boxes[1].text;
    EXPECT_NE(sarnetLine, "") << boxes[2].text;
    EXPECT_EQ(cardFunLine, sarnetLine); // the one check's line
    for (const auto& box : boxes) {
        EXPECT_EQ(box.caption, "");
        EXPECT_EQ(box.type, MB_OK);
    }
    // Parsing went on after the box: b exists.
    CardFun ini(m_empty.c_str());
    ini.Parse(data.data(), data.size());
    char value[256];
    EXPECT_EQ(ini.GetValue("", "b", value), 0);
    EXPECT_STREQ(value, "2");
}

TEST_F(IniParasorTest, OpenFailureCodesAndReports) {
    const std::string missing = HomePath("missing.cfg");
    App app(missing.c_str());
    EXPECT_TRUE(app.Sections().empty());
    EXPECT_EQ(app.Load(missing.c_str()), 47);
    CardFun cardFun(missing.c_str());
    EXPECT_EQ(cardFun.Load(m_home.c_str()), 52); // a directory cannot be read
    EXPECT_TRUE(cardFun.Sections().empty());
    Sarnet sarnet(missing.c_str());
    EXPECT_EQ(sarnet.Load(missing.c_str()), 0);
    EXPECT_TRUE(sarnet.Sections().empty());

    auto boxes = m_capture.Boxes();
    ASSERT_EQ(boxes.size(), 2u); // the main program's copy only, constructor and Load
    EXPECT_EQ(boxes[0].text, "Can't Open File " + missing);
    EXPECT_EQ(boxes[0].type, MB_OK);
    EXPECT_TRUE(m_capture.DebugContains("Can't Open File " + missing));
    EXPECT_TRUE(m_capture.DebugContains("Can't Open File " + m_home));
    EXPECT_EQ(m_capture.Debug().size(), 2u); // nothing from the plug-in's copy

    // The empty model answers not found, and Save writes what was added since.
    char value[256];
    EXPECT_EQ(cardFun.GetValue("", "k", value), 301);
    EXPECT_EQ(cardFun.SetValue("s", "k", "v"), 0);
    cardFun.Save();
    EXPECT_EQ(ReadFile(missing), (std::vector<uint8_t>{'[', 's', ']', '\r', '\n', 'k', ' ', ' ',
                                                       '=', ' ', 'v', '\r', '\n'}));
}

TEST_F(IniParasorTest, LoadReadsTheWholeFile) {
    // The plug-in reads in text mode: every CR LF pair arrives as LF, which
    // shows where a CR stands before a CR LF.
    const std::string path = HomePath("script.cfg");
    const std::string bytes = "[s]\r\nk = v\r\r\nj=w\r\n";
    WriteFile(path, bytes);
    Sarnet sarnet(path.c_str());
    EXPECT_EQ(Dump(sarnet), "S<|> S<s|> K<k|v|> K<j|w|>");
    EXPECT_EQ(sarnet.Load(path.c_str()), 1);
    EXPECT_EQ(ParseDump<Sarnet>(bytes), "S<|> S<s|> K<k|v\\r\\r|> K<j|w|>");
    App app(path.c_str());
    EXPECT_EQ(Dump(app), "S<|> S<s|> K<k|v|> K<j|w|>");

    // Files up to the size limit load; larger ones are refused like a file
    // that cannot be opened.
    std::string big(kIniMaxFileSize, ' ');
    std::memcpy(&big[0], "k=v\n", 4);
    WriteFile(path, big);
    CardFun fits(path.c_str());
    char value[256];
    EXPECT_EQ(fits.GetValue("", "k", value), 0);
    big += "x";
    WriteFile(path, big);
    EXPECT_EQ(fits.Load(path.c_str()), 52);
    EXPECT_TRUE(fits.Sections().empty());
    EXPECT_EQ(sarnet.Load(path.c_str()), 0);
    EXPECT_TRUE(sarnet.Sections().empty());
}

template <class P> struct LookupCodes {
    int found, valueMissing, keyMissing;
    bool trimsWantedKey;
};

template <class P> void CheckLookups(const std::string& file, const LookupCodes<P>& codes) {
    P ini(file.c_str());
    char value[256];
    // Sections and keys ignore case.
    ASSERT_EQ(ini.GetValue("OPTION", "activeFirstPartSize", value), codes.found);
    EXPECT_STREQ(value, "100");
    // Missing in the first of two sections of one name: found in the second.
    ASSERT_EQ(ini.GetValue("s", "k", value), codes.found);
    EXPECT_STREQ(value, "2");
    ASSERT_EQ(ini.GetValue("S", "x", value), codes.found);
    EXPECT_STREQ(value, "1");
    // Duplicate keys: the first wins.
    ASSERT_EQ(ini.GetValue("s", "dup", value), codes.found);
    EXPECT_STREQ(value, "first");

    std::strcpy(value, "untouched");
    EXPECT_EQ(ini.GetValue("s", "missing", value), codes.valueMissing);
    EXPECT_EQ(ini.GetValue("nosection", "k", value), codes.valueMissing);
    EXPECT_EQ(ini.GetValue("s", " k", value), codes.valueMissing); // left side is not trimmed
    EXPECT_EQ(ini.GetValue("", "k", value), codes.valueMissing);
    EXPECT_STREQ(value, "untouched");
    EXPECT_EQ(ini.GetValue("s", "k ", value),
              codes.trimsWantedKey ? codes.found : codes.valueMissing);

    int s = -2, e = -2;
    EXPECT_EQ(ini.FindKey("img file", "PATH", &s, &e), codes.found);
    EXPECT_EQ(ini.Sections()[s].entries[e].value, std::string("/a/b.img"));
    EXPECT_EQ(ini.FindKey("img file", "nope", &s, &e), codes.keyMissing);
    // Comment and blank entries are never keys.
    EXPECT_EQ(ini.FindKey("s", "", &s, &e), codes.keyMissing);
}

const char kLookupFile[] = "top = 0\n"
                           "[option]\n"
                           "ActiveFirstPartSize = 100\n"
                           "[s]\n"
                           "x = 1\n"
                           "dup = first\n"
                           "dup = second\n"
                           "; k = commented\n"
                           "\n"
                           "[S]\n"
                           "k = 2\n"
                           "[Img File]\n"
                           "path = /a/b.img\n";

TEST_F(IniParasorTest, LookupsIgnoreCaseAndTakeTheFirstMatch) {
    const std::string path = HomePath("option.cfg");
    WriteFile(path, std::string(kLookupFile));
    CheckLookups<App>(path, {0, 292, 461, true});
    CheckLookups<CardFun>(path, {0, 301, 470, true});
    CheckLookups<Sarnet>(path, {1, 0, 0, false});

    // The main program finds only its image section.
    App app(path.c_str());
    int index = 7;
    EXPECT_EQ(app.FindSection("IMG FILE", &index), 0);
    EXPECT_EQ(index, 4);
    EXPECT_EQ(app.FindSection("option", &index), 483);
    EXPECT_EQ(index, -1);
    CardFun cardFun(path.c_str());
    EXPECT_EQ(cardFun.FindSection("OPTION", &index), 0);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(cardFun.FindSection("S", &index), 0);
    EXPECT_EQ(index, 2);
    EXPECT_EQ(cardFun.FindSection("opt", &index), 492);
    EXPECT_EQ(index, -1);
}

TEST_F(IniParasorTest, LongTextsAreCutToTheirFields) {
    const std::string k(300, 'k'), v(100 * 1024, 'v'), c(300, 'c'), n(300, 'n');
    const std::string data = k + "=" + v + ";" + c + "\n;" + std::string(1000, 'x') + "\n[" + n +
                             "]\n[s]\n;" + std::string(5000, 'y');
    CardFun ini(m_empty.c_str());
    ini.Parse(data.data(), data.size());
    ASSERT_EQ(ini.Sections().size(), 3u);
    const IniEntry& entry = ini.Sections()[0].entries.at(0);
    EXPECT_EQ(std::string(entry.key), k.substr(0, 259));
    EXPECT_EQ(std::string(entry.value), v.substr(0, 259));
    EXPECT_EQ(std::string(entry.comment), c.substr(0, 259));
    EXPECT_EQ(std::string(ini.Sections()[1].name), n.substr(0, 259));
    EXPECT_EQ(std::string(ini.Sections()[0].entries.at(1).comment), ";" + std::string(258, 'x'));
    // A section comment has no field: kept whole.
    EXPECT_EQ(ini.Sections()[2].comment, std::string(5000, 'y') + "\r\n");

    // GetValue without a size writes at most 255 bytes and the NUL.
    char value[300];
    std::memset(value, '#', sizeof value);
    ASSERT_EQ(ini.GetValue("", k.substr(0, 259).c_str(), value), 0);
    EXPECT_EQ(std::string(value), v.substr(0, 255));
    EXPECT_EQ(value[256], '#');
    // Setting a long value cuts it as well.
    ASSERT_EQ(ini.SetValue("s", "key", v.c_str()), 0);
    ASSERT_EQ(ini.GetValue("s", "key", value), 0);
    EXPECT_EQ(std::string(ini.Sections()[2].entries.back().value), v.substr(0, 259));

    // The plug-in's sized form clears and fills only the given size.
    Sarnet sarnet(m_empty.c_str());
    sarnet.Parse(data.data(), data.size());
    std::memset(value, '#', sizeof value);
    ASSERT_EQ(sarnet.GetValue("", k.substr(0, 259).c_str(), value, 8), 1);
    EXPECT_EQ(std::string(value), "vvvvvvv");
    EXPECT_EQ(value[8], '#');
    ASSERT_EQ(sarnet.GetValue("", k.substr(0, 259).c_str(), value, 290), 1);
    EXPECT_EQ(std::string(value), v.substr(0, 259));
    EXPECT_EQ(value[290], '#');
    value[0] = '#';
    EXPECT_EQ(sarnet.GetValue("", k.substr(0, 259).c_str(), value, 0), 1);
    EXPECT_EQ(value[0], '#');
    EXPECT_EQ(sarnet.GetValue("", "nokey", value, 8), 0);
    EXPECT_EQ(value[0], '#');
}

TEST_F(IniParasorTest, SetValueAndAddKey) {
    const std::string path = HomePath("edit.cfg");
    const std::string original = "[a]\r\nk = 1 ; note\r\n; trailing\r\n[b]\r\n";
    WriteFile(path, original);
    CardFun ini(path.c_str());
    EXPECT_EQ(ini.SetValue("A", "K", "2"), 0);   // existing: value replaced, comment kept
    EXPECT_EQ(ini.SetValue("a", "new", "x"), 0); // appended after the trailing comment
    EXPECT_EQ(ini.SetValue("c", "z", "9"), 0);   // new section at the end
    ini.AddSection("B");                         // exists: nothing
    EXPECT_EQ(ini.AddKey("b", "y", ""), 0);
    EXPECT_EQ(ini.AddKey("d", "w", "1"), 0); // adds the missing section
    EXPECT_EQ(Dump(ini), "S<|> S<a|> K<k|2| note> T<; trailing> K<new|x|> S<b|> K<y||> "
                         "S<c|> K<z|9|> S<d|> K<w|1|>");
    // Nothing is written until Save.
    std::vector<uint8_t> onDisk = ReadFile(path);
    EXPECT_EQ(std::string(onDisk.begin(), onDisk.end()), original);

    // The main program changes only [Img File] path.
    App app(path.c_str());
    const std::string before = Dump(app);
    EXPECT_EQ(app.SetValue("a", "k", "3"), 601);
    EXPECT_EQ(app.AddKey("b", "y", "1"), 601);
    EXPECT_EQ(app.AddKey("img file", "other", "1"), 601);
    app.AddSection("other");
    EXPECT_EQ(Dump(app), before);
    EXPECT_EQ(app.SetValue("img file", "PATH", "/x.img"), 0);
    EXPECT_EQ(app.SetValue("Img File", "path", "/y.img"), 0);
    EXPECT_EQ(Dump(app), before + " S<img file|> K<PATH|/y.img|>");
    app.Save();
    onDisk = ReadFile(path);
    EXPECT_EQ(std::string(onDisk.begin(), onDisk.end()),
              "[a]\r\nk  = 1 ; note\r\n; trailing\r\n[b]\r\n[img file]\r\nPATH  = /y.img\r\n");
}

TEST_F(IniParasorTest, SaveWritesAlignedCrLfLines) {
    const std::string path = HomePath("save.cfg");
    WriteFile(path, std::string("; top comment\ntop=1\n[Sec]\n;; first\n; second\na = b ; c\n"
                                "longkey=2\n\n; tail\n[Empty]"));
    CardFun ini(path.c_str());
    ini.Save();
    const std::string expected = "; top comment\r\ntop  = 1\r\n"
                                 "[Sec]\r\n; first\r\n; second\r\n"
                                 "a        = b ; c\r\nlongkey  = 2\r\n \r\n; tail\r\n"
                                 "[Empty]\r\n";
    std::vector<uint8_t> saved = ReadFile(path);
    EXPECT_EQ(std::string(saved.begin(), saved.end()), expected);

    // Load -> save -> load keeps the model and the bytes (the blank line
    // saved as one space is a blank entry again).
    const std::string first = Dump(ini);
    App again(path.c_str());
    EXPECT_EQ(Dump(again), first);
    again.Save();
    saved = ReadFile(path);
    EXPECT_EQ(std::string(saved.begin(), saved.end()), expected);

    // 'a' as the longest key: two spaces before "=".
    WriteFile(path, std::string("a = b ; c"));
    CardFun single(path.c_str());
    single.Save();
    saved = ReadFile(path);
    EXPECT_EQ(std::string(saved.begin(), saved.end()), "a  = b ; c\r\n");

    // An empty file saves as an empty file; an unwritable path writes nothing.
    CardFun empty(m_empty.c_str());
    empty.Save();
    EXPECT_TRUE(ReadFile(m_empty).empty());
    CardFun nowhere((m_home + "/no/such/dir.cfg").c_str());
    nowhere.AddSection("x");
    nowhere.Save();
    EXPECT_FALSE(FileExists(m_home + "/no"));
}

TEST_F(IniParasorTest, SarnetSectionNames) {
    Sarnet ini(m_empty.c_str());
    const std::string data = "[ a ]\n[]\n[b\t]\nk=v\n[ ]\n[a]";
    ini.Parse(data.data(), data.size());
    std::vector<std::string> names = {"kept"};
    EXPECT_EQ(ini.GetSectionNames(names), 5);
    EXPECT_EQ(names, (std::vector<std::string>{"kept", "a", "b", "", "a"}));
    ini.Parse("[c]", 3);
    names.clear();
    EXPECT_EQ(ini.GetSectionNames(names), 1);
    EXPECT_EQ(names, std::vector<std::string>{"c"});
}

TEST_F(IniParasorTest, HostileInputStaysInBounds) {
    // Many sections: all parsed, the last one found.
    std::string many;
    for (int i = 0; i < 10000; ++i)
        many += "[s" + std::to_string(i) + "]\nk=" + std::to_string(i) + "\n";
    CardFun ini(m_empty.c_str());
    ini.Parse(many.data(), many.size());
    EXPECT_EQ(ini.Sections().size(), 10001u);
    char value[256];
    ASSERT_EQ(ini.GetValue("S9999", "k", value), 0);
    EXPECT_STREQ(value, "9999");

    // Every single byte, and seeded random data of odd sizes, in every
    // variant (the sanitizer build checks the bounds).
    std::vector<std::string> inputs;
    for (int b = 0; b < 256; ++b)
        inputs.emplace_back(1, static_cast<char>(b));
    for (uint32_t seed = 1; seed <= 8; ++seed) {
        std::vector<uint8_t> r = RandomBytes(seed == 1 ? 40000 : 997 * seed, seed);
        inputs.emplace_back(r.begin(), r.end());
    }
    inputs.push_back(std::string(300, '[') + std::string(300, ']') + std::string(300, '='));
    for (const std::string& in : inputs) {
        ParseDump<App>(in);
        ParseDump<CardFun>(in);
        ParseDump<Sarnet>(in);
    }
}

} // namespace
} // namespace vorlane::test
