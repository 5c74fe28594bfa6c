// One lie of the simulated still-image scanner, written as text (kelvane-sim.exe takes it from
// the KV_SIM_LIE environment variable):
//
//   KIND[=COUNT][@PLACE]
//
// KIND                  what the device does                                        COUNT
// csw-short-refused     refuses the command and sends a CSW of COUNT bytes          1..12 (12)
// residue               status 0 with residue COUNT; keeps only the bytes before it  (half)
// data-short            moves COUNT bytes of the data phase, passes with status 0    (half)
// csw-for-data          sends its CSW where the data were due, and again after
// first-transfer-short  a get's first transfer (02 01) moves only COUNT bytes        (half)
// transfer-length-short disk: COUNT bytes move under good status, and the request    (half)
//                       says so
// and faults that are no lies:
// data-fails            the data phase fails (under real conduct: a STALL, then a CSW
//                       with status 1)
// refused               status 1, sense ILLEGAL REQUEST / 0x24
// stale-tag             the CSW echoes the tag of the CBW before
// csw-fails             the CSW read fails (under real conduct: a STALL; the CSW waits)
// vanish                the device is unplugged before the command reaches it
// and a lie of the memory:
// corrupt-write         a firmware block is passed, but its byte at offset COUNT     offset (0)
//                       keeps a wrong value (every bit flipped); without PLACE the
//                       first block, with an exchange number the first block from it
//
// PLACE is an exchange number (the N-th vendor command block from the start, counted from 0),
// or CMD0-CMD1-SELECTOR[#N], three hexadecimal bytes naming the command and N (from 1, default 1)
// which of those commands: 02-03-05#2 is the second firmware block, 02-02-0b#2 the second
// transfer of the second memory read. Without PLACE the lie hits the first exchange.
#pragma once

#include <optional>
#include <string>

#include "sim/fault_plan.h"

namespace sim {

// The fault `text` describes, or nothing with the reason in `error`.
std::optional<Fault> ParseLie(const std::string& text, std::string* error);

}  // namespace sim
