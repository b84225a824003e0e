// Test support on Windows: access lists and the environment.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdlib>
#include <string>

#include "tests/test_support_files.h"

namespace testing_support {

namespace {

// The current user's SID as text ("S-1-5-21-...").
std::wstring CurrentUser() {
  HANDLE token = nullptr;
  ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token);
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::string buffer(size, '\0');
  ::GetTokenInformation(token, TokenUser, buffer.data(), size, &size);
  ::CloseHandle(token);
  wchar_t* text = nullptr;
  ::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text);
  std::wstring sid = text != nullptr ? text : L"";
  ::LocalFree(text);
  return sid;
}

}  // namespace

std::string AccessProblem(const std::filesystem::path& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetNamedSecurityInfoW(path.wstring().c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return "cannot be read";
  }
  wchar_t* text = nullptr;
  ::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                         DACL_SECURITY_INFORMATION, &text, nullptr);
  const std::wstring dacl = text != nullptr ? text : L"";
  ::LocalFree(text);
  ::LocalFree(descriptor);
  // Protected ("P": nothing inherited), one entry, allowing the current user.
  const std::wstring user = L";;;" + CurrentUser() + L")";
  if (dacl.rfind(L"D:P(A;", 0) == 0 && dacl.find(L")(") == std::wstring::npos &&
      dacl.size() > user.size() &&
      dacl.compare(dacl.size() - user.size(), user.size(), user) == 0) {
    return "";
  }
  return "access list " + std::string(dacl.begin(), dacl.end()) + ", user " +
         std::string(user.begin() + 3, user.end() - 1);
}

bool KeepsAccessLists() {
  // Wine's own entry point in its ntdll tells it apart from Windows.
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll == nullptr || ::GetProcAddress(ntdll, "wine_get_version") == nullptr;
}

void SetEnvironment(const std::string& name, const std::string& value) {
  ::_putenv_s(name.c_str(), value.c_str());
}

}  // namespace testing_support
