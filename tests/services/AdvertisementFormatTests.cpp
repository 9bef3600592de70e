#include "services/AdvertisementFormat.h"

#include <gtest/gtest.h>

#include "platform/TxtRecord.h"
#include "services/DeviceName.h"

namespace orvel {
namespace {

TEST(AdvertisementFormat, ServiceNameCarriesTheEndpointId) {
  EXPECT_EQ(AdvertisementFormat::serviceName("ABCD"), "I0FCQ0T8n14AAA");
  // A shorter id is padded with zero bytes: 23 41 42 00 00 FC 9F 5E 00 00.
  EXPECT_EQ(AdvertisementFormat::serviceName("AB"), AdvertisementFormat::urlSafeBase64(Data::fromHex("234142000" "0fc9f5e0000")));
}

TEST(AdvertisementFormat, UrlSafeBase64HasNoPlusSlashOrPadding) {
  EXPECT_EQ(AdvertisementFormat::urlSafeBase64(Data::fromHex("fbff")), "-_8");   // standard: "+/8="
  EXPECT_EQ(AdvertisementFormat::urlSafeBase64(Data::fromHex("fbefbe")), "----");
  EXPECT_EQ(AdvertisementFormat::urlSafeBase64({}), "");
}

TEST(AdvertisementFormat, EndpointInfoLayout) {
  const Bytes random(16, 0xAA);
  auto info = AdvertisementFormat::endpointInfo(random, "Hello");
  ASSERT_EQ(info.size(), 23u);
  EXPECT_EQ(info[0], 0x06);
  EXPECT_EQ(Bytes(info.begin() + 1, info.begin() + 17), random);
  EXPECT_EQ(info[17], 5);
  EXPECT_EQ(std::string(info.begin() + 18, info.end()), "Hello");
  EXPECT_THROW(AdvertisementFormat::endpointInfo(Bytes(15), "x"), std::invalid_argument);
}

// Name length -> endpoint information size and TXT value length; the longest
// allowed name still fits one TXT string, one byte more would not.
TEST(AdvertisementFormat, SizesUpToTheDeviceNameByteLimit) {
  struct Case { std::size_t nameBytes, infoBytes, valueLength; };
  for (auto [nameBytes, infoBytes, valueLength] : {Case{0, 18, 24}, Case{5, 23, 31}, Case{DeviceName::byteLimit, 189, 252}}) {
    auto info = AdvertisementFormat::endpointInfo(Bytes(16), std::string(nameBytes, 'x'));
    EXPECT_EQ(info.size(), infoBytes);
    auto value = AdvertisementFormat::urlSafeBase64(info);
    EXPECT_EQ(value.size(), valueLength);
    EXPECT_NO_THROW(TxtRecord::data({{"n", Bytes(value.begin(), value.end())}}));
  }
  auto tooLong = AdvertisementFormat::urlSafeBase64(AdvertisementFormat::endpointInfo(Bytes(16), std::string(DeviceName::byteLimit + 1, 'x')));
  EXPECT_THROW(TxtRecord::data({{"n", Bytes(tooLong.begin(), tooLong.end())}}), std::invalid_argument);
}

}  // namespace
}  // namespace orvel
