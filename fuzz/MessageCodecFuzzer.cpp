// Parses arbitrary bytes as every top-level wire message type; whatever parses
// must serialise and parse again into an equal message. The Sharing frame read
// in place must take and refuse the same bytes and read the same offer.

#include <google/protobuf/descriptor.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "offline_wire_formats.pb.h"
#include "protocol/MessageCodec.h"
#include "protocol/SharingFrameReader.h"
#include "securemessage.pb.h"
#include "ukey.pb.h"
#include "wire_format.pb.h"

namespace {

using google::protobuf::Message;

std::vector<const Message*> topLevelTypes() {
  std::vector<const Message*> types;
  for (const auto* file : {location::nearby::connections::OfflineFrame::descriptor()->file(),
                           securegcm::Ukey2Message::descriptor()->file(),
                           securemessage::SecureMessage::descriptor()->file(),
                           sharing::nearby::Frame::descriptor()->file()}) {
    for (int i = 0; i < file->message_type_count(); ++i) {
      types.push_back(google::protobuf::MessageFactory::generated_factory()->GetPrototype(file->message_type(i)));
    }
  }
  return types;
}

[[noreturn]] void mismatch(const Message& type, const char* what) {
  std::fprintf(stderr, "%s: %s\n", type.GetTypeName().c_str(), what);
  std::abort();
}

void compareWithReader(orvel::ByteView input) {
  const sharing::nearby::Frame& type = sharing::nearby::Frame::default_instance();
  std::optional<orvel::MessageError> parseError;
  sharing::nearby::Frame parsed;
  try {
    orvel::MessageCodec::parseInto(parsed, input);
  } catch (orvel::MessageError error) {
    parseError = error;
  }
  try {
    const orvel::SharingFrameReader reader(input);
    if (parseError) mismatch(type, "the reader takes what the parser refuses");
    if (reader.isVersion1() != (parsed.version() == sharing::nearby::Frame::V1)) mismatch(type, "version differs");
    if (reader.frameType() != parsed.v1().type()) mismatch(type, "frame type differs");
    const auto files = reader.files();
    const auto& entries = parsed.v1().introduction().file_metadata();
    if (files.size() != static_cast<std::size_t>(entries.size())) mismatch(type, "number of files differs");
    for (int i = 0; i < entries.size(); ++i) {
      const auto& entry = entries[i];
      if (!(files[static_cast<std::size_t>(i)] ==
            orvel::FileMetadata{entry.payload_id(), entry.name(), entry.size(), entry.mime_type()})) {
        mismatch(type, "a file differs");
      }
    }
  } catch (orvel::MessageError error) {
    if (!parseError) mismatch(type, "the reader refuses what the parser takes");
    if (error != *parseError) mismatch(type, "the reader refuses for another reason");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::vector<const Message*> types = topLevelTypes();
  orvel::ByteView input(data, size);
  compareWithReader(input);
  for (const Message* type : types) {
    std::unique_ptr<Message> first(type->New());
    try {
      orvel::MessageCodec::parseInto(*first, input);
    } catch (orvel::MessageError) {
      if (first->ByteSizeLong() != 0) mismatch(*type, "failed parse left content behind");
      continue;
    }
    orvel::Bytes written;
    try {
      written = orvel::MessageCodec::serialize(*first);
    } catch (orvel::MessageError) {
      mismatch(*type, "a parsed message does not serialise");
    }
    std::unique_ptr<Message> second(type->New());
    try {
      orvel::MessageCodec::parseInto(*second, written);
    } catch (orvel::MessageError) {
      mismatch(*type, "serialised form does not parse");
    }
    if (!orvel::MessageCodec::equal(*first, *second)) mismatch(*type, "messages differ");
  }
  return 0;
}
