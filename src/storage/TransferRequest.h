#pragma once

#include <cstdint>
#include <string>

#include "platform/Uuid.h"
#include "storage/FileList.h"

namespace orvel {

// What the user is asked to accept.
struct TransferRequest {
  Uuid sessionId;
  std::string senderName;
  FileList files;
  std::string pin;
  // Which of the connection's offers this is: an answer acts on that offer
  // alone, never on one the sender made since, however alike.
  std::uint64_t offerNumber = 0;
};

}  // namespace orvel
