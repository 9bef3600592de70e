#pragma once

#include <string>
#include <vector>

#include "platform/Uuid.h"
#include "storage/FileMetadata.h"

namespace orvel {

// What the user is asked to accept.
struct TransferRequest {
  Uuid sessionId;
  std::string senderName;
  std::vector<FileMetadata> files;
  std::string pin;
};

}  // namespace orvel
