// The device object and the process-wide table of them.
#pragma once

#include <cstdint>

#include "devlink/packet.h"
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
    // Return 1 when every data transfer of the call was carried out and, on the still-image
    // path, passed by the device; 0 otherwise.
    int VenderCmd_GetData(std::uint8_t bySelector, void* buffer, std::uint32_t dwBytes);
    int VenderCmd_SetData(std::uint8_t bySelector, const void* buffer, std::uint32_t dwBytes);

    // Fields.
    std::int32_t m_cDevice = 32;        // 32 none; 'A'..'Z' a disk; 256 + n still-image n
    platform::DeviceHandle m_hDisk;     // the open device
    platform::SystemHandle m_hService;  // the named service event
    std::uint32_t m_dwTimeOut = 15;     // pass-through time-out, seconds
    std::int32_t m_bConnected = 1;      // outcome of the last exchange that reached the transport
    // Sense key of the last still-image exchange that was carried out (0: passed;
    // kFailedWithEmptySense: failed, with sense bytes 2 and 12 both 0); 0 on the disk path. With
    // m_bConnected it tells whether a data transfer really went through.
    static constexpr std::int32_t kFailedWithEmptySense = 1;  // real keys have a low byte of 0
    std::int32_t m_dwLastKey = 0;

  private:
    int ServiceCommand(std::uint8_t code, tServiceReply* reply);
    void SignalService();
    // Whether a data transfer whose xTransmitToDevice returned `result` went through: carried
    // out, and on the still-image path passed by the device (no sense key).
    bool TransferPassed(int result) const { return result != 0 && m_dwLastKey == 0; }
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
