// The disk path's SCSI pass-through record, shared by transmission and the disk probe.
#pragma once

#include <cstdint>

#include "devlink/packet.h"
#include "devlink/transfer_outcome.h"
#include "platform/device_io.h"

// Zeroes `record` and fills it to carry `packet` with the given time-out (seconds).
void FillPassThroughRecord(platform::ScsiPassThroughRecord& record, const tPacket& packet,
                           std::uint32_t timeOutSeconds);

// Issues the record on `h`. True when the request succeeded and the device's SCSI status is 0.
bool SendPassThrough(platform::Handle h, platform::ScsiPassThroughRecord& record);
// The same, with the verdict on the transfer: complete only when the request succeeded with
// SCSI status 0 and the DataTransferLength written back equals the one asked for.
bool SendPassThrough(platform::Handle h, platform::ScsiPassThroughRecord& record,
                     TransferOutcome* outcome);
