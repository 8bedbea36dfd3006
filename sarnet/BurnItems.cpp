// The items pass: every item of the script written at its sector.
#include "SarnetInternal.h"

namespace vorlane::sarnet {

int BurnItems(ToolParam* /*param*/) {
    return 0; // filled in with the items pass
}

} // namespace vorlane::sarnet
