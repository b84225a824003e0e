// Writing a file so that a crash leaves the old contents or the new ones, never half of
// either: a temporary file beside the target, flushed, moved into place, the move itself
// written through. And the private folders such files go in. One implementation per platform
// (durable_file_posix.cpp, durable_file_windows.cpp).
#pragma once

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace settings {

// A durable write that failed. what() is the system's error text; callers name the file.
class DurableWriteError : public std::runtime_error {
 public:
  // `error` is an errno value (the Windows implementation maps its errors to the nearest);
  // `text` the system's words for it, "" for SystemErrorText(error). `path`: the file or
  // folder concerned when it is not the one the caller named.
  DurableWriteError(const char* step, int error, const std::string& text = "",
                    std::string path = "");

  // What could not be done: "create", "set the mode of", "write", "flush", "close",
  // "replace" or "flush the folder of".
  const char* step() const { return step_; }

  int error() const { return error_; }

  const std::string& path() const { return path_; }

 private:
  const char* step_;
  int error_;
  std::string path_;
};

// A file being written under a temporary name, removed again unless it is placed. Its
// permissions are `mode` on POSIX systems (exactly, whatever the umask); on Windows the file
// is readable and writable by the current user alone, whatever `mode` says (a protected
// access list naming the user).
class DurableFile {
 public:
  // Creates "<temp_prefix>XXXXXX", the X's made unique.
  DurableFile(const std::string& temp_prefix, unsigned int mode);
  ~DurableFile();
  DurableFile(const DurableFile&) = delete;
  DurableFile& operator=(const DurableFile&) = delete;

  void Write(std::string_view bytes);

  // Flushes and closes the file and moves it to `path` (a file or a symbolic link of that
  // name is replaced; a link's target is left alone), the move written through to disk.
  void Replace(const std::string& path);

  // The same, but never over an existing file: the first of name(1), name(2), ...
  // name(attempts) that is free. Returns it.
  std::string PlaceNew(const std::function<std::string(int)>& name, int attempts);

 private:
  struct Open;  // the platform's handle of the open file

  void Finish();

  std::string temp_path_;
  std::unique_ptr<Open> file_;
};

// Writes `bytes` to `path` durably with `mode`, replacing what is there.
void WriteFileReplacing(const std::string& path, std::string_view bytes, unsigned int mode);

// Creates `dir` and any missing parent, each readable by the current user alone (mode 0700;
// on Windows a protected access list naming the user). Folders that exist keep theirs.
// Throws DurableWriteError whose path() is the folder that could not be made.
void MakePrivateFolders(const std::string& dir);

// Writes through to disk what was written to the file at `path`. Throws DurableWriteError.
void FlushToDisk(const std::string& path);

}  // namespace settings
