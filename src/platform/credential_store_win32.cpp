// Generic credentials in the Windows Credential Manager, one per (server, user), named
// "Larkpost:SERVER:USER"; the password is kept as UTF-8 bytes, readable by this user only.
#include <windows.h>
#include <wincred.h>

#include <vector>

#include "platform/credential_store.h"
#include "platform/platform.h"
#include "platform/win32_errors.h"
#include "platform/win32_text.h"

namespace larkpost::platform {
namespace {

constexpr std::size_t kLongestSecretLine = 4096;

std::wstring targetName(const std::string& server, const std::string& user) {
  return utf8ToUtf16("Larkpost:" + server + ":" + user);
}

// A console line with echo off; the console gives UTF-16, stored as UTF-8.
std::optional<std::string> consoleLine(HANDLE input) {
  DWORD mode = 0;
  GetConsoleMode(input, &mode);
  SetConsoleMode(input, (mode | ENABLE_LINE_INPUT) & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  std::wstring line;
  wchar_t c = 0;
  DWORD got = 0;
  bool ended = false;
  while (ReadConsoleW(input, &c, 1, &got, nullptr) && got == 1) {
    if (c == L'\n') {
      ended = true;
      break;
    }
    if (c != L'\r' && line.size() < kLongestSecretLine) line += c;
  }
  SetConsoleMode(input, mode);
  std::string text = utf16ToUtf8(line);
  wipeMemory(line.data(), line.size() * sizeof(wchar_t));
  if (!ended && text.empty()) return std::nullopt;
  return text;
}

}  // namespace

bool hasCredentialStore() { return true; }

std::optional<std::string> readStoredPassword(const std::string& server, const std::string& user,
                                              std::string& error) {
  PCREDENTIALW credential = nullptr;
  if (!CredReadW(targetName(server, user).c_str(), CRED_TYPE_GENERIC, 0, &credential)) {
    DWORD code = GetLastError();
    error = code == ERROR_NOT_FOUND ? "none is stored (run larkpost --store-password)"
                                    : systemErrorText(code);
    return std::nullopt;
  }
  std::string password(reinterpret_cast<const char*>(credential->CredentialBlob),
                       credential->CredentialBlobSize);
  wipeMemory(credential->CredentialBlob, credential->CredentialBlobSize);
  CredFree(credential);
  return password;
}

bool storePassword(const std::string& server, const std::string& user, std::string_view password,
                   std::string& error) {
  std::wstring target = targetName(server, user);
  std::wstring userName = utf8ToUtf16(user);
  std::vector<BYTE> blob(password.begin(), password.end());
  CREDENTIALW credential{};
  credential.Type = CRED_TYPE_GENERIC;
  credential.TargetName = target.data();
  credential.CredentialBlobSize = static_cast<DWORD>(blob.size());
  credential.CredentialBlob = blob.data();
  credential.Persist = CRED_PERSIST_LOCAL_MACHINE;
  credential.UserName = userName.data();
  bool stored = CredWriteW(&credential, 0) != 0;
  if (!stored) error = systemErrorText(GetLastError());
  wipeMemory(blob.data(), blob.size());
  return stored;
}

std::optional<std::string> readSecretLine(const std::string& prompt) {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(input, &mode)) {
    HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    DWORD written = 0;
    WriteFile(console, prompt.data(), static_cast<DWORD>(prompt.size()), &written, nullptr);
    std::optional<std::string> line = consoleLine(input);
    WriteFile(console, "\r\n", 2, &written, nullptr);
    return line;
  }
  // Not a console: a pipe or file from a setup script, read as it is.
  std::string line;
  char c = 0;
  DWORD got = 0;
  bool any = false;
  while (ReadFile(input, &c, 1, &got, nullptr) && got == 1) {
    any = true;
    if (c == '\n') break;
    if (c != '\r' && line.size() < kLongestSecretLine) line += c;
  }
  if (!any) return std::nullopt;
  return line;
}

}  // namespace larkpost::platform
