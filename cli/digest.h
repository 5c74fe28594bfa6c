// SHA-256 for the job record, from the platform's own implementation (CNG on Windows, libmd on
// Linux): a record that names an image by its digest must be able to trust the digest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace cli {

// The SHA-256 of `size` bytes as 64 lower-case hex digits; nothing when the platform's
// implementation failed.
std::optional<std::string> Sha256Hex(const std::uint8_t* data, std::size_t size);

// The computer's name; empty when the system does not say.
std::string HostName();

}  // namespace cli
