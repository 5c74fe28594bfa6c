#include <cstring>

#include "devlink/command_set.h"
#include "devlink/trace.h"
#include "devlink/zamo_usb.h"
#include "platform/platform.h"

namespace {

constexpr std::uint32_t kEventWaitMs = 100;
constexpr int kMinuteOfWaits = 600;    // countdown: fires at the 601st failed wait
constexpr int kFinishCheckEvery = 50;  // countdown: fires at the 51st failed wait
constexpr int kFinishedStreakToForce = 3;
constexpr int kStaleLockChecks = 1001;
constexpr int kLockAttempts = 1001;
constexpr std::uint32_t kLockPollMs = 10;
constexpr std::uint32_t kClosePollMs = 100;
constexpr std::uint32_t kGetPollMs = 10;

}  // namespace

int CZamoUSB::ServiceCommand(std::uint8_t code, tServiceReply* reply) {
    std::memset(reply, 0, sizeof *reply);
    const tPacket packet{cmdset::kOpCodeVendor,
                         kDirectionIn,
                         reply,
                         cmdset::kServiceReplyLength,
                         0,
                         {cmdset::kLinkCommand, code, 0, 0, 0, 0}};
    return xTransmitToDevice(&packet);
}

void CZamoUSB::SignalService() {
    if (m_hService.valid()) platform::Sys().SetEvent(m_hService.get());
}

int CZamoUSB::xServiceLock() {
    tServiceReply reply;
    if (!ServiceCommand(cmdset::kServiceLock, &reply)) {
        Trace("xServiceLock xTransmitToDevice failed\r\n");
        return 0;
    }
    if (reply.dwSize != cmdset::kServiceReplyLength) {
        Trace("[MsdcZamoHost] xServiceLock(): Size not match!\r\n");
        return 1;
    }
    return static_cast<int>(reply.dwResult);
}

int CZamoUSB::xServiceUnLock() {
    tServiceReply reply;
    if (!ServiceCommand(cmdset::kServiceUnLock, &reply)) return 0;
    if (reply.dwSize != cmdset::kServiceReplyLength) {
        Trace("[MsdcZamoHost] xServiceUnLock(): Size not match!\r\n");
        return 0;
    }
    return static_cast<int>(reply.dwResult);
}

int CZamoUSB::xServiceIsLock() {
    tServiceReply reply;
    if (!ServiceCommand(cmdset::kServiceIsLock, &reply)) {
        Trace("[xServiceIsLock]!xTransmitToDevice( &tPacket )\n");
        return 0;
    }
    if (reply.dwSize != cmdset::kServiceReplyLength) {
        Trace("[MsdcZamoHost] xServiceIsLock(): Size not match!\r\n");
        return 0;
    }
    return static_cast<int>(reply.dwResult);
}

int CZamoUSB::xServiceIsFinish() {
    tServiceReply reply;
    if (!ServiceCommand(cmdset::kServiceIsFinish, &reply)) return 0;
    if (reply.dwSize != cmdset::kServiceReplyLength) {
        Trace("[MsdcZamoHost] xServiceIsFinish(): Size not match!\r\n");
    }
    return static_cast<int>(reply.dwResult);
}

// Stage 1: take the service event, or force it when its holder seems to be gone. False when the
// link broke on the way, with the event signalled again.
bool CZamoUSB::TakeServiceEvent() {
    platform::System& sys = platform::Sys();
    int minuteCountdown = kMinuteOfWaits;
    int finishCountdown = kFinishCheckEvery;
    int finishedStreak = 0;
    for (;;) {
        if (sys.WaitForSingleObject(m_hService.get(), kEventWaitMs) == platform::kWaitObject0) {
            return true;
        }
        if (minuteCountdown == 0) {
            Trace("[MsdcZamoHost] xServiceOpen(): Bk still running 1 min!\r\n");
            minuteCountdown = kMinuteOfWaits;
            if (!ReconnectDisk()) {
                Trace("[MsdcZamoHost] xServiceOpen(): Connect is broken! - 0\r\n");
                SignalService();
                return false;
            }
        } else {
            --minuteCountdown;
        }
        if (finishCountdown == 0) {
            finishCountdown = kFinishCheckEvery;
            finishedStreak = xServiceIsFinish() ? finishedStreak + 1 : 0;
            if (finishedStreak == kFinishedStreakToForce) {
                Trace(
                    "[MsdcZamoHost] xServiceOpen: Maybe some AP is broken, Force Event is "
                    "Signal.\r\n");
                return true;
            }
        } else {
            --finishCountdown;
        }
    }
}

// Stage 2: give a holder whose work is done time to release the lock. False when the link broke,
// with the event signalled again.
bool CZamoUSB::AwaitLockRelease() {
    for (int pass = 1;; ++pass) {
        if (!xServiceIsFinish()) return true;
        if (!xServiceIsLock()) return true;
        if (pass == kStaleLockChecks) return true;
        if (!m_bConnected) {
            Trace("[MsdcZamoHost] xServiceOpen(): Connect is broken! - 1\r\n");
            SignalService();
            return false;
        }
        platform::Sys().Sleep(kLockPollMs);
    }
}

// Stage 3: break a lock left by a program that died.
void CZamoUSB::BreakLeftLock() {
    if (xServiceIsLock()) {
        Trace("[MsdcZamoHost] xServiceOpen: Maybe some AP is broken, Terminate last service.\r\n");
        xServiceUnLock();
    }
}

// Stage 4: take the device-side lock. Returns xServiceOpen's result.
int CZamoUSB::TakeDeviceLock() {
    for (int attempt = 1;; ++attempt) {
        if (xServiceLock()) return 1;
        if (attempt == kLockAttempts) {
            Trace("[MsdcZamoHost] xServiceOpen: Terminate last service is failed!\r\n");
            SignalService();
            return 0;
        }
        if (!m_bConnected) {
            Trace("[MsdcZamoHost] xServiceOpen(): Connect is broken! - 2\r\n");
            SignalService();
            return 0;
        }
        platform::Sys().Sleep(kLockPollMs);
    }
}

int CZamoUSB::xServiceOpen() {
    if (!TakeServiceEvent()) return 0;
    if (!AwaitLockRelease()) return 0;
    BreakLeftLock();
    return TakeDeviceLock();
}

int CZamoUSB::xServiceClose() {
    int minuteCountdown = kMinuteOfWaits;
    while (LinkUp() && !xServiceIsFinish()) {
        platform::Sys().Sleep(kClosePollMs);
        if (minuteCountdown == 0) {
            Trace("[MsdcZamoHost] xServiceClose(): Bk still running 1 min!\r\n");
            minuteCountdown = kMinuteOfWaits;
        } else {
            --minuteCountdown;
        }
    }
    if (!LinkUp()) {
        Trace("[MsdcZamoHost] xServiceClose(): Device is not available!\r\n");
        xServiceUnLock();
        SignalService();
        return 0;
    }
    const int released = xServiceUnLock();
    if (released == 0) ++m_releasesRefused;
    SignalService();
    return released;
}

int CZamoUSB::VenderCmd_GetData(std::uint8_t bySelector, void* buffer, std::uint32_t dwBytes) {
    // A failed open does not stop the command: its transfers still go out, unguarded.
    if (!xServiceOpen()) Trace("[VenderCmd_GetData]!xServiceOpen()\n");

    tPacket packet{cmdset::kOpCodeVendor,
                   kDirectionIn,
                   buffer,
                   dwBytes,
                   0,
                   {cmdset::kDataCommand, cmdset::kGetFirst, bySelector, 0, 0, 0}};
    int result = xTransmitToDevice(&packet);
    if (!result) Trace("[VenderCmd_GetData]!xTransmitToDevice( &tPacket )\n");
    // The first transfer only asks the device to prepare; the second's data replace its data,
    // so it may come back short.
    bool passed = result != 0 && TransferPassed();

    while (!xServiceIsFinish() && LinkUp()) platform::Sys().Sleep(kGetPollMs);

    if (m_bConnected) {
        packet.CmdBytes[1] = cmdset::kGetSecond;
        result = xTransmitToDevice(&packet);
        passed = passed && result != 0 && TransferWhole();
        // The close below is the only one: a second close could release a service that another
        // program took in between.
        if (!result) Trace("[VenderCmd_GetData]!xTransmitToDevice( &tPacket ) (2)\n");
    } else {
        passed = false;
    }

    if (!xServiceClose()) Trace("[VenderCmd_GetData]!xServiceClose() \n");
    return passed ? 1 : 0;
}

int CZamoUSB::VenderCmd_SetData(std::uint8_t bySelector, const void* buffer,
                                std::uint32_t dwBytes) {
    xServiceOpen();
    // The packet's buffer is only read on a host-to-device transfer.
    const tPacket packet{cmdset::kOpCodeVendor,
                         kDirectionOut,
                         const_cast<void*>(buffer),
                         dwBytes,
                         0,
                         {cmdset::kDataCommand, cmdset::kSet, bySelector, 0, 0, 0}};
    const int result = xTransmitToDevice(&packet);
    const bool passed = result != 0 && TransferWhole();
    xServiceClose();
    return passed ? 1 : 0;
}
