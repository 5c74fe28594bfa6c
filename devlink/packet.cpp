#include "devlink/packet.h"

#include <cstring>

#include "devlink/byte_order.h"
#include "devlink/command_set.h"

void BuildVendorCdb(const tPacket& packet, std::uint8_t cdb[16]) {
    cdb[0] = packet.OpCode;
    cdb[1] = cmdset::kCdbByte1;
    PutBE32(cdb + 2, packet.Argument);
    PutBE32(cdb + 6, packet.DataTransferLength);
    std::memcpy(cdb + 10, packet.CmdBytes, sizeof packet.CmdBytes);
}
