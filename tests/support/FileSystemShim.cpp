// Loaded with LD_PRELOAD by FileWriterFailure.test.sh: makes folders of the
// test's own act as file systems that the test machine does not have.
//   ORVEL_TEST_FAT_FOLDER: below it, names are taken as a vfat drive, or NTFS
//     mounted for Windows, takes them: the characters : ? * " < > | \, a
//     trailing space or dot and Windows' device names (CON, aux.txt, ...)
//     refused with EINVAL, more than 255 UTF-16 units with ENAMETOOLONG, and
//     no hard links (EPERM).
//   ORVEL_TEST_EXFAT_FOLDER: the same names refused as exFAT through FUSE
//     refuses them, with ENOENT; renameat2 with flags fails with EINVAL and
//     hard links with EPERM whatever the name.
//   ORVEL_TEST_REFUSED_NAMES: names, separated by "/", that both refuse too.
//   ORVEL_TEST_CLOSE_FAILS_FOLDER: closing a descriptor of a file below it
//     reports EIO, as NFS does for a write the server failed.
//   ORVEL_TEST_LOCKS_NEED_WRITE: flock needs a descriptor open for writing,
//     as on NFS.
//   ORVEL_TEST_FULL_FUSE_FOLDER: a file below it that this process holds open
//     cannot be deleted (ENOSPC), as on a FUSE drive whose folder is full.
//   ORVEL_TEST_STOP_AT_RENAME: renameat ends the process at once, with
//     status 0, as a receiver stopped in the middle of a move.
//   ORVEL_TEST_STOP_AT_RESERVATION: creating a file that is not hidden with
//     O_EXCL ends the process the same way, before the file exists.
//   ORVEL_TEST_PAUSE_AT_RENAME: a FIFO; renameat first creates a file named
//     as it with ".reached" added, then waits for a line from it.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

template <typename Function>
Function next(const char* name) {
  return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

bool isBelow(const char* variable, std::string_view path) {
  const char* folder = std::getenv(variable);
  if (!folder || !*folder) return false;
  std::string prefix = std::string(folder) + "/";
  return path.substr(0, prefix.size()) == prefix;
}

// The path that `path` names relative to the folder open as `directory`.
std::string pathAt(int directory, const char* path) {
  if (path[0] == '/' || directory == AT_FDCWD) return path;
  char folder[4096] = {};
  std::string link = "/proc/self/fd/" + std::to_string(directory);
  ssize_t length = ::readlink(link.c_str(), folder, sizeof folder - 1);
  return length > 0 ? std::string(folder) + "/" + path : path;
}

bool isDeviceName(std::string_view name) {
  std::string stem(name.substr(0, name.find('.')));
  for (auto& c : stem) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL") return true;
  return stem.size() == 4 && (stem.starts_with("COM") || stem.starts_with("LPT")) && stem[3] >= '1' && stem[3] <= '9';
}

bool isListedAsRefused(std::string_view name) {
  const char* listed = std::getenv("ORVEL_TEST_REFUSED_NAMES");
  if (!listed) return false;
  std::string_view names(listed);
  while (!names.empty()) {
    auto end = names.find('/');
    if (names.substr(0, end) == name) return true;
    names.remove_prefix(end == std::string_view::npos ? names.size() : end + 1);
  }
  return false;
}

bool isExfat(std::string_view path) { return isBelow("ORVEL_TEST_EXFAT_FOLDER", path); }

// The errno with which the drive refuses the last component of `path`, or 0.
int refusal(std::string_view path) {
  bool exfat = isExfat(path);
  if (!exfat && !isBelow("ORVEL_TEST_FAT_FOLDER", path)) return 0;
  std::string_view name(path);
  name.remove_prefix(name.rfind('/') + 1);
  if (name.find_first_of(R"(:?*"<>|\)") != std::string_view::npos || name.ends_with(' ') || name.ends_with('.') ||
      isDeviceName(name) || isListedAsRefused(name)) {
    return exfat ? ENOENT : EINVAL;
  }
  std::size_t units = 0;
  for (unsigned char byte : name) {
    if ((byte & 0xC0) != 0x80) ++units;  // a character starts
    if (byte >= 0xF0) ++units;           // beyond the BMP: a surrogate pair
  }
  return units > 255 ? ENAMETOOLONG : 0;
}

int fail(int error) {
  errno = error;
  return -1;
}

bool isOpenHere(const std::string& path) {
  DIR* descriptors = ::opendir("/proc/self/fd");
  if (!descriptors) return false;
  bool open = false;
  while (const dirent* entry = ::readdir(descriptors)) {
    char target[4096] = {};
    std::string link = std::string("/proc/self/fd/") + entry->d_name;
    ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
    open = open || (length > 0 && path == target);
  }
  ::closedir(descriptors);
  return open;
}

// Tells the test that the move is reached, and waits until it says go on.
void pauseAtRename(const char* fifo) {
  std::string reached = std::string(fifo) + ".reached";
  using Open = int (*)(int, const char*, int, ...);
  int marker = next<Open>("openat")(AT_FDCWD, reached.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (marker >= 0) ::close(marker);
  int input = next<Open>("openat")(AT_FDCWD, fifo, O_RDONLY | O_CLOEXEC);
  if (input < 0) return;
  char line = 0;
  while (::read(input, &line, 1) == 1 && line != '\n') {
  }
  ::close(input);
}

}  // namespace

extern "C" {

int renameat2(int oldDirectory, const char* oldPath, int newDirectory, const char* newPath,
              unsigned int flags) noexcept {
  auto target = pathAt(newDirectory, newPath);
  if (flags != 0 && isExfat(target)) return fail(EINVAL);
  if (int error = refusal(target)) return fail(error);
  using Function = int (*)(int, const char*, int, const char*, unsigned int);
  return next<Function>("renameat2")(oldDirectory, oldPath, newDirectory, newPath, flags);
}

int renameat(int oldDirectory, const char* oldPath, int newDirectory, const char* newPath) noexcept {
  if (std::getenv("ORVEL_TEST_STOP_AT_RENAME")) ::_exit(0);
  if (const char* fifo = std::getenv("ORVEL_TEST_PAUSE_AT_RENAME")) pauseAtRename(fifo);
  if (int error = refusal(pathAt(newDirectory, newPath))) return fail(error);
  return next<int (*)(int, const char*, int, const char*)>("renameat")(oldDirectory, oldPath, newDirectory, newPath);
}

int rename(const char* oldPath, const char* newPath) noexcept {
  if (int error = refusal(newPath)) return fail(error);
  return next<int (*)(const char*, const char*)>("rename")(oldPath, newPath);
}

int linkat(int oldDirectory, const char* oldPath, int newDirectory, const char* newPath, int flags) noexcept {
  auto target = pathAt(newDirectory, newPath);
  if (isBelow("ORVEL_TEST_FAT_FOLDER", target) || isExfat(target)) return fail(EPERM);
  return next<int (*)(int, const char*, int, const char*, int)>("linkat")(oldDirectory, oldPath, newDirectory,
                                                                        newPath, flags);
}

int unlinkat(int directory, const char* path, int flags) noexcept {
  auto target = pathAt(directory, path);
  if (isBelow("ORVEL_TEST_FULL_FUSE_FOLDER", target) && isOpenHere(target)) return fail(ENOSPC);
  return next<int (*)(int, const char*, int)>("unlinkat")(directory, path, flags);
}

int link(const char* oldPath, const char* newPath) noexcept { return linkat(AT_FDCWD, oldPath, AT_FDCWD, newPath, 0); }

int openat(int directory, const char* path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    va_list arguments;
    va_start(arguments, flags);
    mode = static_cast<mode_t>(va_arg(arguments, unsigned int));
    va_end(arguments);
  }
  if ((flags & O_CREAT) != 0) {
    if (int error = refusal(pathAt(directory, path))) return fail(error);
  }
  std::string_view name(path);
  name.remove_prefix(name.rfind('/') + 1);
  if ((flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL) && !name.starts_with('.') &&
      std::getenv("ORVEL_TEST_STOP_AT_RESERVATION")) {
    ::_exit(0);
  }
  return next<int (*)(int, const char*, int, ...)>("openat")(directory, path, flags, mode);
}

int openat64(int directory, const char* path, int flags, ...) __attribute__((alias("openat")));

int close(int descriptor) {
  char path[4096] = {};
  bool failing = false;
  if (std::getenv("ORVEL_TEST_CLOSE_FAILS_FOLDER")) {
    std::string link = "/proc/self/fd/" + std::to_string(descriptor);
    ssize_t length = ::readlink(link.c_str(), path, sizeof path - 1);
    failing = length > 0 && isBelow("ORVEL_TEST_CLOSE_FAILS_FOLDER", path);
  }
  int result = next<int (*)(int)>("close")(descriptor);
  return failing && result == 0 ? fail(EIO) : result;
}

int flock(int descriptor, int operation) noexcept {
  if (std::getenv("ORVEL_TEST_LOCKS_NEED_WRITE") && (operation & LOCK_EX) != 0) {
    int flags = ::fcntl(descriptor, F_GETFL);
    if (flags >= 0 && (flags & O_ACCMODE) == O_RDONLY) return fail(EBADF);
  }
  return next<int (*)(int, int)>("flock")(descriptor, operation);
}

}  // extern "C"
