// Boot-loader patching and the magic block.
#include "SarnetInternal.h"

namespace vorlane::sarnet {

int WriteMagic(ToolParam* /*param*/) {
    return 0; // filled in with the magic pass
}

} // namespace vorlane::sarnet
