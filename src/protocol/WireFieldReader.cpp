#include "protocol/WireFieldReader.h"

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/wire_format_lite.h>

#include <climits>

#include "protocol/MessageError.h"

namespace orvel {

using google::protobuf::internal::WireFormatLite;

void WireFieldReader::forEachField(ByteView message, const std::function<void(const Field&)>& visit,
                                   int recursionLimit) {
  if (message.size() > static_cast<std::size_t>(INT_MAX)) throw MessageError::malformed;
  google::protobuf::io::CodedInputStream input(message.data(), static_cast<int>(message.size()));
  input.SetRecursionLimit(recursionLimit);
  while (static_cast<std::size_t>(input.CurrentPosition()) < message.size()) {
    const std::uint32_t tag = input.ReadTag();
    const int number = static_cast<int>(WireFormatLite::GetTagFieldNumber(tag));
    if (number == 0) throw MessageError::malformed;
    switch (WireFormatLite::GetTagWireType(tag)) {
      case WireFormatLite::WIRETYPE_VARINT: {
        std::uint64_t value = 0;
        if (!input.ReadVarint64(&value)) throw MessageError::malformed;
        visit({number, Field::Kind::varint, value, {}});
        break;
      }
      case WireFormatLite::WIRETYPE_LENGTH_DELIMITED: {
        int length = 0;
        if (!input.ReadVarintSizeAsInt(&length)) throw MessageError::malformed;
        const auto start = static_cast<std::size_t>(input.CurrentPosition());
        if (!input.Skip(length)) throw MessageError::malformed;
        visit({number, Field::Kind::lengthDelimited, 0, message.subspan(start, static_cast<std::size_t>(length))});
        break;
      }
      case WireFormatLite::WIRETYPE_FIXED32:
      case WireFormatLite::WIRETYPE_FIXED64:
      case WireFormatLite::WIRETYPE_START_GROUP:
        if (!WireFormatLite::SkipField(&input, tag)) throw MessageError::malformed;
        visit({number, Field::Kind::other, 0, {}});
        break;
      default:  // a stray end of group, or a wire type that does not exist
        throw MessageError::malformed;
    }
  }
}

}  // namespace orvel
