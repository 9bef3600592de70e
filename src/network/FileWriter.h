#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "network/CoveredRanges.h"
#include "protocol/ByteHelpers.h"

namespace orvel {

// Receives the contents of one file into a hidden temporary file inside the
// download folder and, on finalize(), moves it under a free name there. While
// unfinished it holds one descriptor, on its temporary file, which it keeps
// locked; once finalized or cleaned up it holds none.
// Used on its connection's queue only.
class FileWriter {
 public:
  // Throws std::system_error when the download folder or the temporary file
  // cannot be opened. The file never grows past `expectedSize`, the size the
  // user was shown.
  FileWriter(const std::string& filename, std::int64_t expectedSize);
  ~FileWriter();  // calls cleanup()
  FileWriter(const FileWriter&) = delete;
  FileWriter& operator=(const FileWriter&) = delete;

  // Writes at the absolute offset; chunks may come in any order and overlap.
  // Throws FileWriterError::notOpen after finalize() or cleanup(),
  // FileWriterError::writeFailed for a negative offset, for bytes past the
  // expected size or for too many separate pieces, std::system_error.
  void write(ByteView data, std::int64_t offset);
  // Only for a file whose every byte was written (reachedExpectedSize(), else
  // FileWriterError::writeFailed): makes the file system report any write it
  // failed, then moves the file
  // into place, never over an existing file, and closes it. A name the file
  // system refuses (FAT and exFAT drives) is tried once more as
  // portableFilename(). Throws FileWriterError::notOpen after finalize() or
  // cleanup(), std::system_error; the file then keeps its temporary name.
  void finalize();
  // Deletes the temporary file and closes it; ignores every error.
  void cleanup() noexcept;

  // At start-up: deletes the temporary files that no writer of a running
  // process holds in the download folder, as writers would use it; nothing
  // when that folder is refused.
  static void deleteAbandonedTemporaryFiles();
  // The same in `folder`, logging each file deleted.
  static void deleteAbandonedTemporaryFiles(const std::filesystem::path& folder);

  // The bytes written so far, each counted once however often it came.
  std::int64_t bytesWritten() const { return written_.covered(); }
  // How long the temporary file is: the highest end written, gaps included.
  std::int64_t length() const { return written_.end(); }
  // Whether every byte announced was written: only then may it be finalized.
  bool reachedExpectedSize() const { return written_.covered() == expectedSize_; }
  // Where the file is (after finalize()) or is meant to go.
  std::filesystem::path finalPath() const { return folder_ / finalName_; }

  // The name a received file name becomes in the download folder, before
  // any unique suffix; `nameMax` is the file system's limit per name.
  static std::string safeFilename(const std::string& filename, std::size_t nameMax);
  // What a safe name becomes on a file system that refuses it: the
  // characters FAT and exFAT forbid turn into "_", and the name is cut to
  // fit their limit of 255 UTF-16 units.
  static std::string portableFilename(const std::string& safeName, std::size_t nameMax);

 private:
  struct SafeName {
    std::string base;
    std::string extension;  // with its dot, or empty
    friend bool operator==(const SafeName&, const SafeName&) = default;
  };
  enum class MoveOutcome { moved, nameTaken, nameRefused, failed };
  struct MoveResult {
    MoveOutcome outcome;
    int error;  // errno, unless moved
  };
  static SafeName splitSafeName(const std::string& filename, std::size_t nameMax);
  void createTemporaryFile();
  std::string uniqueFilename() const;
  bool nameExists(const std::string& name) const;
  void flushWrites();
  void moveIntoPlace();
  MoveResult moveUnderFreeName();
  static MoveResult renameWithoutReplacing(const std::filesystem::path& from, const std::filesystem::path& to);
  std::filesystem::path temporaryPath() const { return folder_ / temporaryName_; }

  std::filesystem::path folder_;
  std::size_t nameMax_ = 255;
  SafeName candidate_;  // the received name made safe
  std::string finalName_;
  std::string temporaryName_;  // empty once moved or deleted
  int fileDescriptor_ = -1;
  std::int64_t expectedSize_;
  CoveredRanges written_;
};

}  // namespace orvel
