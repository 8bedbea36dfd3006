// Sparse image expansion: an item in the Android sparse format is expanded
// straight onto the card while it is read from the image. RAW chunks are
// copied, FILL chunks written as repeated 32-bit patterns, DONT_CARE chunks
// skipped on the card without a write.
//
// Codes (any non-zero result makes the caller write the item the plain way):
//   3830  no decoder or card table, or the stream buffer size is below 1024
//   3840  item length 0
//   3850  item length <= 28
//   3855  the stream buffers could not be allocated
//   3866  not a sparse image, or an unsupported header
//   3868  block size zero or not a multiple of 512
//   3872  the file header cannot be read from the item
//   3886  a chunk header lies past the item's data
//   3888  a chunk would move the card cursor past sector 2^32
//   3894  RAW chunk with a wrong total size
//   3905  RAW data of a 64 KiB block lies past the item's data
//   3909  write of a RAW 64 KiB block failed
//   3918  RAW data of the last sectors lies past the item's data
//   3925  write of the last sectors of a RAW chunk failed
//   3941  FILL chunk with a total size other than 16
//   3946  the FILL value lies past the item's data
//   3962  write of a FILL 64 KiB block failed
//   3978  write of the last sectors of a FILL chunk failed
//   3993  DONT_CARE chunk with a total size other than 12
//   3996  CRC32 chunk with a total size other than 16, or its value past the data
// Unknown chunk types end the expansion with 0; CRC32 chunks carry no card
// data and are passed over.
#include "SarnetInternal.h"

#include <cstring>
#include <memory>
#include <new>

namespace vorlane::sarnet {
namespace {

constexpr uint32_t kSparseMagic = 0xED26FF3Au;
constexpr uint16_t kChunkRaw = 0xCAC1;
constexpr uint16_t kChunkFill = 0xCAC2;
constexpr uint16_t kChunkDontCare = 0xCAC3;
constexpr uint16_t kChunkCrc32 = 0xCAC4;
constexpr uint32_t kFileHeaderSize = 28;
constexpr uint32_t kChunkHeaderSize = 12;
constexpr uint32_t kProbeSize = 1024;
constexpr uint32_t kTransferSize = 65536;
constexpr uint32_t kTransferSectors = kTransferSize / 512;
constexpr uint64_t kSectorLimit = 1ull << 32; // WriteSectors takes a 32-bit sector

uint16_t LE16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (uint32_t{p[1]} << 8));
}
uint32_t LE32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// Double-buffered sequential reader over one image item. The unread data
// is the current buffer from `m_position` to its valid end, then the other
// buffer, then what the image has not delivered yet. Every buffer records
// how many bytes the decoder really delivered into it; a read that needs
// more than was delivered fails instead of handing out stale bytes.
class SparseStream {
  public:
    SparseStream(const Decoder64Table* decoder, void* image, void* item, uint32_t bufferSize)
        : m_decoder(decoder), m_image(image), m_item(item), m_size(bufferSize) {}

    bool Allocate() {
        for (auto& b : m_buffer) {
            b.reset(new (std::nothrow) uint8_t[m_size]);
            if (!b) return false;
        }
        return true;
    }

    // Buffer 1 = the probe followed by the next bytes of the item, buffer 2
    // = the bytes after those.
    void Fill(const uint8_t* probe, uint32_t probeBytes) {
        std::memcpy(m_buffer[0].get(), probe, probeBytes);
        m_valid[0] = probeBytes;
        if (probeBytes == kProbeSize)
            m_valid[0] += Deliver(m_buffer[0].get() + probeBytes, m_size - probeBytes);
        else
            m_ended = true; // the item ended inside the probe
        m_valid[1] = m_valid[0] == m_size ? Deliver(m_buffer[1].get(), m_size) : 0;
        m_current = 0;
        m_position = 0;
    }

    // Copies the next n bytes of the item; false when the item ends first.
    bool Read(void* destination, uint32_t n) {
        auto* out = static_cast<uint8_t*>(destination);
        while (n > 0) {
            uint32_t available = m_valid[m_current] - m_position;
            if (available == 0) {
                // A buffer that was not filled completely held the item's end.
                if (m_valid[m_current] < m_size) return false;
                // Refill the consumed buffer with the bytes behind the other one.
                m_valid[m_current] = m_ended ? 0 : Deliver(m_buffer[m_current].get(), m_size);
                m_current ^= 1;
                m_position = 0;
                continue;
            }
            uint32_t take = n < available ? n : available;
            std::memcpy(out, m_buffer[m_current].get() + m_position, take);
            out += take;
            m_position += take;
            n -= take;
        }
        return true;
    }

  private:
    // The decoder may be the 32-bit one behind the 64-bit table: only the
    // low 32 bits of its result are meaningful.
    uint32_t Deliver(uint8_t* buffer, uint32_t length) {
        if (m_ended) return 0;
        uint32_t got =
            static_cast<uint32_t>(m_decoder->ReadItem(m_image, m_item, buffer, length, 0));
        if (got > length) got = length;
        if (got < length) m_ended = true;
        return got;
    }

    const Decoder64Table* m_decoder;
    void* m_image;
    void* m_item;
    uint32_t m_size;
    std::unique_ptr<uint8_t[]> m_buffer[2];
    uint32_t m_valid[2] = {0, 0};
    int m_current = 0;
    uint32_t m_position = 0;
    bool m_ended = false;
};

struct Writer {
    void* device;
    const CardDeviceTable* card;
    uint64_t cursor; // next card sector

    int Write(const uint8_t* data, uint32_t sectors) {
        int rc = card->WriteSectors(device, static_cast<uint32_t>(cursor), sectors, data,
                                    sectors * 512u);
        if (rc != 0) Diag(Message(MsgWriteDiskSectorFailed), rc);
        return rc;
    }
};

} // namespace

int BurnSparseBuffered(void* device, void* image, void* item, const Decoder64Table* decoder,
                       uint32_t firstSector, const CardDeviceTable* card, uint32_t bufferSize) {
    if (!decoder || !decoder->GetItemSize || !decoder->ReadItem || !card || !card->WriteSectors ||
        bufferSize < kProbeSize)
        return 3830;
    const uint32_t length = static_cast<uint32_t>(decoder->GetItemSize(image, item));
    if (length == 0) return 3840;
    if (length <= kFileHeaderSize) return 3850;

    SparseStream stream(decoder, image, item, bufferSize);
    std::unique_ptr<uint8_t[]> transfer(new (std::nothrow) uint8_t[kTransferSize]);
    if (!transfer || !stream.Allocate()) {
        Diag("sparse: cannot allocate the stream buffers\n");
        return 3855;
    }

    uint8_t probe[kProbeSize] = {};
    uint32_t probed = static_cast<uint32_t>(decoder->ReadItem(image, item, probe, kProbeSize, 0));
    if (probed > kProbeSize) probed = kProbeSize;
    if (probed < kFileHeaderSize || LE32(probe) != kSparseMagic) {
        Diag("sparse: bad magic\n");
        return 3866;
    }
    if (LE16(probe + 4) != 1 || LE16(probe + 8) != kFileHeaderSize ||
        LE16(probe + 10) != kChunkHeaderSize) {
        Diag("sparse: incompatible format\n");
        return 3866;
    }

    stream.Fill(probe, probed);
    uint8_t header[kFileHeaderSize];
    if (!stream.Read(header, kFileHeaderSize)) return 3872;
    const uint32_t blockSize = LE32(header + 12);
    const uint32_t totalChunks = LE32(header + 20);
    // Chunk bytes beyond whole sectors could be neither read nor written.
    if (blockSize == 0 || blockSize % 512 != 0) {
        Diag("sparse: block size %u is not a multiple of 512\n", blockSize);
        return 3868;
    }

    Writer out{device, card, firstSector};
    uint8_t* buffer = transfer.get();
    for (uint32_t i = 0; i < totalChunks; ++i) {
        uint8_t chunk[kChunkHeaderSize];
        if (!stream.Read(chunk, kChunkHeaderSize)) {
            Diag("sparse: chunk %u lies past the end of the item\n", i);
            return 3886;
        }
        const uint16_t type = LE16(chunk);
        const uint32_t totalSize = LE32(chunk + 8);
        // 64-bit product: a large chunk must not wrap into a short write.
        const uint64_t bytes = uint64_t{LE32(chunk + 4)} * blockSize;
        const uint64_t sectors = bytes / 512;
        // Checked once the chunk's own sizes are known to be right.
        auto pastLimit = [&] {
            if (out.cursor + sectors <= kSectorLimit) return false;
            Diag("sparse: chunk %u would pass card sector 2^32\n", i);
            return true;
        };
        const uint64_t blocks = bytes / kTransferSize;
        const uint32_t rest = static_cast<uint32_t>(sectors % kTransferSectors);

        if (type == kChunkRaw) {
            if (uint64_t{totalSize} != bytes + kChunkHeaderSize) {
                Diag("sparse: bad chunk size for chunk %d, type Raw\n", static_cast<int>(i));
                return 3894;
            }
            if (pastLimit()) return 3888;
            for (uint64_t b = 0; b < blocks; ++b) {
                if (!stream.Read(buffer, kTransferSize)) {
                    Diag("sparse: RAW chunk %u runs past the end of the item\n", i);
                    return 3905;
                }
                if (out.Write(buffer, kTransferSectors) != 0) {
                    Diag("sparse: flash write failed Block %d Ln--%d\n", static_cast<int>(b), 3908);
                    return 3909;
                }
                out.cursor += kTransferSectors;
            }
            if (rest > 0) {
                if (!stream.Read(buffer, rest * 512u)) {
                    Diag("sparse: RAW chunk %u runs past the end of the item\n", i);
                    return 3918;
                }
                if (out.Write(buffer, rest) != 0) {
                    Diag("sparse: flash write failed Ln--%d\n", 3922);
                    return 3925;
                }
                out.cursor += rest;
            }
        } else if (type == kChunkFill) {
            Diag("sparse: chunk ID is CHUNK_TYPE_FILL\n");
            if (totalSize != kChunkHeaderSize + 4) {
                Diag("sparse: bad chunk size for chunk %d, type FILL\n", static_cast<int>(i));
                return 3941;
            }
            if (pastLimit()) return 3888;
            uint8_t value[4];
            if (!stream.Read(value, 4)) return 3946;
            const uint32_t pattern = blocks > 0 ? kTransferSize : rest * 512u;
            for (uint32_t at = 0; at < pattern; at += 4)
                std::memcpy(buffer + at, value, 4);
            for (uint64_t b = 0; b < blocks; ++b) {
                if (out.Write(buffer, kTransferSectors) != 0) {
                    Diag("sparse: flash write failed Block %d Ln--%d\n", static_cast<int>(b), 3961);
                    return 3962;
                }
                out.cursor += kTransferSectors;
            }
            if (rest > 0) {
                if (out.Write(buffer, rest) != 0) {
                    Diag("sparse: flash write failed Ln--%d\n", 3975);
                    return 3978;
                }
                out.cursor += rest;
            }
        } else if (type == kChunkDontCare) {
            if (totalSize != kChunkHeaderSize) {
                Diag("sparse: bogus DONT CARE chunk\n");
                return 3993;
            }
            if (pastLimit()) return 3888;
            out.cursor += sectors;
        } else if (type == kChunkCrc32) {
            // The checksum of the expanded data; it writes nothing.
            uint8_t crc[4];
            if (totalSize != kChunkHeaderSize + 4 || !stream.Read(crc, 4)) {
                Diag("sparse: bogus CRC32 chunk %u\n", i);
                return 3996;
            }
        } else {
            Diag("sparse: unknown chunk ID %x\n", type);
            return 0;
        }
    }
    Diag("sparse:\r\n");
    return 0;
}

int BurnSparse(void* device, void* image, void* item, const Decoder64Table* decoder,
               uint32_t firstSector, const CardDeviceTable* card) {
    return BurnSparseBuffered(device, image, item, decoder, firstSector, card, kSparseStreamBuffer);
}

} // namespace vorlane::sarnet
