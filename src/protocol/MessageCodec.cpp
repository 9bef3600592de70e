#include "protocol/MessageCodec.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/stubs/logging.h>

#include <cctype>
#include <climits>
#include <string_view>

#include "platform/Unicode.h"
#include "protocol/WireFieldReader.h"

namespace orvel {

namespace {

using google::protobuf::Descriptor;
using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using google::protobuf::io::CodedInputStream;

// The runtime counts only nested levels against its limit; the in-place
// reader keeps the same budget, so both accept the same messages.
constexpr int kNestedLevelLimit = WireFieldReader::defaultRecursionLimit;

void discardRuntimeLog(google::protobuf::LogLevel, const char*, int, const std::string&) {}

// The runtime reports malformed input and misuse on its own log; our callers
// get MessageError instead, so none of that may reach the terminal.
void silenceRuntimeLog() {
  static const bool silenced = (google::protobuf::SetLogHandler(&discardRuntimeLog), true);
  (void)silenced;
}

// Also at load time, for runtime use that comes before the first codec call.
[[maybe_unused]] const bool runtimeLogSilencedAtLoad = (silenceRuntimeLog(), true);

// A second pass over input that the runtime parsed, for what the runtime lets
// through: it takes a key's varint modulo 2^32, and it does not check proto2
// string fields. The in-place reader reads every key again, at every depth
// and inside unknown groups, and refuses one beyond 32 bits; every string
// field on the wire, repeated occurrences of a singular field included, must
// hold UTF-8. Every other field (file chunk bodies among them) is passed over.
// A malformed key anywhere wins over invalid UTF-8 met before it.
void recheck(ByteView bytes, const Descriptor& type, int recursionLimit, bool& utf8Valid) {
  WireFieldReader::forEachField(
      bytes,
      [&](const WireFieldReader::Field& wireField) {
        if (wireField.kind != WireFieldReader::Field::Kind::lengthDelimited) return;
        const FieldDescriptor* field = type.FindFieldByNumber(wireField.number);
        if (!field) return;
        if (field->type() == FieldDescriptor::TYPE_STRING) {
          utf8Valid = utf8Valid && Unicode::isValid({reinterpret_cast<const char*>(wireField.bytes.data()),
                                                     wireField.bytes.size()});
        } else if (field->type() == FieldDescriptor::TYPE_MESSAGE) {
          recheck(wireField.bytes, *field->message_type(), recursionLimit - 1, utf8Valid);
        }
      },
      recursionLimit);
}

// Throws the first failure: malformed input, invalid UTF-8, a missing required field.
void parseChecked(Message& message, ByteView bytes) {
  if (bytes.size() > static_cast<std::size_t>(INT_MAX)) throw MessageError::malformed;
  CodedInputStream input(bytes.data(), static_cast<int>(bytes.size()));
  input.SetRecursionLimit(kNestedLevelLimit);
  // Partial parsing, so that a missing required field is told apart and never logged.
  if (!message.MergePartialFromCodedStream(&input) || !input.ConsumedEntireMessage()) {
    throw MessageError::malformed;
  }
  bool utf8Valid = true;
  recheck(bytes, *message.GetDescriptor(), kNestedLevelLimit, utf8Valid);
  if (!utf8Valid) throw MessageError::invalidUtf8;
  if (!message.IsInitialized()) throw MessageError::missingRequiredFields;
}

// Splits at underscores and before a letter that follows a digit.
std::string lowerCamelCase(std::string_view name) {
  std::string result;
  bool wordStart = true;
  char previous = '_';
  for (char c : name) {
    if (c == '_') {
      wordStart = true;
    } else {
      if (std::isalpha(static_cast<unsigned char>(c)) && std::isdigit(static_cast<unsigned char>(previous))) {
        wordStart = true;
      }
      bool upper = wordStart && !result.empty();
      result += static_cast<char>(upper ? std::toupper(static_cast<unsigned char>(c))
                                        : std::tolower(static_cast<unsigned char>(c)));
      wordStart = false;
    }
    previous = c;
  }
  return result;
}

}  // namespace

void MessageCodec::parseInto(Message& message, ByteView bytes) {
  silenceRuntimeLog();
  message.Clear();
  try {
    parseChecked(message, bytes);
  } catch (MessageError) {
    message.Clear();
    throw;
  }
}

Bytes MessageCodec::serialize(const Message& message) {
  silenceRuntimeLog();
  // Checked first: the runtime itself would log, or abort in debug builds.
  if (!message.IsInitialized()) throw MessageError::missingRequiredFields;
  std::size_t size = message.ByteSizeLong();
  if (size > static_cast<std::size_t>(INT_MAX)) throw MessageError::malformed;
  Bytes bytes(size);
  if (!message.SerializePartialToArray(bytes.data(), static_cast<int>(size))) throw MessageError::malformed;
  return bytes;
}

// Serialisation writes the known fields in number order and then the unknown
// ones as they were met, so equal messages and equal serialisations coincide.
bool MessageCodec::equal(const Message& a, const Message& b) {
  return a.GetDescriptor() == b.GetDescriptor() && a.SerializePartialAsString() == b.SerializePartialAsString();
}

std::string MessageCodec::enumDisplayName(const google::protobuf::EnumDescriptor& type, int number) {
  const auto* value = type.FindValueByNumber(number);
  return value ? lowerCamelCase(value->name()) : std::to_string(number);
}

std::string MessageCodec::typeDisplayName(const Message& message) {
  const Descriptor& type = *message.GetDescriptor();
  std::string result = "Orvel.";
  const std::string& package = type.file()->package();
  bool wordStart = true;
  for (char c : package) {
    if (c == '.') {
      result += '_';
      wordStart = true;
    } else {
      result += wordStart ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
      wordStart = false;
    }
  }
  if (!package.empty()) result += '_';
  // The full name past the package keeps the enclosing types of a nested one.
  result += std::string_view(type.full_name()).substr(package.empty() ? 0 : package.size() + 1);
  return result;
}

}  // namespace orvel
