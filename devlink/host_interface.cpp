#include "devlink/host_interface.h"

#include <cctype>

#include "devlink/trace.h"
#include "devlink/zamo_usb.h"

namespace {

int g_foundHandle = 0;

// Takes the first device reported and stops the enumeration there.
int FindDeviceCallback(int value) {
    if (value >= kStillImageHandleBase) {
        g_foundHandle = value;
    } else {
        g_foundHandle = std::toupper(static_cast<unsigned char>(value)) - 64;
    }
    return 0;
}

}  // namespace

int ZamoUSB_FindDevice() {
    g_foundHandle = 0;
    EnumDevices(FindDeviceCallback);
    return g_foundHandle;
}

int ZamoUSB_ConnectToDevice(int hDevice) {
    if (hDevice <= 0) return 0;
    Trace("ZamoUSB_ConnectToDevice,hDevice=%d\n", hDevice);
    CZamoUSB& device = SlotForHandle(hDevice);
    if (hDevice > kStillImageSlot) return device.ConnectToScanner(hDevice);
    return device.ConnectToDisk(static_cast<char>(64 + hDevice));
}

int ZamoUSB_VenderCmd_GetData(int hDevice, std::uint8_t bySelector, void* pBuffer,
                              std::uint32_t dwBytes) {
    Trace("ZamoUSB_VenderCmd_GetData,hDevice=%d,dwBytes=%d\n", hDevice, static_cast<int>(dwBytes));
    if (hDevice <= 0) return 0;
    return SlotForHandle(hDevice).VenderCmd_GetData(bySelector, pBuffer, dwBytes);
}

int ZamoUSB_VenderCmd_SetData(int hDevice, std::uint8_t bySelector, const void* pBuffer,
                              std::uint32_t dwBytes) {
    if (hDevice <= 0) return 0;
    return SlotForHandle(hDevice).VenderCmd_SetData(bySelector, pBuffer, dwBytes);
}
