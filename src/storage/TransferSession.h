#pragma once

#include <optional>
#include <string>

#include "platform/Uuid.h"
#include "storage/FileList.h"
#include "storage/TransferState.h"
#include "storage/UnsavedFile.h"

namespace orvel {

// The report of a finished or failed transfer.
struct TransferSession {
  Uuid id;
  std::string senderName;  // "Unknown" when the connection never learnt one
  FileList files;  // empty on failure
  std::string pin;                  // empty on failure
  TransferState state;  // the only field the engine changes after building it
  std::optional<UnsavedFile> unsavedFile = {};  // on failure: the file the drive would not take, if it was that
};

}  // namespace orvel
