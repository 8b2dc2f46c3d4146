#pragma once
// Trust on first use for the console's certificate. Consoles ship self-signed
// certificates, so the HTTP client accepts any; what keeps the password from an
// impostor is the fingerprint (SHA-256 of the DER certificate, 64 lowercase hex
// digits) remembered from the first successful discovery of the host: a console
// presenting another certificate gets no request body until the user accepts the
// new certificate by pressing Discover a second time.
#include <cstddef>
#include <string>
#include <string_view>

// What one discovery expects of the console's certificate.
struct CertPolicy {
  std::string pinned;   // the fingerprint trusted for this host; empty: none yet (trust the first)
  std::string offered;  // a fingerprint refused by the previous press that the user now accepts
};

// The certificate refused by the last press of the Discover dialog, and the host
// it was refused for. Lives as long as the dialog.
struct CertOffer {
  std::string host;
  std::string sha256;
};

enum class CertVerdict { Trust, Refuse };

// Whether a server presenting `presented` (empty or malformed: it could not be
// read) may have the request. Without a pin every certificate is trusted; with
// one, only the pinned certificate or the one just offered for acceptance.
CertVerdict JudgeCertificate(std::string_view pinned, std::string_view presented,
                             std::string_view offered);

// Host names compare without regard to ASCII letter case.
bool SameConsoleHost(std::string_view a, std::string_view b);

// The policy for a discovery of `host`: the stored pin applies only to the stored
// host, and the last refused certificate only when the host is the one it was
// refused for.
CertPolicy CertPolicyFor(std::string_view storedHost, std::string_view storedPin,
                         const CertOffer& offer, std::string_view host);

// Lowercase hex of bytes.
std::string HexLower(const unsigned char* bytes, size_t size);
