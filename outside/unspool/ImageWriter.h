// Writes firmware image containers (".img").
//
//   vorlane::image::Writer w;
//   w.AddFile("12345678", "1234567890SCRIPT", "script.cfg");  // streamed at Write
//   w.AddData("12345678", "1234567890___MBR", bytes);         // copied now
//   std::string err;
//   if (!w.Write("out.img", 2, &err)) std::fprintf(stderr, "%s\n", err.c_str());
//
// Write checks the whole job first (names, duplicates without regard to
// letter case, files present, the size limit of version 1), then writes the
// item data in the order added, each at the next multiple of 4096, the item
// table after the data and the header last. It writes into "<out>.tmp-<pid>",
// syncs it and renames it over `out`, so `out` is never a half-written image.
// Errors are one line: "<what>: <why>".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vorlane::image {

class Writer {
  public:
    // Item from a file, read when Write runs.
    void AddFile(const std::string& mainType, const std::string& subType, const std::string& path);
    // Item from bytes in memory (copied).
    void AddData(const std::string& mainType, const std::string& subType, const void* data,
                 size_t size);
    void AddData(const std::string& mainType, const std::string& subType,
                 const std::vector<uint8_t>& data) {
        AddData(mainType, subType, data.data(), data.size());
    }
    void AddData(const std::string& mainType, const std::string& subType, const std::string& text) {
        AddData(mainType, subType, text.data(), text.size());
    }
    size_t Count() const { return m_items.size(); }

    // `version` 2 (64-bit fields) or 1 (32-bit fields, image below 4 GiB).
    bool Write(const std::string& out, uint32_t version, std::string* error) const;

  private:
    struct Entry {
        std::string mainType, subType;
        std::string path; // empty: data
        std::vector<uint8_t> data;
    };
    std::vector<Entry> m_items;
};

} // namespace vorlane::image
