#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "storage/FileMetadata.h"

namespace orvel {

// The files of one offer, in the order announced. An offer may announce
// hundreds of thousands of files, and its list goes from the connection to
// the question on screen: it is kept compact (each entry one record of
// varints and texts, all in one string) and immutable, and its copies share it.
class FileList {
 public:
  class Builder;
  class Iterator;

  FileList() = default;
  FileList(std::initializer_list<FileMetadata> files);
  FileList(const std::vector<FileMetadata>& files);  // implicit, as it is the same list

  std::size_t size() const { return storage_ ? storage_->starts.size() : 0; }
  bool empty() const { return size() == 0; }
  FileMetadata operator[](std::size_t index) const;
  FileMetadata front() const { return (*this)[0]; }
  Iterator begin() const;
  Iterator end() const;

  std::int64_t payloadIdAt(std::size_t index) const;
  // The position of the first entry with that payload id, found in constant time.
  std::optional<std::size_t> indexOf(std::int64_t payloadId) const;
  // The announced sizes from `first` on, added up; past the largest number, that number.
  std::int64_t totalSize(std::size_t first = 0) const;
  // What the list takes in memory, shared by all its copies.
  std::size_t heldBytes() const;

  bool operator==(const FileList& other) const;

 private:
  // `slots` is open addressing over the entries by payload id, 0 when free,
  // at most three quarters full, so that a search ends within a few slots.
  struct Storage {
    std::string records;                // payload id, size, name's length, name, media type's length, media type
    std::vector<std::uint32_t> starts;  // of each entry's record
    std::vector<std::uint32_t> slots;
    std::int64_t payloadIdAt(std::size_t index) const;
    // The slot that holds the entry with that id, or the free slot where it would go.
    std::size_t slotFor(std::int64_t payloadId) const;
  };

  explicit FileList(std::shared_ptr<const Storage> storage) : storage_(std::move(storage)) {}

  std::shared_ptr<const Storage> storage_;
};

// Adds the entries one by one; room for them is best made once, up front.
class FileList::Builder {
 public:
  // What an entry's record takes.
  static std::size_t recordBytes(std::int64_t payloadId, std::string_view name, std::int64_t size,
                                 std::string_view mimeType);
  void reserve(std::size_t files, std::size_t recordBytes);
  // Returns false when an earlier entry has the same payload id (the entry is
  // added all the same). Throws std::length_error once the records of the
  // list pass 4 GiB or its entries 2^24 - 1.
  bool add(std::int64_t payloadId, std::string_view name, std::int64_t size, std::string_view mimeType);
  // What the list takes in memory with that entry added: the records written
  // so far (room reserved ahead costs nothing until written) and the index
  // as it will be.
  std::size_t heldBytesWith(std::int64_t payloadId, std::string_view name, std::int64_t size,
                            std::string_view mimeType) const;
  FileList finish();

 private:
  std::shared_ptr<Storage> storage_ = std::make_shared<Storage>();
};

class FileList::Iterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = FileMetadata;
  using difference_type = std::ptrdiff_t;
  using pointer = void;
  using reference = FileMetadata;

  Iterator() = default;
  Iterator(const FileList* list, std::size_t index) : list_(list), index_(index) {}
  FileMetadata operator*() const { return (*list_)[index_]; }
  Iterator& operator++() {
    ++index_;
    return *this;
  }
  Iterator operator++(int) {
    auto before = *this;
    ++index_;
    return before;
  }
  bool operator==(const Iterator& other) const { return index_ == other.index_; }

 private:
  const FileList* list_ = nullptr;
  std::size_t index_ = 0;
};

inline FileList::Iterator FileList::begin() const { return {this, 0}; }
inline FileList::Iterator FileList::end() const { return {this, size()}; }

}  // namespace orvel
