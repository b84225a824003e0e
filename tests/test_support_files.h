// Test support on every platform: files, temporary folders, the tests' backup folder, and
// whether a file is the current user's alone.
#pragma once

#include <filesystem>
#include <string>

namespace testing_support {

// The whole content of the file at `path`, byte for byte; "" when it cannot be read.
std::string ReadFile(const std::filesystem::path& path);

// Replaces the file at `path` with `text`, byte for byte.
void WriteFile(const std::filesystem::path& path, const std::string& text);

// A new empty folder under the system's temporary folder, named `prefix` and a unique
// suffix. The caller removes it. Throws std::runtime_error when it cannot be made.
std::filesystem::path MakeTempDir(const std::string& prefix);

// "" when the file or folder at `path` is readable and writable by the current user alone
// (mode 0600, a folder 0700, on POSIX systems; a protected access list granting the current
// user alone on Windows), else what it is instead (its mode, its access list).
std::string AccessProblem(const std::filesystem::path& path);

// Whether the file system keeps what the program asks of a file's access. False under Wine,
// which keeps no access lists (it shows every file with the same default list), so there the
// program's request can only be trusted, not read back.
bool KeepsAccessLists();

// Sets environment variable `name` to `value` for the process ("" removes it).
void SetEnvironment(const std::string& name, const std::string& value);

// While it lives, KELVANE_BACKUP_DIR names a fresh temporary folder (unless it is set
// already), so the backups every run makes stay out of the user's state folder; the folder
// goes with it.
class BackupFolder {
 public:
  BackupFolder();
  ~BackupFolder();
  BackupFolder(const BackupFolder&) = delete;
  BackupFolder& operator=(const BackupFolder&) = delete;

 private:
  std::filesystem::path made_;
};

}  // namespace testing_support
