#include "protocol/SharingFrameReader.h"

#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "platform/Unicode.h"
#include "protocol/MessageError.h"
#include "protocol/WireFieldReader.h"
#include "wire_format.pb.h"

namespace orvel {

namespace {

namespace share = ::sharing::nearby;
using Field = WireFieldReader::Field;

bool isVarint(const Field& field, int number) { return field.number == number && field.kind == Field::Kind::varint; }

bool isLengthDelimited(const Field& field, int number) {
  return field.number == number && field.kind == Field::Kind::lengthDelimited;
}

// An enum or int32 is the varint's low 32 bits, read as a signed number.
int int32Of(std::uint64_t varint) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(varint)); }

std::string_view textOf(ByteView bytes) { return {reinterpret_cast<const char*>(bytes.data()), bytes.size()}; }

}  // namespace

// One pass over the frame, message by message as the schema nests them. Each
// nested message has one level less of the nesting budget for the unknown
// groups inside it, as the parser counts them. Without a builder it checks
// and counts; with one it gives the entries, and stops when told.
class SharingFrameReader::Walk {
 public:
  struct Stopped {};

  explicit Walk(const FileEntry* entry) : entry_(entry) {}

  void frame(ByteView bytes) {
    constexpr int depth = WireFieldReader::defaultRecursionLimit;
    WireFieldReader::forEachField(
        bytes,
        [&](const Field& field) {
          if (isVarint(field, share::Frame::kVersionFieldNumber)) {
            if (share::Frame_Version_IsValid(int32Of(field.varint))) version = int32Of(field.varint);
          } else if (isLengthDelimited(field, share::Frame::kV1FieldNumber)) {
            v1Frame(field.bytes, depth - 1);
          }
        },
        depth);
  }

  int version = 0;
  int frameType = 0;
  std::size_t fileCount = 0;
  std::size_t fileRecordBytes = 0;
  bool utf8Valid = true;

 private:
  void v1Frame(ByteView bytes, int depth) {
    WireFieldReader::forEachField(
        bytes,
        [&](const Field& field) {
          if (isVarint(field, share::V1Frame::kTypeFieldNumber)) {
            if (share::V1Frame_FrameType_IsValid(int32Of(field.varint))) frameType = int32Of(field.varint);
          } else if (isLengthDelimited(field, share::V1Frame::kIntroductionFieldNumber)) {
            introduction(field.bytes, depth - 1);
          } else if (isLengthDelimited(field, share::V1Frame::kConnectionResponseFieldNumber) ||
                     isLengthDelimited(field, share::V1Frame::kPairedKeyEncryptionFieldNumber) ||
                     isLengthDelimited(field, share::V1Frame::kPairedKeyResultFieldNumber) ||
                     isLengthDelimited(field, share::V1Frame::kCancelFieldNumber)) {
            checkStrings(field.bytes, depth - 1, {});  // these hold no text
          }
        },
        depth);
  }

  void introduction(ByteView bytes, int depth) {
    WireFieldReader::forEachField(
        bytes,
        [&](const Field& field) {
          if (isLengthDelimited(field, share::IntroductionFrame::kFileMetadataFieldNumber)) {
            fileMetadata(field.bytes, depth - 1);
          } else if (isLengthDelimited(field, share::IntroductionFrame::kTextMetadataFieldNumber)) {
            checkStrings(field.bytes, depth - 1, {share::TextMetadata::kTextTitleFieldNumber});
          } else if (isLengthDelimited(field, share::IntroductionFrame::kRequiredPackageFieldNumber)) {
            checkUtf8(field.bytes);
          } else if (isLengthDelimited(field, share::IntroductionFrame::kWifiCredentialsMetadataFieldNumber)) {
            checkStrings(field.bytes, depth - 1, {share::WifiCredentialsMetadata::kSsidFieldNumber});
          }
        },
        depth);
  }

  void fileMetadata(ByteView bytes, int depth) {
    std::int64_t payloadId = 0;
    std::int64_t size = 0;
    std::string_view name;
    std::string_view mimeType;
    WireFieldReader::forEachField(
        bytes,
        [&](const Field& field) {
          if (isLengthDelimited(field, share::FileMetadata::kNameFieldNumber)) {
            name = textOf(field.bytes);
            checkUtf8(field.bytes);
          } else if (isVarint(field, share::FileMetadata::kPayloadIdFieldNumber)) {
            payloadId = static_cast<std::int64_t>(field.varint);
          } else if (isVarint(field, share::FileMetadata::kSizeFieldNumber)) {
            size = static_cast<std::int64_t>(field.varint);
          } else if (isLengthDelimited(field, share::FileMetadata::kMimeTypeFieldNumber)) {
            mimeType = textOf(field.bytes);
            checkUtf8(field.bytes);
          } else if (isLengthDelimited(field, share::FileMetadata::kParentFolderFieldNumber)) {
            checkUtf8(field.bytes);
          }
        },
        depth);
    ++fileCount;
    fileRecordBytes += FileList::Builder::recordBytes(payloadId, name, size, mimeType);
    if (entry_ && !(*entry_)(payloadId, name, size, mimeType)) throw Stopped{};
  }

  // A message read for its well-formedness alone, whose fields of the given
  // numbers are text when they come length-delimited.
  void checkStrings(ByteView bytes, int depth, std::initializer_list<int> textFields) {
    WireFieldReader::forEachField(
        bytes,
        [&](const Field& field) {
          if (field.kind != Field::Kind::lengthDelimited) return;
          for (int number : textFields) {
            if (field.number == number) checkUtf8(field.bytes);
          }
        },
        depth);
  }

  // Invalid text is told only once the whole frame is known to be well formed,
  // as the parser tells a malformed frame first.
  void checkUtf8(ByteView bytes) { utf8Valid = utf8Valid && Unicode::isValid(textOf(bytes)); }

  const FileEntry* entry_;
};

SharingFrameReader::SharingFrameReader(ByteView frame) : frame_(frame) {
  Walk walk(nullptr);
  walk.frame(frame_);
  if (!walk.utf8Valid) throw MessageError::invalidUtf8;
  version_ = walk.version;
  frameType_ = walk.frameType;
  fileCount_ = walk.fileCount;
  fileRecordBytes_ = walk.fileRecordBytes;
}

// A second pass, over a frame already known to be well formed.
void SharingFrameReader::forEachFile(const FileEntry& entry) const {
  Walk walk(&entry);
  try {
    walk.frame(frame_);
  } catch (Walk::Stopped) {
  }
}

// Into a list made to measure at once.
FileList SharingFrameReader::files() const {
  FileList::Builder files;
  files.reserve(fileCount_, fileRecordBytes_);
  forEachFile([&files](std::int64_t payloadId, std::string_view name, std::int64_t size, std::string_view mimeType) {
    files.add(payloadId, name, size, mimeType);
    return true;
  });
  return files.finish();
}

}  // namespace orvel
