#include "network/FileWriter.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <limits>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>

#include "network/DownloadFolder.h"
#include "network/FileWriterError.h"
#include "platform/Log.h"
#include "platform/Settings.h"
#include "platform/Unicode.h"
#include "platform/Uuid.h"

namespace orvel {
namespace {

constexpr std::size_t kLongestKeptExtension = 32;  // with its dot; a longer one may be cut with the name
constexpr std::size_t kLongestUniqueSuffix = 9;  // "_" and 8 hex digits; " (1000)" is shorter
constexpr int kUniqueAttempts = 1000;
constexpr int kMoveAttempts = 64;
constexpr int kCreateAttempts = 8;
// A sender sends a file in order, as one piece; this leaves ample room for
// any reordering while bounding what a sender of scattered bytes costs.
constexpr std::size_t kMostWrittenPieces = 256;
constexpr std::string_view kTemporaryPrefix = ".orvel-";
constexpr std::string_view kTemporarySuffix = ".part";
// Beside a temporary file, while a file is moved over a reservation: names
// the reservation and, once it exists, its time, so that one a stopped
// receiver left is known for ours.
constexpr std::string_view kReservationNoteSuffix = ".reserved";

[[noreturn]] void throwSystemError(const std::string& what) {
  throw std::system_error(errno, std::system_category(), what);
}

bool isUtf8Continuation(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

// "/" and NUL would make the name a path. Control characters would act on the
// terminal that shows "File saved to: ", and bidirectional controls could make
// a name ending in ".exe" show as one ending in ".pdf". A byte that is not
// UTF-8 is no character at all.
bool isHarmful(const Unicode::CodePoint& character) {
  return !character.valid || character.value == '/' || Unicode::isControl(character.value) ||
         Unicode::isBidiControl(character.value);
}

std::string withHarmfulCharactersReplaced(std::string_view filename) {
  std::string name;
  name.reserve(filename.size());
  while (!filename.empty()) {
    auto character = Unicode::first(filename);
    if (isHarmful(character)) {
      name += '_';
    } else {
      name += filename.substr(0, character.length);
    }
    filename.remove_prefix(character.length);
  }
  return name;
}

// The extension with its dot: what follows the last dot, when that is neither
// the first nor the last character.
std::string_view extensionOf(std::string_view name) {
  auto dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) return {};
  return name.substr(dot);
}

// The first `limit` bytes of `text`, shortened to end on a character boundary.
std::string cutToBoundary(const std::string& text, std::size_t limit) {
  if (text.size() <= limit) return text;
  std::size_t end = limit;
  while (end > 0 && isUtf8Continuation(text[end])) --end;
  return text.substr(0, end);
}

// The errors with which a file system refuses a name itself: a character it
// cannot store, or a name too long for it.
bool isRefusedName(int error) { return error == EINVAL || error == EILSEQ || error == ENAMETOOLONG; }

// The errors with which renameat2 and link say they cannot do their kind of
// move on this file system at all (or, renameat2's EINVAL, maybe the name).
bool isUnsupportedRename(int error) { return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP; }
bool isUnsupportedLink(int error) { return error == EPERM || error == EOPNOTSUPP || error == ENOSYS; }

// FAT and exFAT count a name's length in UTF-16 units, of which a UTF-8 name
// has at most as many as bytes.
constexpr std::size_t kPortableNameMax = 255;

bool isForbiddenOnFat(char character) {
  return std::string_view(R"(:?*"<>|\)").find(character) != std::string_view::npos;
}

bool isAsciiAlphanumeric(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The names Windows keeps for devices, in any case; a name whose part before
// its first dot is one of them is refused by NTFS mounted for Windows.
bool isWindowsDeviceName(std::string_view stem) {
  std::string upper(stem);
  for (auto& c : upper) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  if (upper == "CON" || upper == "PRN" || upper == "AUX" || upper == "NUL") return true;
  return upper.size() == 4 && (upper.starts_with("COM") || upper.starts_with("LPT")) && upper[3] >= '1' &&
         upper[3] <= '9';
}

// Exactly the names createTemporaryFile() makes: the prefix, a UUID in its
// upper-case standard form, the suffix; or, with the note's suffix, those of
// its reservation notes.
bool isTemporaryName(std::string_view name, std::string_view suffix = kTemporarySuffix) {
  constexpr std::size_t uuidLength = 36;
  if (name.size() != kTemporaryPrefix.size() + uuidLength + suffix.size() || !name.starts_with(kTemporaryPrefix) ||
      !name.ends_with(suffix)) {
    return false;
  }
  auto uuid = name.substr(kTemporaryPrefix.size(), uuidLength);
  for (std::size_t i = 0; i < uuid.size(); ++i) {
    bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    char c = uuid[i];
    if (hyphen ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

// Whether the new temporary file is locked and still ours: a start-up sweep
// of another instance may have taken it between its creation and the lock,
// and then deletes it. A file system without flock cannot be swept either.
bool lockNewFile(int descriptor) {
  if (::flock(descriptor, LOCK_EX | LOCK_NB) != 0) return errno != EWOULDBLOCK;
  struct stat status;
  return ::fstat(descriptor, &status) != 0 || status.st_nlink > 0;
}

// The note of a temporary file's reservation, and the temporary file of a note.
std::string withSuffix(std::string_view name, std::string_view from, std::string_view to) {
  std::string result(name.substr(0, name.size() - from.size()));
  result += to;
  return result;
}

// Written whole before the reservation is made; a note cut short names
// nothing. It stays open for the reservation's time.
int openReservationNote(int directory, const std::string& note, const std::string& reserved) {
  int descriptor = ::openat(directory, note.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (descriptor < 0) return -1;
  const std::string text = reserved + "\n";
  if (::write(descriptor, text.data(), text.size()) == static_cast<ssize_t>(text.size())) return descriptor;
  ::close(descriptor);
  ::unlinkat(directory, note.c_str(), 0);
  return -1;
}

// Once the reservation exists, and only then, the note gets the modification
// time the drive gave it: FAT and exFAT keep it across a remount, while FUSE
// numbers inodes anew at each mount. Written at once, before the move, which
// is where a drive that hangs keeps a stopped receiver. A note without it
// names a file that may be anyone's.
void recordReservationTime(int note, int reservation) {
  struct stat status;
  if (::fstat(reservation, &status) != 0) return;
  char line[48];
  int length = std::snprintf(line, sizeof line, "%lld.%09ld\n", static_cast<long long>(status.st_mtim.tv_sec),
                             static_cast<long>(status.st_mtim.tv_nsec));
  if (::write(note, line, static_cast<std::size_t>(length)) != length) {
    // Cut short, the line names no time: a reservation left then is kept.
  }
}

// Whether a running writer still holds that temporary file, locked.
bool isHeld(int directory, const std::string& temporaryName) {
  int descriptor = ::openat(directory, temporaryName.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (descriptor < 0) return false;
  bool held = ::flock(descriptor, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(descriptor);
  return held;
}

struct ReservationNote {
  std::string reserved;
  std::optional<timespec> made;  // none when the receiver stopped before the reservation existed
};

// Seconds, a dot and nine digits of nanoseconds.
std::optional<timespec> parsedTime(std::string_view text) {
  auto dot = text.find('.');
  if (dot == std::string_view::npos || text.size() - dot - 1 != 9) return std::nullopt;
  long long seconds = 0;
  long nanoseconds = 0;
  auto whole = std::from_chars(text.data(), text.data() + dot, seconds);
  auto part = std::from_chars(text.data() + dot + 1, text.data() + text.size(), nanoseconds);
  if (whole.ptr != text.data() + dot || part.ptr != text.data() + text.size() || text[dot + 1] == '-' ||
      !std::in_range<time_t>(seconds)) {
    return std::nullopt;
  }
  return timespec{static_cast<time_t>(seconds), nanoseconds};
}

// What a note says, when its name is whole and names a received file: never
// hidden, never a path. A time cut short or garbled is none.
std::optional<ReservationNote> reservationNoteIn(int directory, const char* note) {
  int descriptor = ::openat(directory, note, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (descriptor < 0) return std::nullopt;
  char text[4 * NAME_MAX + 64];
  struct stat status;
  ssize_t length = -1;
  if (::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode)) length = ::read(descriptor, text, sizeof text);
  ::close(descriptor);
  if (length < 2) return std::nullopt;
  std::string_view contents(text, static_cast<std::size_t>(length));
  auto end = contents.find('\n');
  if (end == std::string_view::npos || end == 0) return std::nullopt;
  ReservationNote result{std::string(contents.substr(0, end)), std::nullopt};
  const auto& name = result.reserved;
  if (name.front() == '.' || name.find_first_of(std::string_view("/\0", 2)) != std::string::npos) return std::nullopt;
  contents.remove_prefix(end + 1);
  if (contents.ends_with('\n') && contents.find('\n') == contents.size() - 1) {
    result.made = parsedTime(contents.substr(0, contents.size() - 1));
  }
  return result;
}

// Whether a file's time is the one recorded, as the drive may keep it past a
// remount: exFAT to 10 ms, exfat-fuse whole seconds, FAT 2 s, each rounded
// down. An empty file someone made in its place within that rounding is
// taken for ours.
bool isRecordedTime(const timespec& kept, const timespec& recorded) {
  const time_t even = recorded.tv_sec - (((recorded.tv_sec % 2) + 2) % 2);
  return std::pair(kept.tv_sec, kept.tv_nsec) <= std::pair(recorded.tv_sec, recorded.tv_nsec) && kept.tv_sec >= even;
}

}  // namespace

// The received name becomes one harmless component of the download folder:
// "/", control characters, bidirectional controls and bytes that are not UTF-8
// turn into "_"; leading dots are dropped, so the file is not hidden, is never
// "." or "..", and cannot meet our own ".orvel-*.part" temporary names; nothing
// left gives "file". A name too long for the file system with the longest
// unique suffix is cut on a UTF-8 character boundary, a short extension kept
// whole. Base and extension then split at the last dot.
FileWriter::SafeName FileWriter::splitSafeName(const std::string& filename, std::size_t nameMax) {
  std::string name = withHarmfulCharactersReplaced(filename);
  name.erase(0, name.find_first_not_of('.'));
  if (name.empty()) name = "file";

  std::size_t budget = nameMax > kLongestUniqueSuffix ? nameMax - kLongestUniqueSuffix : 1;
  if (name.size() > budget) {
    std::string extension(extensionOf(name));
    if (extension.size() > kLongestKeptExtension || extension.size() >= budget) extension.clear();
    std::string base = cutToBoundary(name.substr(0, name.size() - extension.size()), budget - extension.size());
    name = (base.empty() ? "file" : base) + extension;
  }

  std::string extension(extensionOf(name));
  return {name.substr(0, name.size() - extension.size()), extension};
}

std::string FileWriter::safeFilename(const std::string& filename, std::size_t nameMax) {
  auto safe = splitSafeName(filename, nameMax);
  return safe.base + safe.extension;
}

// FAT drops a name's trailing spaces and dots, so that a name ending in one
// names another file or none; such names are refused.
std::string FileWriter::portableFilename(const std::string& safeName, std::size_t nameMax) {
  nameMax = std::min(nameMax, kPortableNameMax);
  std::string name = safeName;
  std::replace_if(name.begin(), name.end(), isForbiddenOnFat, '_');
  name = safeFilename(name, nameMax);
  name.erase(name.find_last_not_of(" .") + 1);
  auto stemEnd = std::min(name.find('.'), name.size());
  if (isWindowsDeviceName(std::string_view(name).substr(0, stemEnd))) {
    std::string mended = name.substr(0, stemEnd);
    mended += '_';
    mended.append(name, stemEnd);
    name = std::move(mended);
  }
  return safeFilename(name, nameMax);
}

std::string FileWriter::plainFilename(const std::string& safeName) {
  constexpr std::size_t longestPlainExtension = 8;
  auto extension = extensionOf(safeName);
  bool plain = !extension.empty() && extension.size() <= longestPlainExtension + 1 &&
               std::all_of(extension.begin() + 1, extension.end(), isAsciiAlphanumeric);
  return "file" + std::string(plain ? extension : std::string_view());
}

// Each file still arriving costs one descriptor of its own, however many
// files a transfer has; the folder's is shared.
FileWriter::FileWriter(const std::string& filename, std::int64_t expectedSize)
    : folderPath_(Settings::preparedDownloadFolder()),
      folder_(DownloadFolder::open(folderPath_)),
      expectedSize_(expectedSize),
      written_(kMostWrittenPieces) {
  if (long limit = ::fpathconf(directory(), _PC_NAME_MAX); limit > 0) {
    nameMax_ = std::min<std::size_t>(nameMax_, static_cast<std::size_t>(limit));
  }
  candidate_ = splitSafeName(filename, nameMax_);
  finalName_ = uniqueFilename();
  createTemporaryFile();
}

FileWriter::~FileWriter() { cleanup(); }

int FileWriter::directory() const { return folder_->descriptor(); }

// A rename that never replaces an existing file: renameat2 where the file
// system supports it, else a hard link, else (FAT, exFAT through FUSE) a
// rename over a file created under the name for the purpose, which only one
// writer can create, whatever case the drive ignores.
FileWriter::MoveResult FileWriter::renameWithoutReplacing(int directory, const std::string& from,
                                                          const std::string& to) {
  if (::renameat2(directory, from.c_str(), directory, to.c_str(), RENAME_NOREPLACE) == 0) {
    return {MoveOutcome::moved, 0};
  }
  if (!isUnsupportedRename(errno)) return {errno == EEXIST ? MoveOutcome::nameTaken : MoveOutcome::failed, errno};
  if (::linkat(directory, from.c_str(), directory, to.c_str(), 0) == 0) {
    ::unlinkat(directory, from.c_str(), 0);
    return {MoveOutcome::moved, 0};
  }
  if (!isUnsupportedLink(errno)) return {errno == EEXIST ? MoveOutcome::nameTaken : MoveOutcome::failed, errno};
  return renameOverReservation(directory, from, to);
}

// The reservation is ours alone: when the rename fails, it goes again. A
// receiver stopped in between (a drive that hangs can still make the
// reservation after the receiver ended) would leave it as an empty file under
// the received name: a note written before names it, the reservation's time
// added once it exists, and the next start deletes it when its time is still
// that one. An empty file needs none: its reservation is what it would be.
FileWriter::MoveResult FileWriter::renameOverReservation(int directory, const std::string& from,
                                                         const std::string& to) {
  const auto note = withSuffix(from, kTemporarySuffix, kReservationNoteSuffix);
  struct stat status;
  const bool empty = ::fstatat(directory, from.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && status.st_size == 0;
  const int noteDescriptor = empty ? -1 : openReservationNote(directory, note, to);
  MoveResult result{MoveOutcome::moved, 0};
  int reservation = ::openat(directory, to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (reservation < 0) {
    result = {errno == EEXIST ? MoveOutcome::nameTaken : MoveOutcome::failed, errno};
  } else {
    if (noteDescriptor >= 0) recordReservationTime(noteDescriptor, reservation);
    ::close(reservation);
    if (::renameat(directory, from.c_str(), directory, to.c_str()) != 0) {
      result = {MoveOutcome::failed, errno};
      ::unlinkat(directory, to.c_str(), 0);
    }
  }
  // Closed first: a FUSE drive keeps an open file it deletes under a hidden name.
  if (noteDescriptor >= 0) {
    ::close(noteDescriptor);
    ::unlinkat(directory, note.c_str(), 0);
  }
  return result;
}

// The file stays locked while this writer lives: another instance starting
// meanwhile must not take it for one left by a killed process.
void FileWriter::createTemporaryFile() {
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    temporaryName_ = std::string(kTemporaryPrefix) + Uuid::random().uuidString() + std::string(kTemporarySuffix);
    int descriptor = ::openat(directory(), temporaryName_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (descriptor < 0) {
      temporaryName_.clear();
      throwSystemError("cannot create temporary file in " + folderPath_.string());
    }
    if (lockNewFile(descriptor)) {
      fileDescriptor_ = descriptor;
      return;
    }
    ::close(descriptor);
  }
  temporaryName_.clear();
  throw std::system_error(EBUSY, std::system_category(), "cannot keep a temporary file in " + folderPath_.string());
}

bool FileWriter::nameExists(const std::string& name) const {
  struct stat status;
  // Anything but "no such entry" counts as taken, dangling links included;
  // a name the file system refuses is no one's, and the move then tells.
  return ::fstatat(directory(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 ||
         (errno != ENOENT && !isRefusedName(errno));
}

std::string FileWriter::uniqueFilename() const {
  const auto& [base, extension] = candidate_;
  if (!nameExists(base + extension)) return base + extension;
  for (int n = 1; n <= kUniqueAttempts; ++n) {
    auto name = base + " (" + std::to_string(n) + ")" + extension;
    if (!nameExists(name)) return name;
  }
  return base + "_" + Uuid::random().uuidString().substr(0, 8) + extension;
}

void FileWriter::write(ByteView data, std::int64_t offset) {
  if (fileDescriptor_ < 0) throw FileWriterError::notOpen;
  auto size = static_cast<std::int64_t>(data.size());
  if (offset < 0 || size > std::numeric_limits<std::int64_t>::max() - offset) throw FileWriterError::writeFailed;
  if (offset + size > expectedSize_) throw FileWriterError::writeFailed;  // larger than the user was shown
  if (!written_.add(offset, offset + size)) throw FileWriterError::writeFailed;
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t written = ::pwrite(fileDescriptor_, data.data() + done, data.size() - done,
                               static_cast<off_t>(offset + static_cast<std::int64_t>(done)));
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) throwSystemError("cannot write " + temporaryName_);
    if (written == 0) throw std::system_error(EIO, std::system_category(), "no progress writing " + temporaryName_);
    done += static_cast<std::size_t>(written);
  }
}

// Another transfer may have taken the chosen name since; then the next free
// name is taken instead, so that no received file is lost.
FileWriter::MoveResult FileWriter::moveUnderFreeName() {
  for (int attempt = 0; attempt < kMoveAttempts; ++attempt) {
    auto result = renameWithoutReplacing(directory(), temporaryName_, finalName_);
    if (result.outcome != MoveOutcome::nameTaken) return result;
    finalName_ = uniqueFilename();
  }
  return {MoveOutcome::failed, EEXIST};
}

// A drive formatted FAT, exFAT or NTFS for Windows, such as a USB stick,
// refuses names that ext4 takes, and some say so only with ENOENT: the file
// is then saved under a name it takes rather than lost. A folder moved away
// takes the transfer with it.
void FileWriter::moveIntoPlace() {
  if (!folder_->isInPlace()) {
    throw std::system_error(ENOENT, std::system_category(), "the download folder " + folderPath_.string() + " moved");
  }
  const auto received = candidate_.base + candidate_.extension;
  auto result = moveUnderFreeName();
  for (const auto& fallback : {portableFilename(received, nameMax_), plainFilename(received)}) {
    if (result.outcome == MoveOutcome::moved || !mayTryAnotherName()) break;
    auto next = splitSafeName(fallback, nameMax_);
    if (next == candidate_) continue;
    candidate_ = std::move(next);
    finalName_ = uniqueFilename();
    result = moveUnderFreeName();
  }
  if (result.outcome != MoveOutcome::moved) {
    throw std::system_error(result.error, std::system_category(), "cannot move file to " + finalPath().string());
  }
}

// Only while the file and its folder are where they were is the name to
// blame: a drive that is gone fails every name.
bool FileWriter::mayTryAnotherName() const {
  struct stat status;
  return folder_->isInPlace() &&
         ::fstatat(directory(), temporaryName_.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode);
}

// Network and FUSE file systems may report a failed write only when a
// descriptor of the file is closed: closing a duplicate brings such an error
// out while the file still has its temporary name, and the lock, held by the
// file's own descriptor, stays. Without a descriptor to spare, syncing the
// data reports the same errors.
void FileWriter::flushWrites() {
  int duplicate = ::fcntl(fileDescriptor_, F_DUPFD_CLOEXEC, 0);
  if (duplicate >= 0) {
    if (::close(duplicate) != 0 && errno != EINTR) throwSystemError("cannot write " + temporaryName_);
    return;
  }
  if (::fdatasync(fileDescriptor_) != 0 && errno != EINVAL && errno != EROFS) {
    throwSystemError("cannot write " + temporaryName_);
  }
}

// The file is moved while it is still open and locked, so that no sweep can
// take it on the way; closing it then releases the last descriptor, with
// nothing written since the flush.
void FileWriter::finalize() {
  if (fileDescriptor_ < 0) throw FileWriterError::notOpen;
  if (!reachedExpectedSize()) throw FileWriterError::writeFailed;  // never a byte that did not come
  flushWrites();
  moveIntoPlace();
  temporaryName_.clear();
  folder_.reset();
  if (::close(std::exchange(fileDescriptor_, -1)) != 0 && errno != EINTR) {
    Log::write("[FileWriter] Closing " + finalPath().string() + " after its move failed: " + std::strerror(errno));
  }
  std::cout << "File saved to: " << finalPath().string() << std::endl;
}

// Through the folder's descriptor: the file goes wherever the folder went.
// A FUSE drive deletes an open file by renaming it to a hidden name, which
// needs a free entry in the folder: in a full one that fails, and the file
// goes once closed. Failing that too, the next start deletes it.
void FileWriter::cleanup() noexcept {
  bool deleted = temporaryName_.empty() || ::unlinkat(directory(), temporaryName_.c_str(), 0) == 0 || errno == ENOENT;
  if (fileDescriptor_ >= 0) ::close(std::exchange(fileDescriptor_, -1));
  if (!deleted && ::unlinkat(directory(), temporaryName_.c_str(), 0) != 0 && errno != ENOENT) {
    Log::write("[FileWriter] Could not delete " + (folderPath_ / temporaryName_).string() + ": " +
               std::strerror(errno));
  }
  temporaryName_.clear();
  folder_.reset();
}

// Files of writers that no process holds any more: those of a process that
// was killed, or of a machine that lost power, mid-transfer. Only a folder
// that writers would take is swept: a private temporary folder refused as
// planted is no place of ours.
void FileWriter::deleteAbandonedTemporaryFiles() {
  std::filesystem::path folder;
  try {
    folder = Settings::preparedDownloadFolder();
  } catch (const std::system_error& error) {
    Log::write(std::string("[FileWriter] Not looking for unfinished files of an earlier run: ") + error.what());
    return;
  }
  deleteAbandonedTemporaryFiles(folder);
}

// Opened for writing, without following a link or waiting on a FIFO: on NFS
// a lock needs a descriptor that may write. A file some writer holds stays.
void FileWriter::deleteAbandonedTemporaryFiles(const std::filesystem::path& folder) {
  int directory = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0) return;
  DIR* listing = ::fdopendir(directory);
  if (!listing) {
    ::close(directory);
    return;
  }
  while (const dirent* entry = ::readdir(listing)) {
    const char* name = entry->d_name;
    if (isTemporaryName(name, kReservationNoteSuffix)) {
      deleteAbandonedReservation(directory, folder, name);
      continue;
    }
    struct stat status;
    if (!isTemporaryName(name) || ::fstatat(directory, name, &status, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(status.st_mode)) {
      continue;
    }
    int descriptor = ::openat(directory, name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) continue;
    bool abandoned =
        ::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) && ::flock(descriptor, LOCK_EX | LOCK_NB) == 0;
    bool deleted = abandoned && ::unlinkat(directory, name, 0) == 0;
    ::close(descriptor);
    deleted = deleted || (abandoned && ::unlinkat(directory, name, 0) == 0);  // as cleanup() does on a full FUSE folder
    if (deleted) Log::write("[FileWriter] Deleted the unfinished file of an earlier run: " + (folder / name).string());
  }
  ::closedir(listing);
}

// A note whose temporary file no writer holds: its reservation, left empty
// under the received name with the time the note gives, goes. A received
// file that replaced it stays, and so does an empty file the note cannot
// tell for it: one made after a receiver stopped before its reservation, or
// one that took the name first.
void FileWriter::deleteAbandonedReservation(int directory, const std::filesystem::path& folder, const char* note) {
  if (isHeld(directory, withSuffix(note, kReservationNoteSuffix, kTemporarySuffix))) return;
  if (auto found = reservationNoteIn(directory, note)) {
    const auto path = (folder / found->reserved).string();
    struct stat status;
    if (::fstatat(directory, found->reserved.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode) &&
        status.st_size == 0) {
      if (!found->made || !isRecordedTime(status.st_mtim, *found->made)) {
        Log::write("[FileWriter] Kept the empty file " + path +
                   ", which an earlier run was to reserve: it may be someone else's");
      } else if (::unlinkat(directory, found->reserved.c_str(), 0) == 0) {
        Log::write("[FileWriter] Deleted the empty reservation of an earlier run: " + path);
      }
    }
  }
  ::unlinkat(directory, note, 0);
}

}  // namespace orvel
