#pragma once

#include <map>
#include <string>

#include "protocol/ByteHelpers.h"

namespace orvel {

// DNS-SD TXT record data: one length-prefixed "key=value" string per entry.
namespace TxtRecord {

// The wire form of `entries`, in key order. Throws std::invalid_argument for
// an empty key, a key holding '=', or an entry longer than one string holds
// (255 bytes): callers size their values to fit.
Bytes data(const std::map<std::string, Bytes>& entries);

inline constexpr std::size_t maximumStringLength = 255;

}  // namespace TxtRecord
}  // namespace orvel
