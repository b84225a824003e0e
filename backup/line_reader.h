// Reading a backup file line by line, with errors that name the line.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "backup/backup_file.h"

namespace backup {

// The file's lines, each without its line feed. A last line without one is reported as cut.
class LineReader {
 public:
  explicit LineReader(std::string_view text);

  bool AtEnd() const { return index_ >= lines_.size(); }

  // The current line's number, from 1.
  std::size_t line() const { return index_ + 1; }

  // The current line, checked to be whole. Throws BackupFormatError at the end or on a cut line.
  std::string_view Peek() const;
  std::string_view Take();

  // Takes the line, which must be exactly `expected`.
  void Expect(std::string_view expected, const char* what);

  // Takes a line "<prefix><value>" and returns the value.
  std::string Field(std::string_view prefix);

  // An error about the current line.
  BackupFormatError Error(const std::string& what) const;

 private:
  std::vector<std::string_view> lines_;
  std::size_t index_ = 0;
  bool cut_line_ = false;
};

}  // namespace backup
