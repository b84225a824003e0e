// Temporary file, fsync, rename, folder fsync: durable files on POSIX systems.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <vector>

#include "settings/durable_file.h"

namespace settings {

struct DurableFile::Open {
  int fd = -1;
};

namespace {

// Writes all of `bytes`, again where a write was interrupted or took part of them.
void WriteFully(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw DurableWriteError("write", errno);
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

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

DurableFile::DurableFile(const std::string& temp_prefix, unsigned int mode)
    : file_(std::make_unique<Open>()) {
  std::vector<char> name(temp_prefix.begin(), temp_prefix.end());
  for (char c : std::string_view("XXXXXX")) {
    name.push_back(c);
  }
  name.push_back('\0');
  file_->fd = ::mkstemp(name.data());
  if (file_->fd < 0) {
    throw DurableWriteError("create", errno);
  }
  temp_path_ = name.data();
  if (::fchmod(file_->fd, static_cast<mode_t>(mode)) != 0) {
    throw DurableWriteError("set the mode of", errno);
  }
}

DurableFile::~DurableFile() {
  if (file_->fd >= 0) {
    ::close(file_->fd);
  }
  if (!temp_path_.empty()) {
    ::unlink(temp_path_.c_str());
  }
}

void DurableFile::Write(std::string_view bytes) {
  WriteFully(file_->fd, bytes);
}

void DurableFile::Finish() {
  if (::fsync(file_->fd) != 0) {
    throw DurableWriteError("flush", errno);
  }
  const int result = ::close(file_->fd);
  file_->fd = -1;
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

void MakePrivateFolders(const std::string& dir) {
  std::filesystem::path prefix;
  for (const std::filesystem::path& part : std::filesystem::path(dir)) {
    prefix /= part;
    const std::string folder = prefix.string();

    struct stat info {};

    if (::stat(folder.c_str(), &info) == 0) {
      if (!S_ISDIR(info.st_mode)) {
        throw DurableWriteError("create", ENOTDIR, "", folder);
      }
      continue;
    }
    if (errno != ENOENT) {
      throw DurableWriteError("create", errno, "", folder);
    }
    if (::mkdir(folder.c_str(), 0700) != 0) {
      if (errno == EEXIST) {
        continue;  // made meanwhile by someone else, whose mode it keeps
      }
      throw DurableWriteError("create", errno, "", folder);
    }
    // The umask may have taken bits away; the owner needs all three.
    if (::chmod(folder.c_str(), 0700) != 0) {
      throw DurableWriteError("set the mode of", errno, "", folder);
    }
  }
}

void FlushToDisk(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    throw DurableWriteError("flush", errno);
  }
  const int result = ::fsync(fd);
  const int error = errno;
  if (::close(fd) != 0 || result != 0) {
    throw DurableWriteError("flush", result != 0 ? error : errno);
  }
}

}  // namespace settings
