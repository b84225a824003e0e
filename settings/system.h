// What the operating system tells the program: environment values, the text of a system
// error, and an open file's descriptor held for as long as it is needed.
#pragma once

#include <string>
#include <string_view>

namespace settings {

// The value of environment variable `name`; "" when it is not set.
std::string EnvironmentValue(const char* name);

// The system's text for error number `error` (an errno value), e.g. "No such file or
// directory".
std::string SystemErrorText(int error);

// This process's id.
unsigned long ProcessId();

// The name of this machine; "" when it cannot be found.
std::string HostName();

// Writes all of `bytes` to `fd`, again where a write was interrupted or took part of them.
// Returns 0, or the errno of the write that failed.
int WriteFully(int fd, std::string_view bytes);

// An open file descriptor, closed when this goes. Not copyable.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}

  ~FileDescriptor();
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const { return fd_; }

  bool valid() const { return fd_ >= 0; }

  // Closes now, returning close()'s result (0 on success; -1 with errno set).
  int Close();

 private:
  int fd_;
};

}  // namespace settings
