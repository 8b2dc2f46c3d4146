#include "console/cert_pin.h"

#include "config/app_config.h"

CertVerdict JudgeCertificate(std::string_view pinned, std::string_view presented,
                             std::string_view offered) {
  if (pinned.empty()) return CertVerdict::Trust;
  // A certificate that could not be read matches nothing, not even an empty offer.
  if (!IsCertFingerprint(presented)) return CertVerdict::Refuse;
  if (presented == pinned) return CertVerdict::Trust;
  if (presented == offered) return CertVerdict::Trust;
  return CertVerdict::Refuse;
}

bool SameConsoleHost(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

CertPolicy CertPolicyFor(std::string_view storedHost, std::string_view storedPin,
                         const CertOffer& offer, std::string_view host) {
  CertPolicy policy;
  if (!storedHost.empty() && SameConsoleHost(storedHost, host) && IsCertFingerprint(storedPin))
    policy.pinned = storedPin;
  if (!policy.pinned.empty() && SameConsoleHost(offer.host, host) &&
      IsCertFingerprint(offer.sha256))
    policy.offered = offer.sha256;
  return policy;
}

std::string HexLower(const unsigned char* bytes, size_t size) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    text.push_back(kHex[bytes[i] >> 4]);
    text.push_back(kHex[bytes[i] & 0x0F]);
  }
  return text;
}
