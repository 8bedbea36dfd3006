// The card-device service: opens a card of the drive map by its letter and
// writes or reads byte ranges at sector positions. Results are 0 or a
// positive errno value; a short transfer is never reported as success.
#include "PluginExports.h"
#include "Interfaces.h"
#include "ServiceTables.h"
#include "VorlanePlatform.h"

#include <cerrno>
#include <cstring>
#include <new>

namespace {

constexpr uint32_t kGenericWrite = 0x40000000u;
constexpr uint32_t kDeviceMagic = 0x51554C4Eu; // marks live handles

struct Device {
    uint32_t magic;
    VpCard* card;
};

Device* Live(void* handle) {
    auto* device = static_cast<Device*>(handle);
    return device && device->magic == kDeviceMagic && device->card ? device : nullptr;
}

int Positive(int rc) {
    return rc == 0 ? 0 : (rc > 0 ? rc : EIO);
}

void* OpenDevice(int letter, uint32_t access, int /*mode*/) {
    char error[512] = {};
    VpCard* card =
        VpCardOpen(static_cast<char>(letter), (access & kGenericWrite) != 0, error, sizeof error);
    if (!card) {
        VpDebugPrintf(1024, "Quillon: cannot open card %c: %s\n", letter, error);
        return nullptr;
    }
    auto* device = new (std::nothrow) Device{kDeviceMagic, card};
    if (!device) VpCardClose(card);
    return device;
}

// Exactly `bytes` bytes at `first` x 512; the sector count only describes them.
int WriteSectors(void* handle, uint32_t first, uint32_t /*count*/, const void* buffer,
                 uint32_t bytes) {
    Device* device = Live(handle);
    if (!device || (!buffer && bytes)) return EINVAL;
    int rc = Positive(VpCardWrite(device->card, uint64_t{first} * 512u, buffer, bytes));
    if (rc != 0)
        VpDebugPrintf(1024, "Quillon: write of %u bytes at sector %u of %s failed: %s\n", bytes,
                      first, VpCardPath(device->card), std::strerror(rc));
    return rc;
}

int ReadSectors(void* handle, uint32_t first, uint32_t /*count*/, void* buffer, uint32_t bytes) {
    Device* device = Live(handle);
    if (!device || (!buffer && bytes)) return EINVAL;
    return Positive(VpCardRead(device->card, uint64_t{first} * 512u, buffer, bytes));
}

// Flushes before it returns, so that a closed card holds everything written.
int CloseDevice(void* handle) {
    Device* device = Live(handle);
    if (!device) return EINVAL;
    int rc = Positive(VpCardClose(device->card));
    device->magic = 0;
    device->card = nullptr;
    delete device;
    return rc;
}

const CardDeviceTable g_table = {OpenDevice, WriteSectors, ReadSectors, CloseDevice};


} // namespace

VORLANE_SERVICE_EXPORTS("Quillon", VORLANE_IID_CARD_DEVICE, 0x100, g_table)
