// What durable writing is on every platform.
#include "settings/durable_file.h"

#include <utility>

#include "settings/system.h"

namespace settings {

DurableWriteError::DurableWriteError(const char* step, int error, const std::string& text,
                                     std::string path)
    : std::runtime_error(text.empty() ? SystemErrorText(error) : text),
      step_(step),
      error_(error),
      path_(std::move(path)) {}

void WriteFileReplacing(const std::string& path, std::string_view bytes, unsigned int mode) {
  DurableFile file(path + ".", mode);
  file.Write(bytes);
  file.Replace(path);
}

}  // namespace settings
