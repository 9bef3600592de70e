#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

#include "protocol/ByteHelpers.h"
#include "storage/FileList.h"

namespace orvel {

// Reads a serialised Sharing frame where it lies, without building its
// messages: an offer of hundreds of thousands of files goes straight into its
// compact list, instead of costing a message of a hundred bytes and more for
// each entry first. It accepts and refuses exactly what
// MessageCodec::parse<sharing::nearby::Frame> does, with the same MessageError,
// and reads what it reads as the parser would: the last occurrence of a field
// counts, an enum number that names no value leaves the field as it was,
// nested messages that come twice are merged, and unknown fields are passed over.
class SharingFrameReader {
 public:
  // Checks the whole frame. `frame` must stay as it is while the reader is used.
  explicit SharingFrameReader(ByteView frame);

  bool isVersion1() const { return version_ == 1; }
  // The number of v1.type; 0 (UNKNOWN_FRAME_TYPE) when absent.
  int frameType() const { return frameType_; }
  // The file entries of v1.introduction in order; a field that is absent reads as 0 or empty.
  FileList files() const;
  // How many entries files() holds, and the bytes of their records in a
  // FileList: known before any room is made for them.
  std::size_t fileCount() const { return fileCount_; }
  std::size_t fileRecordBytes() const { return fileRecordBytes_; }
  // Gives the entries one by one, in order, until `entry` returns false.
  using FileEntry =
      std::function<bool(std::int64_t payloadId, std::string_view name, std::int64_t size, std::string_view mimeType)>;
  void forEachFile(const FileEntry& entry) const;

 private:
  class Walk;

  ByteView frame_;
  int version_ = 0;
  int frameType_ = 0;
  std::size_t fileCount_ = 0;
  std::size_t fileRecordBytes_ = 0;
};

}  // namespace orvel
