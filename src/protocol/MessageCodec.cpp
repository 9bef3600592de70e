#include "protocol/MessageCodec.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/stubs/logging.h>
#include <google/protobuf/wire_format_lite.h>

#include <cctype>
#include <climits>
#include <optional>
#include <string_view>

#include "platform/Unicode.h"
#include "protocol/WireFieldReader.h"

namespace orvel {

namespace {

using google::protobuf::Descriptor;
using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using google::protobuf::io::CodedInputStream;
using google::protobuf::internal::WireFormatLite;

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

// proto2 string fields are not checked by the C++ runtime. This second pass
// over input that already parsed checks every string field on the wire,
// repeated occurrences of a singular field included, at every depth; every
// other field (file chunk bodies among them) is skipped by its length.
bool stringsAreUtf8(CodedInputStream& input, const Descriptor& type) {
  while (std::uint32_t tag = input.ReadTag()) {
    const FieldDescriptor* field = nullptr;
    if (WireFormatLite::GetTagWireType(tag) == WireFormatLite::WIRETYPE_LENGTH_DELIMITED) {
      field = type.FindFieldByNumber(WireFormatLite::GetTagFieldNumber(tag));
    }
    bool isString = field && field->type() == FieldDescriptor::TYPE_STRING;
    bool isMessage = field && field->type() == FieldDescriptor::TYPE_MESSAGE;
    if (!isString && !isMessage) {
      if (!WireFormatLite::SkipField(&input, tag)) return false;
      continue;
    }
    std::uint32_t length;
    if (!input.ReadVarint32(&length) || length > static_cast<std::uint32_t>(INT_MAX)) return false;
    if (isString) {
      const void* data = nullptr;
      int available = 0;
      if (length > 0 && (!input.GetDirectBufferPointer(&data, &available) ||
                         static_cast<std::uint32_t>(available) < length ||
                         !Unicode::isValid({static_cast<const char*>(data), length}))) {
        return false;
      }
      if (!input.Skip(static_cast<int>(length))) return false;
    } else {
      auto limit = input.PushLimit(static_cast<int>(length));
      bool valid = stringsAreUtf8(input, *field->message_type()) && input.ConsumedEntireMessage();
      input.PopLimit(limit);
      if (!valid) return false;
    }
  }
  return true;
}

std::optional<MessageError> parseFailure(Message& message, ByteView bytes) {
  if (bytes.size() > static_cast<std::size_t>(INT_MAX)) return MessageError::malformed;
  CodedInputStream input(bytes.data(), static_cast<int>(bytes.size()));
  input.SetRecursionLimit(kNestedLevelLimit);
  // Partial parsing, so that a missing required field is told apart and never logged.
  if (!message.MergePartialFromCodedStream(&input) || !input.ConsumedEntireMessage()) {
    return MessageError::malformed;
  }
  CodedInputStream rescan(bytes.data(), static_cast<int>(bytes.size()));
  rescan.SetRecursionLimit(kNestedLevelLimit);
  if (!stringsAreUtf8(rescan, *message.GetDescriptor())) return MessageError::invalidUtf8;
  if (!message.IsInitialized()) return MessageError::missingRequiredFields;
  return std::nullopt;
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
  if (auto error = parseFailure(message, bytes)) {
    message.Clear();
    throw *error;
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
