// The partition-table file update (mbr.fex -> mbr_new.fex).
#include "SarnetInternal.h"

namespace vorlane::sarnet {

int UpdateMbrFexFile(ToolParam* /*param*/) {
    return 0; // filled in with the table update
}

} // namespace vorlane::sarnet
