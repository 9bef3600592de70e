#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/Uuid.h"
#include "storage/FileMetadata.h"
#include "storage/TransferState.h"
#include "storage/UnsavedFile.h"

namespace orvel {

// The report of a finished or failed transfer.
struct TransferSession {
  Uuid id;
  std::string senderName;  // "Unknown" when the connection never learnt one
  std::vector<FileMetadata> files;  // empty on failure
  std::string pin;                  // empty on failure
  TransferState state;  // the only field the engine changes after building it
  std::optional<UnsavedFile> unsavedFile = {};  // on failure: the file the drive would not take, if it was that
};

}  // namespace orvel
