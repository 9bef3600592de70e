// Loaded with LD_PRELOAD by FileWriterFailure.test.sh: makes folders of the
// test's own act as file systems that the test machine does not have.
//   ORVEL_TEST_FAT_FOLDER: below it, names are taken as a vfat drive takes
//     them: the characters : ? * " < > | \ refused with EINVAL, more than
//     255 UTF-16 units with ENAMETOOLONG, and no hard links (EPERM).
//   ORVEL_TEST_CLOSE_FAILS_FOLDER: closing a descriptor of a file below it
//     reports EIO, as NFS does for a write the server failed.
//   ORVEL_TEST_LOCKS_NEED_WRITE: flock needs a descriptor open for writing,
//     as on NFS.
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
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

// The errno with which vfat refuses the last component of `path`, or 0.
int fatRefusal(const char* path) {
  if (!isBelow("ORVEL_TEST_FAT_FOLDER", path)) return 0;
  std::string_view name(path);
  name.remove_prefix(name.rfind('/') + 1);
  if (name.find_first_of(R"(:?*"<>|\)") != std::string_view::npos) return EINVAL;
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

}  // namespace

extern "C" {

int renameat2(int oldDirectory, const char* oldPath, int newDirectory, const char* newPath,
              unsigned int flags) noexcept {
  if (int refusal = fatRefusal(newPath)) return fail(refusal);
  using Function = int (*)(int, const char*, int, const char*, unsigned int);
  return next<Function>("renameat2")(oldDirectory, oldPath, newDirectory, newPath, flags);
}

int rename(const char* oldPath, const char* newPath) noexcept {
  if (int refusal = fatRefusal(newPath)) return fail(refusal);
  return next<int (*)(const char*, const char*)>("rename")(oldPath, newPath);
}

int link(const char* oldPath, const char* newPath) noexcept {
  if (isBelow("ORVEL_TEST_FAT_FOLDER", newPath)) return fail(EPERM);
  return next<int (*)(const char*, const char*)>("link")(oldPath, newPath);
}

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
