// A minimal plug-in for the plug-in centre's tests; variants by definitions:
// PLUGIN_VALUE (what its table answers), PLUGIN_NO_EXPORT (no GetInterface),
// PLUGIN_NO_TABLE (GetInterface gives null), PLUGIN_REFUSE (QueryInterface says no).
#include "Export.h"

namespace {
struct TestTable {
    int (*Value)(void);
};
int Value(void) { return PLUGIN_VALUE; }
const TestTable g_table = {Value};
} // namespace

#ifndef PLUGIN_NO_EXPORT
// Ignores its argument, like the card-functions library's.
VORLANE_EXPORT void* GetInterface(const char*) {
#ifdef PLUGIN_NO_TABLE
    return nullptr;
#else
    return const_cast<TestTable*>(&g_table);
#endif
}
#endif

#ifdef PLUGIN_REFUSE
VORLANE_EXPORT int QueryInterface(const char*) { return 1; }
#else
VORLANE_EXPORT int QueryInterface(const char*) { return 0; }
#endif
