// Writing a file so that a crash leaves the old contents or the new ones, never half of
// either: a temporary file beside the target, flushed, renamed into place, the folder flushed.
#pragma once

#include <sys/types.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace settings {

// A durable write that failed. what() is the system's error text; callers name the file.
class DurableWriteError : public std::runtime_error {
 public:
  DurableWriteError(const char* step, int error);

  // What could not be done: "create", "set the mode of", "write", "flush", "close",
  // "replace" or "flush the folder of".
  const char* step() const { return step_; }

  int error() const { return error_; }

 private:
  const char* step_;
  int error_;
};

// A file being written under a temporary name, removed again unless it is placed.
class DurableFile {
 public:
  // Creates "<temp_prefix>XXXXXX" (mkstemp) with exactly `mode`, whatever the umask.
  DurableFile(const std::string& temp_prefix, mode_t mode);
  ~DurableFile();
  DurableFile(const DurableFile&) = delete;
  DurableFile& operator=(const DurableFile&) = delete;

  int fd() const { return fd_; }

  void Write(std::string_view bytes);

  // Flushes and closes the file, renames it to `path` (a file or a symbolic link of that
  // name is replaced; a link's target is left alone) and flushes the folder.
  void Replace(const std::string& path);

  // The same, but never over an existing file: the first of name(1), name(2), ...
  // name(attempts) that is free. Returns it.
  std::string PlaceNew(const std::function<std::string(int)>& name, int attempts);

 private:
  void Finish();

  std::string temp_path_;
  int fd_ = -1;
};

// Writes `bytes` to `path` durably with `mode`, replacing what is there.
void WriteFileReplacing(const std::string& path, std::string_view bytes, mode_t mode);

}  // namespace settings
