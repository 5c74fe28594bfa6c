// The device object and the process-wide table of them.
#pragma once

#include <cstdint>

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

    // Discovery and connection.
    int ConnectToScanner(int cDevice);
    int ConnectToDisk(char letter);
    int ReconnectDisk();

    // Vendor command transmission.
    int xTransmitToDevice(const tPacket* packet);

    // Service protocol and data commands.
    int xServiceLock();
    int xServiceUnLock();
    int xServiceIsLock();
    int xServiceIsFinish();
    int xServiceOpen();
    int xServiceClose();
    // Return 1 when every data transfer of the call was carried out, passed by the device and
    // moved every byte asked for (a get's first transfer, which only asks the device to
    // prepare, may move fewer); 0 otherwise. Each runs xServiceClose once.
    int VenderCmd_GetData(std::uint8_t bySelector, void* buffer, std::uint32_t dwBytes);
    int VenderCmd_SetData(std::uint8_t bySelector, const void* buffer, std::uint32_t dwBytes);

    // Fields.
    std::int32_t m_cDevice = 32;        // 32 none; 'A'..'Z' a disk; 256 + n still-image n
    platform::DeviceHandle m_hDisk;     // the open device
    platform::SystemHandle m_hService;  // the named service event
    std::uint32_t m_dwTimeOut = 15;     // pass-through time-out, seconds
    std::int32_t m_bConnected = 1;      // outcome of the last exchange that reached the transport
    // doBOT's result code of the last still-image exchange (the sense key and code of a command
    // the device failed, else 0); 0 on the disk path.
    std::int32_t m_dwLastKey = 0;
    // The verdict on the last transfer xTransmitToDevice was asked for (kDeviceGone after a
    // reconnection found no device). The data calls decide by it.
    TransferOutcome m_lastOutcome = TransferOutcome::kNotSent;

  private:
    int ServiceCommand(std::uint8_t code, tServiceReply* reply);
    void SignalService();
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
