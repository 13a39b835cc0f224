// UTF-8 <-> UTF-16 conversion and long file names for the Windows platform files.
#include <windows.h>

#include <climits>

#include "platform/win32_text.h"

namespace larkpost::platform {
namespace {

// The conversion calls count in int; every text Larkpost converts is far shorter.
int clampedCount(std::size_t size) { return size > INT_MAX ? INT_MAX : static_cast<int>(size); }

}  // namespace

std::wstring utf8ToUtf16(std::string_view text) {
  if (text.empty()) return {};
  int count = clampedCount(text.size());
  int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), count, nullptr, 0);
  if (length <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), count, wide.data(), length);
  return wide;
}

std::string utf16ToUtf8(std::wstring_view text) {
  if (text.empty()) return {};
  int count = clampedCount(text.size());
  int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), count, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return {};
  std::string utf8(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), count, utf8.data(), length, nullptr, nullptr);
  return utf8;
}

// The \\?\ form takes no relative parts, so it is made of the full path.
std::wstring widePath(const std::string& path) {
  static constexpr std::wstring_view kLongPrefix = L"\\\\?\\";
  static constexpr std::wstring_view kDevicePrefix = L"\\\\.\\";
  static constexpr std::wstring_view kShareprefix = L"\\\\";
  std::wstring wide = utf8ToUtf16(path);
  if (wide.empty() || wide.starts_with(kLongPrefix)) return wide;
  DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (needed < MAX_PATH) return wide;
  std::wstring full(needed, L'\0');
  DWORD length = GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return wide;
  full.resize(length);
  if (full.starts_with(kDevicePrefix)) return wide;
  if (full.starts_with(kShareprefix)) return std::wstring(kLongPrefix) + L"UNC\\" + full.substr(2);
  return std::wstring(kLongPrefix) + full;
}

}  // namespace larkpost::platform
