// Durable files on Windows: a temporary file beside the target, flushed to disk, moved into
// place with write-through; files and folders readable by the current user alone.
#include <windows.h>

#include <sddl.h>

#include <cerrno>
#include <filesystem>
#include <random>

#include "settings/durable_file.h"
#include "settings/system.h"
#include "settings/windows_text.h"

namespace settings {

struct DurableFile::Open {
  HANDLE handle = INVALID_HANDLE_VALUE;
};

namespace {

// The errno value nearest to a Windows error, for callers that branch on the kind.
int ErrnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    default:
      return EIO;
  }
}

// The system's words for a Windows error, in UTF-8, without the line end it comes with.
std::string TextOf(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string words = length != 0 ? Narrow(std::wstring_view(text, length)) : std::string();
  ::LocalFree(text);
  while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == '.')) {
    words.pop_back();
  }
  return words.empty() ? "error " + std::to_string(error) : words;
}

[[noreturn]] void Fail(const char* step, DWORD error = ::GetLastError(), std::string path = "") {
  throw DurableWriteError(step, ErrnoOf(error), TextOf(error), std::move(path));
}

// A security descriptor that lets the current user alone at the file or folder, and keeps
// inherited entries out: the counterpart of mode 0600 and 0700. `inherit`: folders pass the
// entry on to what is made in them.
class OwnerOnly {
 public:
  explicit OwnerOnly(bool inherit) {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
      Fail("create");
    }
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::string buffer(size, '\0');
    const bool got = ::GetTokenInformation(token, TokenUser, buffer.data(), size, &size) != 0;
    const DWORD error = ::GetLastError();
    ::CloseHandle(token);
    if (!got) {
      Fail("create", error);
    }
    wchar_t* sid = nullptr;
    if (!::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid)) {
      Fail("create");
    }
    const std::wstring sddl =
        std::wstring(L"D:P(A;") + (inherit ? L"OICI" : L"") + L";FA;;;" + sid + L")";
    ::LocalFree(sid);
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                &descriptor_, nullptr)) {
      Fail("create");
    }
    attributes_.nLength = sizeof attributes_;
    attributes_.lpSecurityDescriptor = descriptor_;
    attributes_.bInheritHandle = FALSE;
  }

  ~OwnerOnly() { ::LocalFree(descriptor_); }

  OwnerOnly(const OwnerOnly&) = delete;
  OwnerOnly& operator=(const OwnerOnly&) = delete;

  SECURITY_ATTRIBUTES* attributes() { return &attributes_; }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  SECURITY_ATTRIBUTES attributes_{};
};

}  // namespace

DurableFile::DurableFile(const std::string& temp_prefix, unsigned int /*mode*/)
    : file_(std::make_unique<Open>()) {
  OwnerOnly owner_only(false);
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = temp_prefix;
    for (int i = 0; i < 6; ++i) {
      name += kLetters[random() % (sizeof kLetters - 1)];
    }
    file_->handle = ::CreateFileW(Wide(name).c_str(), GENERIC_WRITE, 0, owner_only.attributes(),
                                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file_->handle != INVALID_HANDLE_VALUE) {
      temp_path_ = name;
      return;
    }
    if (::GetLastError() != ERROR_FILE_EXISTS) {
      Fail("create");
    }
  }
  Fail("create", ERROR_FILE_EXISTS);
}

DurableFile::~DurableFile() {
  if (file_->handle != INVALID_HANDLE_VALUE) {
    ::CloseHandle(file_->handle);
  }
  if (!temp_path_.empty()) {
    ::DeleteFileW(Wide(temp_path_).c_str());
  }
}

void DurableFile::Write(std::string_view bytes) {
  while (!bytes.empty()) {
    const DWORD part = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1 << 30));
    DWORD written = 0;
    if (!::WriteFile(file_->handle, bytes.data(), part, &written, nullptr)) {
      Fail("write");
    }
    bytes.remove_prefix(written);
  }
}

void DurableFile::Finish() {
  if (!::FlushFileBuffers(file_->handle)) {
    Fail("flush");
  }
  const BOOL closed = ::CloseHandle(file_->handle);
  file_->handle = INVALID_HANDLE_VALUE;
  if (!closed) {
    Fail("close");
  }
}

void DurableFile::Replace(const std::string& path) {
  Finish();
  if (!::MoveFileExW(Wide(temp_path_).c_str(), Wide(path).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    Fail("replace");
  }
  temp_path_.clear();
}

std::string DurableFile::PlaceNew(const std::function<std::string(int)>& name, int attempts) {
  Finish();
  for (int number = 1; number <= attempts; ++number) {
    std::string path = name(number);
    // Without MOVEFILE_REPLACE_EXISTING the move never takes a name that is there.
    if (::MoveFileExW(Wide(temp_path_).c_str(), Wide(path).c_str(), MOVEFILE_WRITE_THROUGH)) {
      temp_path_.clear();
      return path;
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) {
      Fail("replace", error);
    }
  }
  Fail("replace", ERROR_FILE_EXISTS);
}

void MakePrivateFolders(const std::string& dir) {
  OwnerOnly owner_only(true);
  std::filesystem::path prefix;
  for (const std::filesystem::path& part : FilePath(dir)) {
    prefix /= part;
    // "C:" and "C:\" are no folders to make.
    if (!prefix.has_relative_path()) {
      continue;
    }
    const std::wstring folder = prefix.wstring();
    if (::CreateDirectoryW(folder.c_str(), owner_only.attributes())) {
      continue;
    }
    const DWORD error = ::GetLastError();
    const DWORD attributes = ::GetFileAttributesW(folder.c_str());
    if (error == ERROR_ALREADY_EXISTS && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      continue;  // there already, or made meanwhile by someone else: its access list stays
    }
    Fail("create", error == ERROR_ALREADY_EXISTS ? ERROR_DIRECTORY : error, Utf8Path(prefix));
  }
}

void FlushToDisk(const std::string& path) {
  const HANDLE handle =
      ::CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    Fail("flush");
  }
  const BOOL flushed = ::FlushFileBuffers(handle);
  const DWORD error = ::GetLastError();
  ::CloseHandle(handle);
  if (!flushed) {
    Fail("flush", error);
  }
}

}  // namespace settings
