#include <cstddef>
#include <cstring>

#include "devlink/bot.h"
#include "devlink/command_set.h"
#include "devlink/pass_through.h"
#include "devlink/trace.h"
#include "devlink/zamo_usb.h"
#include "platform/platform.h"

void FillPassThroughRecord(platform::ScsiPassThroughRecord& record, const tPacket& packet,
                           std::uint32_t timeOutSeconds) {
    std::memset(&record, 0, sizeof record);
    platform::ScsiPassThroughDirect& sptd = record.sptd;
    sptd.Length = sizeof(platform::ScsiPassThroughDirect);
    sptd.PathId = 0;
    sptd.TargetId = 1;
    sptd.Lun = 0;
    sptd.CdbLength = static_cast<std::uint8_t>(cmdset::kCdbLength);
    sptd.SenseInfoLength = sizeof record.ucSenseBuf;
    sptd.DataIn = packet.Direction;
    sptd.DataTransferLength = packet.DataTransferLength;
    sptd.TimeOutValue = timeOutSeconds;
    sptd.DataBuffer = packet.Buffer;
    sptd.SenseInfoOffset = offsetof(platform::ScsiPassThroughRecord, ucSenseBuf);
    BuildVendorCdb(packet, sptd.Cdb);
}

bool SendPassThrough(platform::Handle h, platform::ScsiPassThroughRecord& record) {
    return SendPassThrough(h, record, nullptr);
}

bool SendPassThrough(platform::Handle h, platform::ScsiPassThroughRecord& record,
                     TransferOutcome* outcome) {
    const std::uint32_t asked = record.sptd.DataTransferLength;
    std::uint32_t returned = 0;
    const bool ok =
        platform::Io().DeviceIoControl(h, platform::kIoctlScsiPassThroughDirect, &record,
                                       sizeof record, &record, sizeof record, &returned);
    if (outcome != nullptr) {
        if (!ok) {
            *outcome = TransferOutcome::kTransportFailure;
        } else if (record.sptd.ScsiStatus != 0) {
            const bool named = (record.ucSenseBuf[2] & 0x0F) != 0 || record.ucSenseBuf[12] != 0;
            *outcome =
                named ? TransferOutcome::kFailedWithSense : TransferOutcome::kFailedWithEmptySense;
        } else {
            // The storage stack writes back the count that really moved.
            *outcome = record.sptd.DataTransferLength == asked ? TransferOutcome::kComplete
                                                               : TransferOutcome::kShort;
        }
    }
    return ok && record.sptd.ScsiStatus == 0;
}

int CZamoUSB::xTransmitToDevice(const tPacket* packet) {
    m_lastOutcome = TransferOutcome::kNotSent;
    if (!m_hDisk.valid()) {
        Trace("[MsdcZamoHost] xTransmitToDevice: m_hDisk == INVALID_HANDLE_VALUE\r\n");
        return 0;
    }
    if (packet->Direction == kDirectionIn) {
        if (packet->DataTransferLength > cmdset::DEFAULT_SIZE_BLUK_READ) {
            Trace(
                "[MsdcZamoHost] xTransmitToDevice: DataTransferLength exceed "
                "DEFAULT_SIZE_BLUK_READ\r\n");
            return 0;
        }
    } else if (packet->DataTransferLength > cmdset::DEFAULT_SIZE_BLUK_WRITE) {
        Trace(
            "[MsdcZamoHost] xTransmitToDevice: DataTransferLength exceed "
            "DEFAULT_SIZE_BLUK_WRITE\r\n");
        return 0;
    }

    if (m_bForceDiskPath || m_cDevice < kStillImageHandleBase) {
        platform::ScsiPassThroughRecord record;
        FillPassThroughRecord(record, *packet, m_dwTimeOut);
        m_bConnected = SendPassThrough(m_hDisk.get(), record, &m_lastOutcome) ? 1 : 0;
        m_dwLastKey = 0;
        return m_bConnected;
    }

    Trace("[MsdcZamoHost] xTransmitToDevice: In Image Class Side\r\n");
    const std::uint8_t flags =
        packet->Direction == kDirectionIn ? cmdset::kCbwFlagsIn : cmdset::kCbwFlagsOut;
    BOTSetup(flags, packet->DataTransferLength);
    BuildVendorCdb(*packet, g_BOTState.cbw + kCbwCommandBlockOffset);
    std::uint32_t transferred = 0;
    std::int32_t resultCode = 0;
    const int result = doBOT(m_hDisk.get(), flags, packet->Buffer, packet->DataTransferLength,
                             &transferred, &resultCode, &m_lastOutcome);
    m_bConnected = result;
    m_dwLastKey = resultCode;
    if (result != 0 && resultCode == 0) return result;
    Trace("[MsdcZamoHost] xTransmitToDevice: INQUIRY failed %d bytes Key %06x\r\n",
          static_cast<int>(transferred), static_cast<unsigned>(resultCode));
    return result;
}
