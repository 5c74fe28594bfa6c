// The four calls through which the application reaches the device link.
#pragma once

#include <cstdint>

// Handle of the first device found: 256 + n for still-image device n, 1..26 for the removable
// disk of drive letter A..Z; 0 when none was found.
int ZamoUSB_FindDevice();

// 1 when connected, 0 for handle 0, a negative handle or a failed connection.
int ZamoUSB_ConnectToDevice(int hDevice);

// One vendor data command of at most 65536 bytes. 1 when every transfer of the command was
// carried out and passed by the device; 0 otherwise, and for handle 0 or a negative handle.
int ZamoUSB_VenderCmd_GetData(int hDevice, std::uint8_t bySelector, void* pBuffer,
                              std::uint32_t dwBytes);
int ZamoUSB_VenderCmd_SetData(int hDevice, std::uint8_t bySelector, const void* pBuffer,
                              std::uint32_t dwBytes);
