#include <memory>

#include "devlink/zamo_usb.h"

CZamoUSB g_DeviceTable[kDeviceTableSize];

CZamoUSB& SlotForHandle(int hDevice) {
    return hDevice > kStillImageSlot ? g_DeviceTable[kStillImageSlot] : g_DeviceTable[hDevice - 1];
}

void ResetDeviceTable() {
    for (CZamoUSB& device : g_DeviceTable) {
        // The destructor closes what the object holds; construction puts back the defaults its
        // members declare.
        std::destroy_at(&device);
        std::construct_at(&device);
    }
}
