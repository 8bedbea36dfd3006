// The packer's manifest: an INI file with one section per item, giving its
// `main` type, `sub` type and `file` (relative paths resolve against the
// manifest's directory). Items are packed in the order of their sections.
#pragma once

#include <string>
#include <vector>

namespace vorlane::img {

struct ManifestItem {
    std::string section;
    std::string mainType, subType, file;
};

// Reads `path`; on failure `error` is "<what>: <why>".
bool ReadManifest(const std::string& path, std::vector<ManifestItem>* items, std::string* error);

} // namespace vorlane::img
