#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "protocol/ByteHelpers.h"
#include "storage/FileList.h"

namespace orvel {

// What one received frame meant for the connection; a frame yields at most one.
struct FrameEvent {
  struct Introduction {
    std::string senderName;
    // Read up to the first entry that makes the offer one that cannot be
    // received, if any: that entry ends the list.
    FileList files;
    std::size_t announcedFiles = 0;  // the entries of the frame, all of them
  };
  // One chunk of a FILE payload. `data` points into the frame being processed
  // and is valid during the handler call only.
  struct PayloadChunk {
    std::int64_t payloadId;
    std::int64_t offset;
    ByteView data;
    bool isLast;
  };
  struct PairedKeyEncryption {};
  struct PairedKeyResult {};
  struct KeepAlive {};
  struct Disconnect {};

  std::variant<Introduction, PayloadChunk, PairedKeyEncryption, PairedKeyResult, KeepAlive, Disconnect> value;
};

// A visitor made of one lambda per alternative, for std::visit.
template <class... Handlers>
struct Overloaded : Handlers... {
  using Handlers::operator()...;
};
template <class... Handlers>
Overloaded(Handlers...) -> Overloaded<Handlers...>;

}  // namespace orvel
