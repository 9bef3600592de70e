#include "storage/FileList.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace orvel {

namespace {

// Payload ids may be anything a sender chose, small counters as well as
// random numbers: their bits are mixed before they pick a slot.
std::uint64_t mixed(std::int64_t payloadId) {
  auto bits = static_cast<std::uint64_t>(payloadId);
  bits = (bits ^ (bits >> 30)) * 0xbf58476d1ce4e5b9ULL;
  bits = (bits ^ (bits >> 27)) * 0x94d049bb133111ebULL;
  return bits ^ (bits >> 31);
}

constexpr std::size_t kFewestSlots = 16;

// Slots, a power of two, for that many entries at most three quarters full.
std::size_t slotsFor(std::size_t entries) {
  std::size_t slots = kFewestSlots;
  while (entries > slots / 4 * 3) slots *= 2;
  return slots;
}

}  // namespace

// The slot that holds the entry with that id, or the free slot where it would go.
std::size_t FileList::Index::slotFor(const std::vector<Entry>& entries, std::int64_t payloadId) const {
  const std::size_t mask = slots.size() - 1;
  for (std::size_t slot = mixed(payloadId) & mask;; slot = (slot + 1) & mask) {
    const auto held = slots[slot];
    if (held == 0 || entries[held - 1].payloadId == payloadId) return slot;
  }
}

std::optional<std::size_t> FileList::indexOf(std::int64_t payloadId) const {
  if (!storage_ || storage_->index.slots.empty()) return std::nullopt;
  const auto& index = storage_->index;
  const auto held = index.slots[index.slotFor(storage_->entries, payloadId)];
  if (held == 0) return std::nullopt;
  return std::size_t{held} - 1;
}

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
  return sizeof(Storage) + storage_->entries.capacity() * sizeof(Entry) + storage_->text.capacity() +
         storage_->index.slots.capacity() * sizeof(std::uint32_t);
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

bool FileList::Builder::add(std::int64_t payloadId, std::string_view name, std::int64_t size,
                            std::string_view mimeType) {
  auto& text = storage_->text;
  auto& entries = storage_->entries;
  if (name.size() + mimeType.size() > std::numeric_limits<std::uint32_t>::max() - text.size() ||
      entries.size() >= std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("file list");
  }
  auto& index = storage_->index;
  if (slotsFor(entries.size() + 1) > index.slots.size()) {
    Index grown{std::vector<std::uint32_t>(slotsFor(entries.size() + 1), 0)};
    for (std::size_t position = 0; position < entries.size(); ++position) {
      auto& slot = grown.slots[grown.slotFor(entries, entries[position].payloadId)];
      if (slot == 0) slot = static_cast<std::uint32_t>(position + 1);
    }
    index = std::move(grown);
  }
  text += name;
  const auto nameEnd = static_cast<std::uint32_t>(text.size());
  text += mimeType;
  entries.push_back({payloadId, size, nameEnd, static_cast<std::uint32_t>(text.size())});
  auto& slot = index.slots[index.slotFor(entries, payloadId)];
  if (slot != 0) return false;
  slot = static_cast<std::uint32_t>(entries.size());
  return true;
}

std::size_t FileList::Builder::heldBytesWith(std::size_t textBytes) const {
  const auto entries = storage_->entries.size() + 1;
  return sizeof(Storage) + entries * sizeof(Entry) + storage_->text.size() + textBytes +
         slotsFor(entries) * sizeof(std::uint32_t);
}

FileList FileList::Builder::finish() {
  // A list read only in part gives back the room reserved for the rest.
  if (storage_->entries.size() < storage_->entries.capacity()) storage_->entries.shrink_to_fit();
  if (storage_->text.size() < storage_->text.capacity()) storage_->text.shrink_to_fit();
  auto storage = std::move(storage_);
  storage_ = std::make_shared<Storage>();
  return FileList(std::move(storage));
}

}  // namespace orvel
