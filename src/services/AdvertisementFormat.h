#pragma once

#include <string>
#include <string_view>

#include "protocol/ByteHelpers.h"

namespace orvel {

// What a sender reads from the advertisement: the instance name and the
// endpoint information carried in the TXT record.
namespace AdvertisementFormat {

inline constexpr std::size_t randomByteCount = 16;

// Base64 with "-" and "_" for "+" and "/", without "=" padding.
std::string urlSafeBase64(ByteView bytes);

// 0x23, the endpoint id's first 4 bytes (zero-padded), FC 9F 5E 00 00; encoded.
std::string serviceName(std::string_view endpointId);

// 0x06, the 16 random bytes, the name's byte length, the name in UTF-8.
// `deviceName` is already fitted (at most DeviceName::byteLimit bytes).
Bytes endpointInfo(ByteView randomBytes, std::string_view deviceName);

}  // namespace AdvertisementFormat
}  // namespace orvel
