#include "services/AdvertisementFormat.h"

#include <openssl/evp.h>

#include <algorithm>
#include <stdexcept>

namespace orvel {

std::string AdvertisementFormat::urlSafeBase64(ByteView bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(),
                                     static_cast<int>(bytes.size()));
  text.resize(static_cast<std::size_t>(length));
  std::erase(text, '=');
  std::replace(text.begin(), text.end(), '+', '-');
  std::replace(text.begin(), text.end(), '/', '_');
  return text;
}

std::string AdvertisementFormat::serviceName(std::string_view endpointId) {
  Bytes name{0x23, 0x00, 0x00, 0x00, 0x00, 0xFC, 0x9F, 0x5E, 0x00, 0x00};
  std::copy_n(endpointId.begin(), std::min<std::size_t>(endpointId.size(), 4), name.begin() + 1);
  return urlSafeBase64(name);
}

Bytes AdvertisementFormat::endpointInfo(ByteView randomBytes, std::string_view deviceName) {
  if (randomBytes.size() != randomByteCount || deviceName.size() > 255) {
    throw std::invalid_argument("endpoint information out of bounds");
  }
  Bytes info(1 + randomByteCount + 1 + deviceName.size());
  info[0] = 0x06;
  std::copy(randomBytes.begin(), randomBytes.end(), info.begin() + 1);
  info[1 + randomByteCount] = static_cast<std::uint8_t>(deviceName.size());
  std::copy(deviceName.begin(), deviceName.end(), info.begin() + 2 + randomByteCount);
  return info;
}

}  // namespace orvel
