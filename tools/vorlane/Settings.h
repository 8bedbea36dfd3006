// `vorlane settings`: writes "option.cfg" the way the settings dialog does.
#pragma once

#include <string>

namespace vorlane::cli {

struct SettingsRequest {
    int toolSource = -1;        // 1 on (with a name), 0 off, -1 unchanged
    std::string toolSourceName; // raw name as given
    int firstPartSize = -1;     // 1 on (with a size), 0 off, -1 unchanged
    std::string firstPartSizeText;
};

// Returns the exit status (0, or 2 for a refused value); messages go to stderr.
int RunSettings(const SettingsRequest& request, bool json);

} // namespace vorlane::cli
