// The host side of both paths against a scanner whose every answer is read from the input: it
// never crashes, never touches memory outside the buffers it declares, ends every call, and
// returns only the results and codes its contract lists. A data call that returns 1 tells the
// truth: a get's buffer holds what the device sent, all of it, and every byte of a set reached
// the device, each under a status the device passed.
#include <cstdint>
#include <memory>

#include "devlink/bot.h"
#include "devlink/command_set.h"
#include "devlink/host_interface.h"
#include "devlink/packet.h"
#include "devlink/zamo_usb.h"
#include "fuzz/device_run.h"

namespace {

using fuzz::FuzzInput;

constexpr int kMaxOperations = 12;

bool IsZeroOrOne(int v) {
    return v == 0 || v == 1;
}

tPacket PacketFrom(FuzzInput& in, void* buffer, std::uint32_t length) {
    tPacket p{};
    p.OpCode = in.Byte(cmdset::kOpCodeVendor);
    p.Direction = in.Byte(1) & 1;
    p.Buffer = buffer;
    p.DataTransferLength = length;
    p.Argument = in.U32(0);
    for (std::uint8_t& b : p.CmdBytes) b = in.Byte(0);
    return p;
}

// One whole Bulk-Only Transport exchange, called directly so its result code can be checked.
void CheckDoBot(FuzzInput& in, fuzz::DeviceRun& run, std::uint8_t* buffer, std::uint32_t length) {
    const std::uint8_t flags = (in.Byte(0) & 1) ? cmdset::kCbwFlagsIn : cmdset::kCbwFlagsOut;
    const tPacket packet = PacketFrom(in, buffer, length);
    BOTSetup(flags, length);
    BuildVendorCdb(packet, g_BOTState.cbw + kCbwCommandBlockOffset);
    std::uint32_t transferred = 0xA5A5A5A5u;
    std::int32_t code = 0x5A5A5A5A;
    const int result = doBOT(run.Slot().m_hDisk.get(), flags, buffer, length, &transferred, &code);
    FUZZ_CHECK(IsZeroOrOne(result));
    const auto ucode = static_cast<std::uint32_t>(code);
    if (result == 1) {
        if (ucode != 0) {
            // A failed command whose sense was fetched: bytes 2 and 12 of that sense data.
            const fuzz::ScriptedDevice& d = run.Device();
            FUZZ_CHECK(d.WholeSenseDelivered());
            FUZZ_CHECK(ucode == ((std::uint32_t{d.SenseByte(2)} << 16) |
                                 (std::uint32_t{d.SenseByte(12)} << 8)));
        }
    } else {
        FUZZ_CHECK(ucode == cmdset::kBotTransportFailure || ucode == 0);
    }
}

// A get that reported success: its second transfer moved every byte asked for under a passed
// status, and the buffer holds them.
void CheckGetTruth(const fuzz::ScriptedDevice& device, const std::uint8_t* buffer,
                   std::uint32_t length) {
    const fuzz::ScriptedDevice::DataRecord& r = device.LastData();
    FUZZ_CHECK(r.seen && r.transfer == cmdset::kGetSecond);
    FUZZ_CHECK(r.asked == length && r.moved == length && r.passed);
    for (std::uint32_t i = 0; i < length; ++i) FUZZ_CHECK(buffer[i] == r.fill);
}

// A set that reported success: every byte of the buffer reached the device under a passed
// status.
void CheckSetTruth(const fuzz::ScriptedDevice& device, const std::uint8_t* buffer,
                   std::uint32_t length) {
    const fuzz::ScriptedDevice::DataRecord& r = device.LastData();
    FUZZ_CHECK(r.seen && r.transfer == cmdset::kSet);
    FUZZ_CHECK(r.asked == length && r.moved == length && r.passed);
    FUZZ_CHECK(r.hash == fuzz::ScriptedDevice::DataHash(buffer, length));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const std::uint8_t setup = in.Byte(0);
    fuzz::DeviceRun run(in, fuzz::Scope::kEveryPhase, setup & 1);
    const int handle = run.Handle();

    // The search tries a thousand still-image names first, so only some runs make it.
    if (setup & 2) {
        const int found = ZamoUSB_FindDevice();
        FUZZ_CHECK(found == 0 || found == handle);
    }
    // Connect even when the search missed it: the answers may differ the second time.
    FUZZ_CHECK(IsZeroOrOne(ZamoUSB_ConnectToDevice(handle)));
    run.CheckTimeBound();

    for (int op = 0; op < kMaxOperations && !in.Empty(); ++op) {
        const std::uint8_t choice = in.Byte(0);
        const std::uint32_t length = fuzz::PickLength(in);
        // Exactly the declared length, so any access past it is caught.
        const std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[length]());
        const auto selector = in.Byte(cmdset::kSelOpen);
        CZamoUSB& slot = run.Slot();
        switch (choice % 5) {
            case 0: {
                run.Device().ForgetData();
                const int result =
                    ZamoUSB_VenderCmd_GetData(handle, selector, buffer.get(), length);
                FUZZ_CHECK(IsZeroOrOne(result));
                if (result == 1) CheckGetTruth(run.Device(), buffer.get(), length);
                break;
            }
            case 1: {
                for (std::uint32_t i = 0; i < length; ++i)
                    buffer[i] = static_cast<std::uint8_t>(i * 7 + choice);
                run.Device().ForgetData();
                const int result =
                    ZamoUSB_VenderCmd_SetData(handle, selector, buffer.get(), length);
                FUZZ_CHECK(IsZeroOrOne(result));
                if (result == 1) CheckSetTruth(run.Device(), buffer.get(), length);
                break;
            }
            case 2: {
                const tPacket packet = PacketFrom(in, buffer.get(), length);
                FUZZ_CHECK(IsZeroOrOne(slot.xTransmitToDevice(&packet)));
                break;
            }
            case 3:
                if (!run.Disk() && slot.m_hDisk.valid()) CheckDoBot(in, run, buffer.get(), length);
                break;
            default:
                FUZZ_CHECK(IsZeroOrOne(ZamoUSB_ConnectToDevice(handle)));
                break;
        }
        FUZZ_CHECK(IsZeroOrOne(slot.m_bConnected));
        run.CheckTimeBound();
    }
    // Handle 0 never reaches a device.
    std::uint8_t reply[16] = {};
    FUZZ_CHECK(ZamoUSB_VenderCmd_GetData(0, cmdset::kSelOpen, reply, sizeof reply) == 0);
    FUZZ_CHECK(ZamoUSB_VenderCmd_SetData(0, cmdset::kSelOpen, reply, sizeof reply) == 0);
    return 0;
}
