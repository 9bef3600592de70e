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
// A slot holds an entry's position plus one in its low bits and eight bits of
// its id's hash above them, so that a search reads an entry only when those
// match: a list holds at most 2^24 - 1 entries, more than a frame can announce.
constexpr int kPositionBits = 24;
constexpr std::uint32_t kPositionMask = (std::uint32_t{1} << kPositionBits) - 1;
constexpr std::size_t kMostEntries = kPositionMask;

std::uint32_t tagOf(std::uint64_t hash) { return static_cast<std::uint32_t>(hash >> 56) << kPositionBits; }

// Slots, a power of two, for that many entries at most three quarters full.
std::size_t slotsFor(std::size_t entries) {
  std::size_t slots = kFewestSlots;
  while (entries > slots / 4 * 3) slots *= 2;
  return slots;
}

std::size_t varintBytes(std::uint64_t value) {
  std::size_t bytes = 1;
  for (; value >= 0x80; value >>= 7) ++bytes;
  return bytes;
}

void appendVarint(std::string& out, std::uint64_t value) {
  for (; value >= 0x80; value >>= 7) out += static_cast<char>((value & 0x7f) | 0x80);
  out += static_cast<char>(value);
}

// Reads a varint this list wrote and moves past it.
std::uint64_t readVarint(const char*& at) {
  std::uint64_t value = 0;
  for (int shift = 0;; shift += 7) {
    const auto byte = static_cast<unsigned char>(*at++);
    value |= std::uint64_t{byte & 0x7fu} << shift;
    if (byte < 0x80) return value;
  }
}

std::string_view readText(const char*& at) {
  const auto length = static_cast<std::size_t>(readVarint(at));
  std::string_view text(at, length);
  at += length;
  return text;
}

}  // namespace

std::int64_t FileList::Storage::payloadIdAt(std::size_t index) const {
  const char* at = records.data() + starts[index];
  return static_cast<std::int64_t>(readVarint(at));
}

std::size_t FileList::Storage::slotFor(std::int64_t payloadId) const {
  const std::size_t mask = slots.size() - 1;
  const auto hash = mixed(payloadId);
  const auto tag = tagOf(hash);
  for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
    const auto held = slots[slot];
    if (held == 0) return slot;
    if ((held & ~kPositionMask) == tag && payloadIdAt((held & kPositionMask) - 1) == payloadId) return slot;
  }
}

FileList::FileList(std::initializer_list<FileMetadata> files) : FileList(std::vector<FileMetadata>(files)) {}

FileList::FileList(const std::vector<FileMetadata>& files) {
  Builder builder;
  for (const auto& file : files) builder.add(file.payloadId, file.name, file.size, file.mimeType);
  *this = builder.finish();
}

FileMetadata FileList::operator[](std::size_t index) const {
  const char* at = storage_->records.data() + storage_->starts[index];
  FileMetadata file;
  file.payloadId = static_cast<std::int64_t>(readVarint(at));
  file.size = static_cast<std::int64_t>(readVarint(at));
  file.name = readText(at);
  file.mimeType = readText(at);
  return file;
}

std::int64_t FileList::payloadIdAt(std::size_t index) const { return storage_->payloadIdAt(index); }

std::optional<std::size_t> FileList::indexOf(std::int64_t payloadId) const {
  if (!storage_ || storage_->slots.empty()) return std::nullopt;
  const auto held = storage_->slots[storage_->slotFor(payloadId)];
  if (held == 0) return std::nullopt;
  return std::size_t{held & kPositionMask} - 1;
}

std::int64_t FileList::totalSize(std::size_t first) const {
  constexpr auto largest = std::numeric_limits<std::int64_t>::max();
  std::int64_t total = 0;
  for (std::size_t index = first; index < size(); ++index) {
    const char* at = storage_->records.data() + storage_->starts[index];
    readVarint(at);
    const auto size = std::max<std::int64_t>(static_cast<std::int64_t>(readVarint(at)), 0);
    total = size > largest - total ? largest : total + size;
  }
  return total;
}

std::size_t FileList::heldBytes() const {
  if (!storage_) return 0;
  return sizeof(Storage) + storage_->records.capacity() +
         (storage_->starts.capacity() + storage_->slots.capacity()) * sizeof(std::uint32_t);
}

// The same entries make the same records.
bool FileList::operator==(const FileList& other) const {
  if (storage_ == other.storage_) return true;
  if (size() != other.size()) return false;
  return size() == 0 || storage_->records == other.storage_->records;
}

std::size_t FileList::Builder::recordBytes(std::int64_t payloadId, std::string_view name, std::int64_t size,
                                           std::string_view mimeType) {
  return varintBytes(static_cast<std::uint64_t>(payloadId)) + varintBytes(static_cast<std::uint64_t>(size)) +
         varintBytes(name.size()) + name.size() + varintBytes(mimeType.size()) + mimeType.size();
}

void FileList::Builder::reserve(std::size_t files, std::size_t recordBytes) {
  storage_->starts.reserve(files);
  storage_->records.reserve(recordBytes);
}

bool FileList::Builder::add(std::int64_t payloadId, std::string_view name, std::int64_t size,
                            std::string_view mimeType) {
  auto& records = storage_->records;
  auto& starts = storage_->starts;
  if (recordBytes(payloadId, name, size, mimeType) > std::numeric_limits<std::uint32_t>::max() - records.size() ||
      starts.size() >= kMostEntries) {
    throw std::length_error("file list");
  }
  auto& slots = storage_->slots;
  if (slotsFor(starts.size() + 1) > slots.size()) {
    std::vector<std::uint32_t>(slotsFor(starts.size() + 1), 0).swap(slots);
    for (std::size_t position = 0; position < starts.size(); ++position) {
      const auto earlier = storage_->payloadIdAt(position);
      auto& slot = slots[storage_->slotFor(earlier)];
      if (slot == 0) slot = tagOf(mixed(earlier)) | static_cast<std::uint32_t>(position + 1);
    }
  }
  starts.push_back(static_cast<std::uint32_t>(records.size()));
  appendVarint(records, static_cast<std::uint64_t>(payloadId));
  appendVarint(records, static_cast<std::uint64_t>(size));
  appendVarint(records, name.size());
  records += name;
  appendVarint(records, mimeType.size());
  records += mimeType;
  auto& slot = slots[storage_->slotFor(payloadId)];
  if (slot != 0) return false;
  slot = tagOf(mixed(payloadId)) | static_cast<std::uint32_t>(starts.size());
  return true;
}

std::size_t FileList::Builder::heldBytesWith(std::int64_t payloadId, std::string_view name, std::int64_t size,
                                             std::string_view mimeType) const {
  const auto entries = storage_->starts.size() + 1;
  return sizeof(Storage) + storage_->records.size() + recordBytes(payloadId, name, size, mimeType) +
         (entries + slotsFor(entries)) * sizeof(std::uint32_t);
}

FileList FileList::Builder::finish() {
  // A list read only in part gives back the room reserved for the rest.
  if (storage_->starts.size() < storage_->starts.capacity()) storage_->starts.shrink_to_fit();
  if (storage_->records.size() < storage_->records.capacity()) storage_->records.shrink_to_fit();
  auto storage = std::move(storage_);
  storage_ = std::make_shared<Storage>();
  return FileList(std::move(storage));
}

}  // namespace orvel
