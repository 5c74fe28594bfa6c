#include "devlink/zamo_usb.h"

CZamoUSB g_DeviceTable[kDeviceTableSize];

CZamoUSB& SlotForHandle(int hDevice) {
    return hDevice > kStillImageSlot ? g_DeviceTable[kStillImageSlot] : g_DeviceTable[hDevice - 1];
}

void ResetDeviceTable() {
    for (CZamoUSB& device : g_DeviceTable) {
        device.m_hDisk.reset();
        device.m_hService.reset();
        device.m_cDevice = 32;
        device.m_dwTimeOut = 15;
        device.m_bConnected = 1;
        device.m_dwLastKey = 0;
        device.m_lastOutcome = TransferOutcome::kNotSent;
    }
}
