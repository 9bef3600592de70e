// Parses arbitrary bytes as every top-level wire message type; whatever parses
// must serialise and parse again into an equal message.

#include <google/protobuf/descriptor.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "offline_wire_formats.pb.h"
#include "protocol/MessageCodec.h"
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::vector<const Message*> types = topLevelTypes();
  orvel::ByteView input(data, size);
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
