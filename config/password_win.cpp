#include "config/password_win.h"

#include <windows.h>
#include <dpapi.h>
#include <wincrypt.h>

namespace {

constexpr DWORD kMaxBlobBytes = 1u << 20;  // far beyond any password blob

}  // namespace

std::string Base64Encode(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > kMaxBlobBytes) return {};
  const auto* data = reinterpret_cast<const BYTE*>(bytes.data());
  const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
  DWORD length = 0;
  if (!CryptBinaryToStringA(data, static_cast<DWORD>(bytes.size()), flags, nullptr, &length) ||
      length == 0) {
    return {};
  }
  std::string text(length, '\0');
  if (!CryptBinaryToStringA(data, static_cast<DWORD>(bytes.size()), flags, text.data(), &length))
    return {};
  text.resize(length < text.size() ? length : text.size());
  while (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

std::string Base64Decode(std::string_view text) {
  if (text.empty() || text.size() > kMaxBlobBytes) return {};
  DWORD length = 0;
  if (!CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64,
                            nullptr, &length, nullptr, nullptr) ||
      length == 0) {
    return {};
  }
  std::string bytes(length, '\0');
  if (!CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64,
                            reinterpret_cast<BYTE*>(bytes.data()), &length, nullptr, nullptr)) {
    return {};
  }
  bytes.resize(length < bytes.size() ? length : bytes.size());
  return bytes;
}

std::string ProtectPassword(std::string_view password) {
  if (password.empty() || password.size() > kMaxBlobBytes) return {};
  DATA_BLOB input{static_cast<DWORD>(password.size()),
                  reinterpret_cast<BYTE*>(const_cast<char*>(password.data()))};
  DATA_BLOB output{};
  if (!CryptProtectData(&input, L"Tavik", nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                        &output))
    return {};
  std::string text =
      Base64Encode(std::string_view(reinterpret_cast<const char*>(output.pbData), output.cbData));
  LocalFree(output.pbData);
  return text;
}

std::string UnprotectPassword(std::string_view stored) {
  if (stored.empty()) return {};
  std::string blob = Base64Decode(stored);
  if (blob.empty()) return {};
  DATA_BLOB input{static_cast<DWORD>(blob.size()), reinterpret_cast<BYTE*>(blob.data())};
  DATA_BLOB output{};
  if (!CryptUnprotectData(&input, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                          &output))
    return {};
  std::string password(reinterpret_cast<const char*>(output.pbData), output.cbData);
  SecureZeroMemory(output.pbData, output.cbData);
  LocalFree(output.pbData);
  return password;
}
