// The device object and the process-wide table of them.
#pragma once

#include <cstdint>
#include <string>

#include "devlink/packet.h"
#include "devlink/transfer_outcome.h"
#include "platform/handles.h"

// Reply of the four service commands: 16 bytes, little-endian.
struct tServiceReply {
    std::uint32_t dwSize;  // must be 16
    std::uint32_t reserved1;
    std::uint32_t dwResult;  // the device's answer
    std::uint32_t reserved2;
};
static_assert(sizeof(tServiceReply) == 16);

class CZamoUSB {
  public:
    CZamoUSB() = default;
    CZamoUSB(const CZamoUSB&) = delete;
    CZamoUSB& operator=(const CZamoUSB&) = delete;
    virtual ~CZamoUSB() = default;  // the handle owners close what is held

    // Every call below runs on the caller's thread and blocks while the device answers (each
    // exchange is bounded by the device's time-out). Buffers passed in stay the caller's and are
    // used only during the call. The object owns m_hDisk and m_hService.

    // Discovery and connection. Called by the host calls that open a device.
    //
    // Opens still-image device `cDevice` - 256 and asks for its descriptor. Returns 1 when the
    // device answers with an accepted vendor: m_hDisk holds it, m_cDevice is `cDevice`, and the
    // service event is opened when none was held. Returns 0 otherwise; a failed descriptor
    // request closes m_hDisk, other failures leave the object's fields as they were.
    int ConnectToScanner(int cDevice);
    // Opens removable drive `letter` and sends the tag query over the disk path. Returns 1 when
    // the device answers with the vendor tag: m_hDisk holds it, m_cDevice is the letter, and the
    // service event is that drive's (reopened when the letter changed). Returns 0 for a letter
    // outside 'A'..'Z', a drive that is not removable, or no answer; m_hDisk is then closed
    // unless the drive could not even be tried. The query sets m_bConnected and m_lastOutcome.
    int ConnectToDisk(char letter);
    // Closes m_hDisk and tries ConnectToDisk on each removable drive but A, in list order, until
    // one answers. Returns 1 when one did; else 0 with m_hDisk closed and m_lastOutcome
    // kDeviceGone.
    int ReconnectDisk();

    // Vendor command transmission: one command and its data phase, no retry. `packet` and its
    // buffer stay the caller's; the buffer is filled on an in transfer. Returns 0 without
    // touching the wire (m_lastOutcome kNotSent, m_bConnected unchanged) when m_hDisk is not
    // open or the length exceeds the direction's limit. Otherwise sends over the disk path
    // (pass-through; m_dwLastKey 0) or the still-image path (doBOT; m_dwLastKey its result
    // code), sets m_bConnected to the return and m_lastOutcome to the verdict. The disk path
    // returns 1 only when the device passed the command; the still-image path returns doBOT's
    // result, which is 1 also for a failed command whose sense was had whole.
    int xTransmitToDevice(const tPacket* packet);

    // Service protocol: one exchange each, no waiting. The reply's dwResult is returned as is.
    //
    // Returns 0 when the exchange failed; 1 when the reply's size is not 16; else dwResult.
    int xServiceLock();
    // Returns 0 when the exchange failed or the reply's size is not 16; else dwResult.
    int xServiceUnLock();
    // Returns 0 when the exchange failed or the reply's size is not 16; else dwResult.
    int xServiceIsLock();
    // Returns 0 when the exchange failed; else dwResult, even when the reply's size is not 16.
    int xServiceIsFinish();
    // Called first by each data call. Blocks, polling on the platform clock, until the service
    // is this program's: waits for the service event (reconnecting once a minute, and taking the
    // event by force after three "finished" answers in a row), gives a finished holder time to
    // release its lock, breaks a lock left behind, then takes the device-side lock. Returns 1
    // with the lock held; 0 when the link broke or the lock could not be had, after signalling
    // the event again.
    int xServiceOpen();
    // Called last by each data call. Polls until the device says it is finished or the link is
    // down, then releases the device-side lock and signals the service event. Returns the
    // unlock's result, or 0 when the link is down (m_bConnected 0 or no m_hDisk).
    int xServiceClose();
    // Data commands: xServiceOpen, the transfers, xServiceClose once. A failed open does not stop
    // the transfers. Return 1 when every data transfer of the call was carried out, passed by the
    // device and moved every byte asked for (a get's first transfer, which only asks the device
    // to prepare, may move fewer); 0 otherwise. The buffer stays the caller's; a get fills it.
    int VenderCmd_GetData(std::uint8_t bySelector, void* buffer, std::uint32_t dwBytes);
    int VenderCmd_SetData(std::uint8_t bySelector, const void* buffer, std::uint32_t dwBytes);

    // Fields.
    std::int32_t m_cDevice = 32;        // 32 none; 'A'..'Z' a disk; 256 + n still-image n
    platform::DeviceHandle m_hDisk;     // the open device
    platform::SystemHandle m_hService;  // the named service event
    std::string m_serviceEventName;     // the name m_hService was opened by
    std::uint32_t m_dwTimeOut = 15;     // pass-through time-out, seconds
    std::int32_t m_bConnected = 1;      // outcome of the last exchange that reached the transport
    // doBOT's result code of the last still-image exchange (the sense key and code of a command
    // the device failed, else 0); 0 on the disk path.
    std::int32_t m_dwLastKey = 0;
    // The verdict on the last transfer xTransmitToDevice was asked for (kDeviceGone after a
    // reconnection found no device). The data calls decide by it.
    TransferOutcome m_lastOutcome = TransferOutcome::kNotSent;
    // Service closes whose release the device did not confirm (its unlock answered 0 or failed)
    // while the link was up. Counted only, so the data calls' results stay as they are; the
    // application warns of them.
    std::uint32_t m_releasesRefused = 0;

  private:
    int ServiceCommand(std::uint8_t code, tServiceReply* reply);
    void SignalService();
    // The four stages of xServiceOpen, in order.
    bool TakeServiceEvent();
    bool AwaitLockRelease();
    void BreakLeftLock();
    int TakeDeviceLock();
    // Whether the data transfer just made went through whole; a get's first transfer only needs
    // to be passed.
    bool TransferWhole() const { return IsWhole(m_lastOutcome); }
    bool TransferPassed() const { return IsPassed(m_lastOutcome); }
    // The link counts as down when the last exchange failed or there is no device handle, so
    // no wait runs on forever for a device that is gone.
    bool LinkUp() const { return m_bConnected != 0 && m_hDisk.valid(); }
    // Set while ConnectToDisk sends its tag query: a disk is probed over the disk path even
    // when the object was connected to a still-image device before.
    bool m_bForceDiskPath = false;
};

constexpr int kDeviceTableSize = 27;
constexpr int kStillImageSlot = 26;
constexpr int kStillImageHandleBase = 256;

extern CZamoUSB g_DeviceTable[kDeviceTableSize];

// The object a nonzero, non-negative handle routes to: slot 26 above 26, else slot handle - 1.
CZamoUSB& SlotForHandle(int hDevice);

// Closes every handle the table holds and puts each object back to its initial state. The
// program does this implicitly at exit; tests do it between cases.
void ResetDeviceTable();

using EnumCallback = int (*)(int value);

// Reports the first still-image device that answers the descriptor request, else tagged
// removable disks, to `fpUserEnumCallback`. Always returns 1.
int EnumDevices(EnumCallback fpUserEnumCallback);
