// ImageDecMan: extracts one named item of a firmware image into a file
// through the image-decoder services (the 64-bit decoder first, then the
// 32-bit one).
#pragma once

#include "PluginCenter.h"
#include "ServiceTables.h"

namespace vorlane::cardfun {

// Result codes of the extraction. The 32-bit and the 64-bit forms keep
// apart so that a log line shows which decoder failed.
enum ImageDecCode : int {
    kImageDecNullArgument = 338,
    kImageDecNoImageFile = 342,
    // 32-bit decoder
    kImage32CannotCreate = 72,
    kImage32NoItem = 79,
    kImage32EmptyItem = 86,
    kImage32ShortRead32K = 100,
    kImage32Write32K = 107,
    kImage32ShortRead512 = 119,
    kImage32Write512 = 125,
    kImage32ShortReadTail = 138,
    kImage32WriteTail = 144,
    // 64-bit decoder
    kImage64CannotCreate = 211,
    kImage64NoItem = 218,
    kImage64EmptyItem = 225,
    kImage64ShortRead32K = 239,
    kImage64Write32K = 246,
    kImage64ShortRead512 = 258,
    kImage64Write512 = 264,
    kImage64ShortReadTail = 277,
    kImage64WriteTail = 283,
};

class ImageDecMan {
  public:
    // Loads both decoders through a plug-in centre manager of its own.
    ImageDecMan();
    // Uses the given decoders (either may be null); for tests and callers
    // that hold the tables already.
    ImageDecMan(const Decoder32Table* decoder32, const Decoder64Table* decoder64);
    virtual ~ImageDecMan();
    ImageDecMan(const ImageDecMan&) = delete;
    ImageDecMan& operator=(const ImageDecMan&) = delete;

    int GetImageItem(const char* main, const char* sub, const char* imagePath,
                     const char* outputPath);
    int GetImageItem64(const char* main, const char* sub, void* image, const char* outputPath);
    int GetImageItem32(const char* main, const char* sub, void* image, const char* outputPath);

    // The decoder that GetImageItem used last (its table, either form), or null.
    void* CurrentDecoder() const { return m_current; }

  private:
    const Decoder32Table* m_decoder32 = nullptr;
    const Decoder64Table* m_decoder64 = nullptr;
    void* m_current = nullptr;
    const PluginManTable* m_center = nullptr;
};

// Loads "Hubrix.so" from the module directory and returns its manager table,
// or null (with "LoadPluginCenter Error" on the debugger output).
const PluginManTable* LoadPluginCenter();

// Fills a zeroed load record; false when the id or the path does not fit.
bool MakeLoadRecord(PluginLoadRecord* record, const char* id, const char* path);

} // namespace vorlane::cardfun
