#include "services/DeviceName.h"

#include "platform/HostName.h"
#include "platform/Settings.h"
#include "platform/Unicode.h"

namespace orvel {

std::string DeviceName::current() {
  auto name = Settings::string(Settings::deviceNameKey);
  if (!name) name = HostName::localized();
  return fitted(name.value_or("Mac"));
}

std::string DeviceName::fitted(std::string_view name) {
  std::string result;
  std::size_t characters = 0;
  Unicode::forEachCharacter(name, [&](std::string_view character) {
    if (characters == characterLimit || result.size() + character.size() > byteLimit) return false;
    result += character;
    ++characters;
    return true;
  });
  return result;
}

}  // namespace orvel
