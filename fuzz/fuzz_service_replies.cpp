// The service protocol against replies of any size and content, over a sound transport, on both
// paths: opening and closing a service and the guarded data commands always end on the virtual
// clock, return only what their contract lists, and leave the service event signalled.
//
// A scanner that keeps answering "not finished" while it stays reachable is waited for without
// limit; that is the protocol's own rule. Here every such answer consumes input, and once the
// input is used up the scanner answers as a healthy idle one (finished, not locked, lock granted),
// so every wait ends; after ScriptedDevice::kExchangeLimit command blocks it drops off the bus.
#include <cstdint>
#include <memory>

#include "devlink/command_set.h"
#include "devlink/host_interface.h"
#include "devlink/zamo_usb.h"
#include "fuzz/device_run.h"

namespace {

using fuzz::FuzzInput;

constexpr int kMaxOperations = 16;

bool IsZeroOrOne(int v) {
    return v == 0 || v == 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const std::uint8_t setup = in.Byte(0);
    fuzz::DeviceRun run(in, fuzz::Scope::kServiceReplies, setup & 1);

    // Another program may hold the service event: for ever (it died) or for a while.
    std::uint64_t holdMs = 0;
    switch ((setup >> 1) & 3) {
        case 2:
            run.World().sys.HoldEvent(run.EventName());
            break;
        case 3:
            holdMs = in.U16(1000);
            run.World().sys.HoldEvent(run.EventName(), run.World().sys.Now() + holdMs);
            break;
        default:
            break;
    }

    const int handle = run.Handle();
    FUZZ_CHECK(IsZeroOrOne(ZamoUSB_ConnectToDevice(handle)));

    for (int op = 0; op < kMaxOperations && !in.Empty(); ++op) {
        const std::uint8_t choice = in.Byte(0);
        const std::uint32_t length = fuzz::PickLength(in);
        const std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[length]());
        const auto selector = in.Byte(cmdset::kSelOpen);
        CZamoUSB& slot = run.Slot();
        switch (choice % 4) {
            case 0:
                FUZZ_CHECK(
                    IsZeroOrOne(ZamoUSB_VenderCmd_GetData(handle, selector, buffer.get(), length)));
                run.CheckEventLeftSignalled();
                break;
            case 1:
                FUZZ_CHECK(
                    IsZeroOrOne(ZamoUSB_VenderCmd_SetData(handle, selector, buffer.get(), length)));
                run.CheckEventLeftSignalled();
                break;
            case 2: {
                const int opened = slot.xServiceOpen();
                FUZZ_CHECK(IsZeroOrOne(opened));
                if (opened == 0) run.CheckEventLeftSignalled();
                slot.xServiceClose();  // its result is the device's release answer, any value
                run.CheckEventLeftSignalled();
                break;
            }
            default:
                // The single service commands: each asks once and returns the answer as is.
                switch ((choice >> 2) & 3) {
                    case 0:
                        slot.xServiceIsLock();
                        break;
                    case 1:
                        slot.xServiceIsFinish();
                        break;
                    case 2:
                        slot.xServiceLock();
                        break;
                    default:
                        slot.xServiceUnLock();
                        break;
                }
                break;
        }
        FUZZ_CHECK(IsZeroOrOne(slot.m_bConnected));
        run.CheckTimeBound(holdMs);
    }
    return 0;
}
