#include "protocol/WireFieldReader.h"

#include "protocol/MessageError.h"

namespace orvel {
namespace {

enum WireType : std::uint32_t { varint = 0, fixed64 = 1, lengthDelimited = 2, startGroup = 3, endGroup = 4, fixed32 = 5 };

// A reader with the limits of the protocol-buffer wire form: keys of at most
// five bytes whose value fits in 32 bits, varints of at most ten, lengths of
// at most five and below 2^31. Anything else, or running past the end, is
// malformed.
class Cursor {
 public:
  explicit Cursor(ByteView bytes) : position_(bytes.data()), end_(bytes.data() + bytes.size()) {}

  bool atEnd() const { return position_ == end_; }
  const std::uint8_t* position() const { return position_; }

  std::uint32_t tag() { return static_cast<std::uint32_t>(read(5, 0x10)); }
  std::uint64_t varint() { return read(10, 0x80); }
  std::size_t length() { return static_cast<std::size_t>(read(5, 0x08)); }

  void skip(std::size_t count) {
    if (static_cast<std::size_t>(end_ - position_) < count) throw MessageError::malformed;
    position_ += count;
  }

 private:
  // `lastByteLimit`: the last allowed byte must be below it.
  std::uint64_t read(int maximumBytes, std::uint8_t lastByteLimit) {
    std::uint64_t value = 0;
    for (int i = 0; i < maximumBytes; ++i) {
      if (position_ == end_) throw MessageError::malformed;
      const std::uint8_t byte = *position_++;
      if (i == maximumBytes - 1 && byte >= lastByteLimit) throw MessageError::malformed;
      value |= static_cast<std::uint64_t>(byte & 0x7f) << (7 * i);
      if (byte < 0x80) return value;
    }
    throw MessageError::malformed;
  }

  const std::uint8_t* position_;
  const std::uint8_t* end_;
};

void skipValue(Cursor& cursor, std::uint32_t tag, int depth);

// An unknown group: fields up to the end tag of the same number.
void skipGroup(Cursor& cursor, std::uint32_t startTag, int depth) {
  if (depth <= 0) throw MessageError::malformed;
  for (;;) {
    const std::uint32_t tag = cursor.tag();
    if (tag >> 3 == 0) throw MessageError::malformed;
    if ((tag & 7) == endGroup) {
      if (tag != startTag + 1) throw MessageError::malformed;
      return;
    }
    skipValue(cursor, tag, depth - 1);
  }
}

void skipValue(Cursor& cursor, std::uint32_t tag, int depth) {
  switch (tag & 7) {
    case varint: cursor.varint(); break;
    case fixed64: cursor.skip(8); break;
    case lengthDelimited: cursor.skip(cursor.length()); break;
    case startGroup: skipGroup(cursor, tag, depth); break;
    case fixed32: cursor.skip(4); break;
    default: throw MessageError::malformed;  // an end of group out of place, or no wire type at all
  }
}

}  // namespace

void WireFieldReader::forEachField(ByteView message, const std::function<void(const Field&)>& visit,
                                   int recursionLimit) {
  Cursor cursor(message);
  while (!cursor.atEnd()) {
    const std::uint32_t tag = cursor.tag();
    const int number = static_cast<int>(tag >> 3);
    if (number == 0) throw MessageError::malformed;
    switch (tag & 7) {
      case varint: {
        const std::uint64_t value = cursor.varint();
        visit({number, Field::Kind::varint, value, {}});
        break;
      }
      case lengthDelimited: {
        const std::size_t length = cursor.length();
        const std::uint8_t* start = cursor.position();
        cursor.skip(length);
        visit({number, Field::Kind::lengthDelimited, 0, ByteView(start, length)});
        break;
      }
      default:
        skipValue(cursor, tag, recursionLimit);
        visit({number, Field::Kind::other, 0, {}});
        break;
    }
  }
}

}  // namespace orvel
