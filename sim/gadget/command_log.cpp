#include "sim/gadget/command_log.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "sim/wire_log.h"

namespace gadget {

std::string CommandLine(const std::uint8_t cdb[16], bool deviceToHost, std::uint32_t length,
                        std::uint32_t moved, int status) {
    std::string line;
    char hex[3];
    for (int i = 0; i < 16; ++i) {
        std::snprintf(hex, sizeof hex, "%02x", cdb[i]);
        line += hex;
    }
    line += deviceToHost ? " in" : " out";
    line += " length=" + std::to_string(length) + " moved=" + std::to_string(moved);
    line += " status=" + (status == kNoStatus ? std::string("none") : std::to_string(status));
    return line;
}

void CommandLog::Record(const std::uint8_t cdb[16], bool deviceToHost, std::uint32_t length,
                        std::uint32_t moved, int status) {
    WriteLine(CommandLine(cdb, deviceToHost, length, moved, status));
}

void CommandLog::Drain(sim::WireLog& wire, bool all) {
    const auto& commands = wire.Commands();
    // An entry is finished once it has its status or a later block began.
    std::size_t finished = commands.size();
    if (!all && finished != 0 && commands[finished - 1].status == sim::WireCommand::kNoStatus)
        --finished;
    for (std::size_t i = written_; i < finished; ++i) {
        const sim::WireCommand& c = commands[i];
        Record(c.cdb.data(), c.deviceToHost, c.length, static_cast<std::uint32_t>(c.data.size()),
               c.status == sim::WireCommand::kNoStatus ? kNoStatus : c.status);
    }
    written_ = finished;
    // Clearing with the exchange under way still recorded would lose it: the endpoints only
    // ever add to their newest entry, so the log is cleared when that one is done.
    if (written_ == commands.size()) {
        wire.Clear();
        written_ = 0;
    }
}

void CommandLog::WriteLine(const std::string& text) {
    if (fd_ < 0) return;
    const std::string line = text + "\n";
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;  // the bulk thread is woken by a signal
        if (n <= 0) return;                     // a full disk loses the line, not the device
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace gadget
