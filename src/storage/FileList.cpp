#include "storage/FileList.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace orvel {

FileList::FileList(std::initializer_list<FileMetadata> files) : FileList(std::vector<FileMetadata>(files)) {}

FileList::FileList(const std::vector<FileMetadata>& files) {
  Builder builder;
  for (const auto& file : files) builder.add(file.payloadId, file.name, file.size, file.mimeType);
  *this = builder.finish();
}

FileMetadata FileList::operator[](std::size_t index) const {
  const auto& entries = storage_->entries;
  const auto& entry = entries[index];
  const std::size_t nameBegin = index == 0 ? 0 : entries[index - 1].mimeTypeEnd;
  std::string_view text = storage_->text;
  return {entry.payloadId, std::string(text.substr(nameBegin, entry.nameEnd - nameBegin)), entry.size,
          std::string(text.substr(entry.nameEnd, entry.mimeTypeEnd - entry.nameEnd))};
}

std::int64_t FileList::totalSize(std::size_t first) const {
  constexpr auto largest = std::numeric_limits<std::int64_t>::max();
  std::int64_t total = 0;
  for (std::size_t index = first; index < size(); ++index) {
    const auto size = std::max<std::int64_t>(storage_->entries[index].size, 0);
    total = size > largest - total ? largest : total + size;
  }
  return total;
}

std::size_t FileList::heldBytes() const {
  if (!storage_) return 0;
  return sizeof(Storage) + storage_->entries.capacity() * sizeof(Entry) + storage_->text.capacity();
}

bool FileList::operator==(const FileList& other) const {
  if (storage_ == other.storage_) return true;
  if (size() != other.size()) return false;
  for (std::size_t index = 0; index < size(); ++index) {
    if (!((*this)[index] == other[index])) return false;
  }
  return true;
}

void FileList::Builder::reserve(std::size_t files, std::size_t textBytes) {
  storage_->entries.reserve(files);
  storage_->text.reserve(textBytes);
}

void FileList::Builder::add(std::int64_t payloadId, std::string_view name, std::int64_t size,
                            std::string_view mimeType) {
  auto& text = storage_->text;
  if (name.size() + mimeType.size() > std::numeric_limits<std::uint32_t>::max() - text.size()) {
    throw std::length_error("file list");
  }
  text += name;
  const auto nameEnd = static_cast<std::uint32_t>(text.size());
  text += mimeType;
  storage_->entries.push_back({payloadId, size, nameEnd, static_cast<std::uint32_t>(text.size())});
}

FileList FileList::Builder::finish() {
  auto storage = std::move(storage_);
  storage_ = std::make_shared<Storage>();
  return FileList(std::move(storage));
}

}  // namespace orvel
