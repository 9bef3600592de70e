#include "storage/FileList.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace orvel {
namespace {

// Every field comes back as it went in, whatever its value, and every entry
// is found by its payload id, the first of two with the same id included,
// also after the index has grown many times.
TEST(FileList, KeepsEveryFieldAndFindsEachEntryByItsPayloadId) {
  constexpr auto kLargest = std::numeric_limits<std::int64_t>::max();
  constexpr auto kSmallest = std::numeric_limits<std::int64_t>::min();
  std::vector<FileMetadata> files{
      {0, "", 0, ""},
      {-1, std::string("nul\0inside", 10), -5, "text/plain"},
      {kSmallest, std::string(300, 'n'), kLargest, std::string(200, 'm')},
      {kLargest, "last.bin", kSmallest, "application/octet-stream"},
  };
  std::mt19937_64 random(7);
  for (int i = 0; i < 20'000; ++i) {
    files.push_back({static_cast<std::int64_t>(random()), "IMG_" + std::to_string(i) + ".jpg", i, "image/jpeg"});
  }
  FileList::Builder builder;
  for (const auto& file : files) EXPECT_TRUE(builder.add(file.payloadId, file.name, file.size, file.mimeType));
  EXPECT_FALSE(builder.add(-1, "again", 1, ""));
  files.push_back({-1, "again", 1, ""});
  const FileList list = builder.finish();

  ASSERT_EQ(list.size(), files.size());
  for (std::size_t index = 0; index < files.size(); ++index) {
    ASSERT_EQ(list[index], files[index]) << index;
    ASSERT_EQ(list.indexOf(files[index].payloadId), index == files.size() - 1 ? 1 : index) << index;
  }
  for (std::int64_t absent : {std::int64_t{1}, std::int64_t{42}, kLargest - 1, kSmallest + 1}) EXPECT_FALSE(list.indexOf(absent)) << absent;
  EXPECT_EQ(list, FileList(files));
  EXPECT_EQ(list.totalSize(4), std::int64_t{20'000} * 19'999 / 2 + 1);
  EXPECT_FALSE(FileList().indexOf(0));
}

}  // namespace
}  // namespace orvel
