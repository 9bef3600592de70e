#include "protocol/WireFieldReader.h"

#include <gtest/gtest.h>

#include <optional>

#include "protocol/MessageCodec.h"
#include "protocol/MessageError.h"
#include "ukey.pb.h"

namespace orvel {
namespace {

struct Read {
  std::optional<Bytes> message;
  std::optional<std::int32_t> sequence;
  bool operator==(const Read&) const = default;
};

// DeviceToDeviceMessage read in place: field 1 bytes, field 2 int32, last one wins.
std::optional<Read> readInPlace(ByteView bytes) {
  Read read;
  try {
    WireFieldReader::forEachField(bytes, [&](const WireFieldReader::Field& f) {
      if (f.number == 1 && f.kind == WireFieldReader::Field::Kind::lengthDelimited) read.message = Bytes(f.bytes.begin(), f.bytes.end());
      if (f.number == 2 && f.kind == WireFieldReader::Field::Kind::varint) read.sequence = static_cast<std::int32_t>(f.varint);
    });
  } catch (MessageError error) {
    EXPECT_EQ(error, MessageError::malformed);
    return std::nullopt;
  }
  return read;
}

std::optional<Read> readByCodec(ByteView bytes) {
  securegcm::DeviceToDeviceMessage message;
  try {
    message = MessageCodec::parse<securegcm::DeviceToDeviceMessage>(bytes);
  } catch (MessageError) {
    return std::nullopt;
  }
  Read read;
  if (message.has_message()) read.message = Bytes(message.message().begin(), message.message().end());
  if (message.has_sequence_number()) read.sequence = message.sequence_number();
  return read;
}

Bytes nestedGroups(int depth) {
  Bytes bytes;
  for (int i = 0; i < depth; ++i) bytes.push_back(0x1b);  // field 3, start group
  for (int i = 0; i < depth; ++i) bytes.push_back(0x1c);  // field 3, end group
  return bytes;
}

// The reader must agree with the codec on every edge of the wire form.
TEST(WireFieldReader, AcceptsAndRefusesExactlyAsTheCodec) {
  const std::vector<std::pair<const char*, Bytes>> cases{
      {"empty", {}},
      {"plain", {0x0a, 0x02, 0xaa, 0xbb, 0x10, 0x05}},
      {"last occurrence wins", {0x0a, 0x01, 0x01, 0x0a, 0x01, 0x02, 0x10, 0x01, 0x10, 0x02}},
      {"negative int32 in ten bytes", {0x10, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}},
      {"ten-byte varint with a high last byte", {0x10, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f}},
      {"eleven-byte varint", {0x10, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}},
      {"int32 above 32 bits", {0x10, 0x80, 0x80, 0x80, 0x80, 0x10}},
      {"tag in two bytes", {0x8a, 0x00, 0x01, 0x07}},
      {"tag in five bytes", {0x8a, 0x80, 0x80, 0x80, 0x00, 0x01, 0x07}},
      {"tag in six bytes", {0x8a, 0x80, 0x80, 0x80, 0x80, 0x00, 0x01, 0x07}},
      {"tag with high bits", {0x8a, 0x80, 0x80, 0x80, 0x70, 0x01, 0x07}},
      {"largest key", {0xfa, 0xff, 0xff, 0xff, 0x0f, 0x00}},
      {"length in five bytes", {0x0a, 0x81, 0x80, 0x80, 0x80, 0x00, 0x07}},
      {"length in six bytes", {0x0a, 0x81, 0x80, 0x80, 0x80, 0x80, 0x00, 0x07}},
      {"length past the end", {0x0a, 0x03, 0x01, 0x02}},
      {"huge length", {0x0a, 0xff, 0xff, 0xff, 0xff, 0x07}},
      {"field number zero", {0x00}},
      {"field number zero, varint type", {0x02, 0x00}},
      {"end group at top", {0x0c}},
      {"wire type 6", {0x0e, 0x00}},
      {"wire type 7", {0x0f, 0x00}},
      {"unknown fixed fields", {0x1d, 1, 2, 3, 4, 0x19, 1, 2, 3, 4, 5, 6, 7, 8, 0x10, 0x01}},
      {"fixed field cut short", {0x1d, 1, 2, 3}},
      {"field 1 as varint is unknown", {0x08, 0x05}},
      {"field 2 as bytes is unknown", {0x12, 0x01, 0x05}},
      {"matched group", {0x1b, 0x08, 0x01, 0x1c, 0x10, 0x03}},
      {"group closed by another number", {0x1b, 0x24}},
      {"group never closed", {0x1b, 0x08, 0x01}},
      {"group with a zero tag", {0x1b, 0x00, 0x1c}},
      {"groups nested 99 deep", nestedGroups(99)},
      {"groups nested 100 deep", nestedGroups(100)},
      {"truncated tag", {0x8a}},
  };
  for (const auto& [name, bytes] : cases) {
    EXPECT_EQ(readInPlace(bytes), readByCodec(bytes)) << name;
  }
}

// Taken modulo 2^32, this key would be field 1 as bytes, holding 07.
TEST(WireFieldReader, RefusesAKeyBeyond32Bits) {
  const Bytes keyBeyond32Bits{0x8a, 0x80, 0x80, 0x80, 0x10, 0x01, 0x07};
  EXPECT_EQ(readInPlace(keyBeyond32Bits), std::nullopt);
  EXPECT_EQ(readByCodec(keyBeyond32Bits), std::nullopt);
}

TEST(WireFieldReader, GivesViewsIntoTheMessage) {
  const Bytes bytes{0x0a, 0x02, 0xaa, 0xbb};
  ByteView seen;
  WireFieldReader::forEachField(bytes, [&](const WireFieldReader::Field& f) { seen = f.bytes; });
  EXPECT_EQ(seen.data(), bytes.data() + 2);
  EXPECT_EQ(seen.size(), 2u);
}

}  // namespace
}  // namespace orvel
