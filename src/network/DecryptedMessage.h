#pragma once

#include <cstdint>

#include "protocol/ByteHelpers.h"

namespace orvel {

// The contents of a received DeviceToDeviceMessage: the frame and the sequence
// number the sender gave it (the connection decides what to make of it).
struct DecryptedMessage {
  Bytes message;
  std::int32_t sequenceNumber;
};

}  // namespace orvel
