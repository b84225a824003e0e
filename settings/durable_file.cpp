// Temporary file, fsync, rename, folder fsync.
#include "settings/durable_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "settings/system.h"

namespace settings {

namespace {

void SyncFolderOf(const std::string& path) {
  std::string folder = std::filesystem::path(path).parent_path().string();
  if (folder.empty()) {
    folder = ".";
  }
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    throw DurableWriteError("flush the folder of", errno);
  }
  // Some file systems cannot flush a folder and say so with EINVAL; the rename is then as
  // durable as they make anything.
  const int result = ::fsync(fd);
  const int error = errno;
  ::close(fd);
  if (result != 0 && error != EINVAL) {
    throw DurableWriteError("flush the folder of", error);
  }
}

// Moves `from` to `to` unless `to` exists. Returns false when it does.
bool RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno == EEXIST) {
    return false;
  }
  if (errno != EINVAL && errno != ENOSYS) {
    throw DurableWriteError("replace", errno);
  }
  // A file system without RENAME_NOREPLACE: a hard link refuses an existing name too.
  if (::link(from.c_str(), to.c_str()) != 0) {
    if (errno == EEXIST) {
      return false;
    }
    throw DurableWriteError("replace", errno);
  }
  ::unlink(from.c_str());
  return true;
}

}  // namespace

DurableWriteError::DurableWriteError(const char* step, int error)
    : std::runtime_error(SystemErrorText(error)), step_(step), error_(error) {}

DurableFile::DurableFile(const std::string& temp_prefix, mode_t mode) {
  std::vector<char> name(temp_prefix.begin(), temp_prefix.end());
  for (char c : std::string_view("XXXXXX")) {
    name.push_back(c);
  }
  name.push_back('\0');
  fd_ = ::mkstemp(name.data());
  if (fd_ < 0) {
    throw DurableWriteError("create", errno);
  }
  temp_path_ = name.data();
  if (::fchmod(fd_, mode) != 0) {
    throw DurableWriteError("set the mode of", errno);
  }
}

DurableFile::~DurableFile() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
  if (!temp_path_.empty()) {
    ::unlink(temp_path_.c_str());
  }
}

void DurableFile::Write(std::string_view bytes) {
  if (const int error = WriteFully(fd_, bytes); error != 0) {
    throw DurableWriteError("write", error);
  }
}

void DurableFile::Finish() {
  if (::fsync(fd_) != 0) {
    throw DurableWriteError("flush", errno);
  }
  const int result = ::close(fd_);
  fd_ = -1;
  if (result != 0) {
    throw DurableWriteError("close", errno);
  }
}

void DurableFile::Replace(const std::string& path) {
  Finish();
  if (::rename(temp_path_.c_str(), path.c_str()) != 0) {
    throw DurableWriteError("replace", errno);
  }
  temp_path_.clear();
  SyncFolderOf(path);
}

std::string DurableFile::PlaceNew(const std::function<std::string(int)>& name, int attempts) {
  Finish();
  for (int number = 1; number <= attempts; ++number) {
    std::string path = name(number);
    if (RenameNoReplace(temp_path_, path)) {
      temp_path_.clear();
      try {
        SyncFolderOf(path);
      } catch (...) {
        // Not known to be on disk: a file the caller is told failed must not stay behind.
        ::unlink(path.c_str());
        throw;
      }
      return path;
    }
  }
  throw DurableWriteError("replace", EEXIST);
}

void WriteFileReplacing(const std::string& path, std::string_view bytes, mode_t mode) {
  DurableFile file(path + ".", mode);
  file.Write(bytes);
  file.Replace(path);
}

}  // namespace settings
