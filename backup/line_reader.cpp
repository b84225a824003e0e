// The backup reader's lines.
#include "backup/line_reader.h"

namespace backup {

LineReader::LineReader(std::string_view text) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) {
      cut_line_ = true;
      lines_.push_back(text.substr(start));
      break;
    }
    lines_.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

// The current line, checked to be whole.
std::string_view LineReader::Peek() const {
  if (AtEnd()) {
    throw BackupFormatError("the file ends after line " + std::to_string(lines_.size()) +
                            ": it was cut off");
  }
  if (cut_line_ && index_ + 1 == lines_.size()) {
    throw BackupFormatError("line " + std::to_string(index_ + 1) +
                            " is cut off (the file ends inside it)");
  }
  return lines_[index_];
}

std::string_view LineReader::Take() {
  std::string_view line = Peek();
  ++index_;
  return line;
}

// Takes the line, which must be exactly `expected`.
void LineReader::Expect(std::string_view expected, const char* what) {
  if (AtEnd()) {
    throw BackupFormatError(std::string("the file ends before ") + what + ": it was cut off");
  }
  std::string_view line = Peek();
  if (line != expected) {
    throw Error(std::string("expected ") + what);
  }
  ++index_;
}

// Takes a line "<prefix><value>" and returns the value.
std::string LineReader::Field(std::string_view prefix) {
  std::string_view line = Peek();
  if (line.substr(0, prefix.size()) != prefix) {
    throw Error("expected \"" + std::string(prefix) + "...\"");
  }
  ++index_;
  return std::string(line.substr(prefix.size()));
}

// An error about the current line.
BackupFormatError LineReader::Error(const std::string& what) const {
  return BackupFormatError("line " + std::to_string(index_ + 1) + ": " + what);
}

}  // namespace backup
