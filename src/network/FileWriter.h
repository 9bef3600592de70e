#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "network/CoveredRanges.h"
#include "protocol/ByteHelpers.h"

namespace orvel {

class DownloadFolder;

// Receives the contents of one file into a hidden temporary file inside the
// download folder and, on finalize(), moves it under a free name there. While
// unfinished it holds one descriptor, on its temporary file, which it keeps
// locked, and shares one of the folder with the other writers there; once
// finalized or cleaned up it holds none.
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
  // failed, then moves the file into place, never over an existing file, and
  // closes it. When the move fails for another reason than a taken name, as
  // on a drive that refuses the name, and the file and its folder are still
  // in place, the file goes under portableFilename(), and failing that under
  // plainFilename(). Throws FileWriterError::notOpen after finalize() or
  // cleanup(), std::system_error (also when the folder was moved away); the
  // file then keeps its temporary name.
  void finalize();
  // Deletes the temporary file and closes it, or, where the drive cannot
  // delete an open file, closes it and then deletes it; never throws.
  void cleanup() noexcept;

  // At start-up: deletes the temporary files that no writer of a running
  // process holds in the download folder, as writers would use it, and the
  // empty reservations their notes name and date, keeping an empty file a
  // note cannot tell for one; nothing when that folder is refused.
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
  std::filesystem::path finalPath() const { return folderPath_ / finalName_; }

  // The name a received file name becomes in the download folder, before
  // any unique suffix; `nameMax` is the file system's limit per name.
  static std::string safeFilename(const std::string& filename, std::size_t nameMax);
  // What a safe name becomes on a file system that refuses it: the
  // characters FAT, exFAT and NTFS for Windows forbid turn into "_", trailing
  // spaces and dots go, a Windows device name (CON, PRN, AUX, NUL, COM1-9,
  // LPT1-9) before the first dot gets a "_" ("CON.txt" -> "CON_.txt"), and
  // the name is cut to fit their limit of 255 UTF-16 units.
  static std::string portableFilename(const std::string& safeName, std::size_t nameMax);
  // The last name tried: "file", with the extension when that is plain
  // letters and digits ("file.pdf").
  static std::string plainFilename(const std::string& safeName);

 private:
  struct SafeName {
    std::string base;
    std::string extension;  // with its dot, or empty
    friend bool operator==(const SafeName&, const SafeName&) = default;
  };
  enum class MoveOutcome { moved, nameTaken, failed };
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
  bool mayTryAnotherName() const;
  MoveResult moveUnderFreeName();
  static MoveResult renameWithoutReplacing(int directory, const std::string& from, const std::string& to);
  static MoveResult renameOverReservation(int directory, const std::string& from, const std::string& to);
  static void deleteAbandonedReservation(int directory, const std::filesystem::path& folder, const char* note);
  int directory() const;

  std::filesystem::path folderPath_;
  std::shared_ptr<DownloadFolder> folder_;  // none once finalized or cleaned up
  std::size_t nameMax_ = 255;
  SafeName candidate_;  // the received name made safe
  std::string finalName_;
  std::string temporaryName_;  // empty once moved or deleted
  int fileDescriptor_ = -1;
  std::int64_t expectedSize_;
  CoveredRanges written_;
};

}  // namespace orvel
