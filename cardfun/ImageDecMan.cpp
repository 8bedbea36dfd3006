#include "ImageDecMan.h"

#include "CardFunLog.h"
#include "Interfaces.h"
#include "VorlanePlatform.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstring>

namespace vorlane::cardfun {

namespace {

constexpr const char* kFile = "ImageDecMan";
constexpr uint32_t kBigBlock = 32768;
constexpr uint32_t kSmallBlock = 512;

// The codes of one decoder form, in the order of the copy loop.
struct DecoderCodes {
    int cannotCreate, noItem, emptyItem;
    int shortRead32K, write32K, shortRead512, write512, shortReadTail, writeTail;
    const char* function;
};

constexpr DecoderCodes kCodes32 = {kImage32CannotCreate, kImage32NoItem,
                                   kImage32EmptyItem,    kImage32ShortRead32K,
                                   kImage32Write32K,     kImage32ShortRead512,
                                   kImage32Write512,     kImage32ShortReadTail,
                                   kImage32WriteTail,    "ImageDecMan::GetImageItem32"};
constexpr DecoderCodes kCodes64 = {kImage64CannotCreate, kImage64NoItem,
                                   kImage64EmptyItem,    kImage64ShortRead32K,
                                   kImage64Write32K,     kImage64ShortRead512,
                                   kImage64Write512,     kImage64ShortReadTail,
                                   kImage64WriteTail,    "ImageDecMan::GetImageItem64"};

// Uniform access to both decoder forms for the one copy algorithm.
struct DecoderOps {
    const Decoder32Table* d32;
    const Decoder64Table* d64;
    void* OpenItem(void* image, const char* main, const char* sub) const {
        return d64 ? d64->OpenItem(image, main, sub) : d32->OpenItem(image, main, sub);
    }
    // The item length; 0 for an empty item and for a negative 32-bit length.
    uint64_t GetItemSize(void* image, void* item) const {
        if (d64) return d64->GetItemSize(image, item);
        int32_t size = d32->GetItemSize(image, item);
        return size > 0 ? static_cast<uint64_t>(size) : 0;
    }
    uint64_t ReadItem(void* image, void* item, void* buffer, uint32_t length) const {
        if (d64) return d64->ReadItem(image, item, buffer, length, 0);
        int32_t n = d32->ReadItem(image, item, buffer, length);
        return n > 0 ? static_cast<uint64_t>(n) : 0;
    }
    void CloseItem(void* image, void* item) const {
        if (d64)
            d64->CloseItem(image, item);
        else
            d32->CloseItem(image, item);
    }
    void CloseImage(void* image) const {
        if (d64)
            d64->CloseImage(image);
        else
            d32->CloseImage(image);
    }
};

int CopyItem(const DecoderOps& ops, const DecoderCodes& codes, const char* main, const char* sub,
             void* image, const char* outputPath) {
    int result = 0;
    void* item = nullptr;
    FILE* out = fopen(outputPath, "wb+");
    if (!out) {
        LogError(kFile, __LINE__, codes.function, "创建：%s失败, 文件已经存在", outputPath);
        result = codes.cannotCreate;
    } else {
        // A decoder that could not open the image has no items.
        item = image ? ops.OpenItem(image, main, sub) : nullptr;
        if (!item) {
            result = codes.noItem;
            LogError(kFile, __LINE__, codes.function, "%s Ln %d", kFile, result - 1);
        }
    }
    uint64_t length = 0;
    if (result == 0) {
        length = ops.GetItemSize(image, item);
        if (length == 0) {
            result = codes.emptyItem;
            LogError(kFile, __LINE__, codes.function, "%s Ln %d", kFile, result - 1);
        }
    }
    if (result == 0) {
        VpDebugPrintf(1024, "Length=%llu", static_cast<unsigned long long>(length));
        static_assert(kBigBlock % kSmallBlock == 0, "blocks");
        // One 32 KiB buffer: whole 32 KiB blocks, then 512-byte blocks, then one tail,
        // so that every read asks for an exact count.
        unsigned char buffer[kBigBlock];
        uint64_t remaining = length;
        while (result == 0 && remaining > 0) {
            uint32_t block;
            int readCode, writeCode;
            if (remaining >= kBigBlock) {
                block = kBigBlock;
                readCode = codes.shortRead32K;
                writeCode = codes.write32K;
            } else if (remaining >= kSmallBlock) {
                block = kSmallBlock;
                readCode = codes.shortRead512;
                writeCode = codes.write512;
            } else {
                block = static_cast<uint32_t>(remaining);
                memset(buffer, 0, block);
                readCode = codes.shortReadTail;
                writeCode = codes.writeTail;
            }
            if (ops.ReadItem(image, item, buffer, block) != block) {
                result = readCode;
                break;
            }
            if (fwrite(buffer, block, 1, out) != 1) {
                LogError(kFile, __LINE__, codes.function, "fwrite failed %d", 0);
                result = writeCode;
                break;
            }
            remaining -= block;
        }
    }
    if (result == 0) {
        ops.CloseItem(image, item);
        if (fclose(out) != 0) result = codes.writeTail; // the data did not reach the file
        ops.CloseImage(image);
        if (result == 0) {
            LogInfo(kFile, __LINE__, codes.function, "GetImageItem OK !");
            return 0;
        }
        LogError(kFile, __LINE__, codes.function, "GetImageItem failed %d", result);
        return result;
    }
    if (out) fclose(out);
    if (item) ops.CloseItem(image, item);
    if (image) ops.CloseImage(image);
    LogError(kFile, __LINE__, codes.function, "GetImageItem failed %d", result);
    return result;
}

} // namespace

bool MakeLoadRecord(PluginLoadRecord* record, const char* id, const char* path) {
    memset(record, 0, sizeof *record);
    if (!id || !path || strlen(id) >= sizeof record->id || strlen(path) >= sizeof record->path)
        return false;
    memcpy(record->id, id, strlen(id));
    memcpy(record->path, path, strlen(path));
    return true;
}

const PluginManTable* LoadPluginCenter() {
    char path[VORLANE_MAX_PATH];
    void* library = nullptr;
    if (VpModulePath(path, sizeof path, "Hubrix.so") == 0)
        library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    auto get = library ? reinterpret_cast<GetPluginManFn>(dlsym(library, "GetPluginMan")) : nullptr;
    const PluginManTable* table = get ? get() : nullptr;
    if (!table) OutputDebugStringA("LoadPluginCenter Error\r\n");
    return table;
}

ImageDecMan::ImageDecMan() {
    m_center = LoadPluginCenter();
    struct {
        const char* id;
        const char* file;
    } const decoders[] = {{VORLANE_IID_DECODER64, "Unspool64.so"},
                          {VORLANE_IID_DECODER32, "Unspool32.so"}};
    for (const auto& decoder : decoders) {
        PluginLoadRecord record;
        if (m_center && m_center->LoadPlugin && MakeLoadRecord(&record, decoder.id, decoder.file))
            m_center->LoadPlugin(&record);
        OutputDebugStringA("****************load:");
        OutputDebugStringA(decoder.file);
        OutputDebugStringA("\n");
    }
    if (m_center && m_center->GetPluginInterface) {
        m_decoder32 =
            static_cast<const Decoder32Table*>(m_center->GetPluginInterface(VORLANE_IID_DECODER32));
        m_decoder64 =
            static_cast<const Decoder64Table*>(m_center->GetPluginInterface(VORLANE_IID_DECODER64));
    }
}

ImageDecMan::ImageDecMan(const Decoder32Table* decoder32, const Decoder64Table* decoder64)
    : m_decoder32(decoder32), m_decoder64(decoder64) {}

ImageDecMan::~ImageDecMan() = default; // the decoders stay loaded

int ImageDecMan::GetImageItem(const char* main, const char* sub, const char* imagePath,
                              const char* outputPath) {
    if (!main || !sub || !imagePath || !outputPath) return kImageDecNullArgument;
    FILE* probe = fopen(imagePath, "rb");
    if (!probe) return kImageDecNoImageFile;
    fclose(probe);
    VpDebugPrintf(1024, "GetImageItem : %s %s %s", main, sub, outputPath);
    if (m_decoder64) {
        void* image = m_decoder64->OpenImage(imagePath);
        if (image) {
            m_current = const_cast<Decoder64Table*>(m_decoder64);
            return GetImageItem64(main, sub, image, outputPath);
        }
    }
    void* image = m_decoder32 ? m_decoder32->OpenImage(imagePath) : nullptr;
    m_current = const_cast<Decoder32Table*>(m_decoder32);
    return GetImageItem32(main, sub, image, outputPath);
}

int ImageDecMan::GetImageItem64(const char* main, const char* sub, void* image,
                                const char* outputPath) {
    if (!m_decoder64) image = nullptr;
    return CopyItem(DecoderOps{nullptr, m_decoder64}, kCodes64, main, sub, image, outputPath);
}

int ImageDecMan::GetImageItem32(const char* main, const char* sub, void* image,
                                const char* outputPath) {
    if (!m_decoder32) image = nullptr;
    return CopyItem(DecoderOps{m_decoder32, nullptr}, kCodes32, main, sub, image, outputPath);
}

} // namespace vorlane::cardfun
