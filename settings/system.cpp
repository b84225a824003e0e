// Environment values, system error texts and file descriptors.
#include "settings/system.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace settings {

std::string EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::string SystemErrorText(int error) {
  return std::strerror(error);
}

unsigned long ProcessId() {
  return static_cast<unsigned long>(::getpid());
}

std::string HostName() {
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0) {
    return "";
  }
  return host;
}

int WriteFully(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return errno;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return 0;
}

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

int FileDescriptor::Close() {
  const int result = ::close(fd_);
  fd_ = -1;
  return result;
}

}  // namespace settings
