#include "Interfaces.h"
#include "ServiceModule.h"

#include <cstring>

namespace vorlane::test {
namespace {

struct ModuleCase {
    const char* file;
    const char* id;
};

const ModuleCase kModules[] = {
    {"Drevant.so", VORLANE_IID_CARD_OPERATIONS},
    {"Volmac.so", VORLANE_IID_VOLUME_IMAGE},
    {"Brevik.so", VORLANE_IID_VOLUME_FORMAT},
    {"Caldrin.so", VORLANE_IID_TABLE_CONVERSION},
    {"Tessary.so", VORLANE_IID_SUM},
    {"Vocabraex.so", VORLANE_IID_LANGUAGE_APP},
    {"Vocabraex_1.so", VORLANE_IID_LANGUAGE_LIB},
};

TEST(ServicesExports, EveryModuleAnswersForItsOwnIdOnly) {
    for (const ModuleCase& m : kModules) {
        SCOPED_TRACE(m.file);
        ServiceModule module(m.file, m.id);
        ASSERT_NE(module.Table<void>(), nullptr) << module.Error();
        for (const char* name : {"GetPlugInName", "GetPlugInVersion", "GetAuthor", "GetCopyRight"})
            EXPECT_NE(module.Symbol(name), nullptr) << name;
        auto type = reinterpret_cast<GetPlugInTypeFn>(module.Symbol("GetPlugInType"));
        auto query = reinterpret_cast<QueryInterfaceFn>(module.Symbol("QueryInterface"));
        auto get = reinterpret_cast<GetInterfaceFn>(module.Symbol("GetInterface"));
        ASSERT_TRUE(type && query && get);
        EXPECT_STREQ(type(), m.id);
        EXPECT_EQ(query(m.id), 0);
        // Ids compare byte for byte: another id, a case change or null is refused.
        std::string upper = m.id;
        for (char& c : upper)
            c = char(std::toupper(static_cast<unsigned char>(c)));
        std::string lower = m.id;
        for (char& c : lower)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        const std::string& changed = upper != m.id ? upper : lower;
        for (const char* other : {VORLANE_IID_CHECKSUM, changed.c_str(), (const char*)nullptr}) {
            EXPECT_NE(query(other), 0);
            EXPECT_EQ(get(other), nullptr);
        }
    }
}

} // namespace
} // namespace vorlane::test
