// Trust on first use for the console's certificate: the verdict for a stored pin,
// the presented certificate and the one just offered for acceptance, and which
// pin and offer apply to the host being contacted.
#include "console/cert_pin.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kOld(64, 'a');
const std::string kNew = std::string(63, 'b') + "0";
const std::string kOther(64, 'c');

}  // namespace

TEST(CertPin, NothingPinnedTrustsWhateverIsPresented) {
  for (const std::string& presented : {kOld, std::string(), std::string("not a fingerprint")})
    EXPECT_EQ(JudgeCertificate("", presented, ""), CertVerdict::Trust) << presented;
}

TEST(CertPin, APinTrustsOnlyItsOwnCertificateOrTheOneOffered) {
  EXPECT_EQ(JudgeCertificate(kOld, kOld, ""), CertVerdict::Trust);
  EXPECT_EQ(JudgeCertificate(kOld, kNew, ""), CertVerdict::Refuse);
  // The second press accepts the certificate it was shown...
  EXPECT_EQ(JudgeCertificate(kOld, kNew, kNew), CertVerdict::Trust);
  // ...and no other: a third certificate on that press starts over.
  EXPECT_EQ(JudgeCertificate(kOld, kOther, kNew), CertVerdict::Refuse);
  // The pinned certificate stays trusted while an offer is pending.
  EXPECT_EQ(JudgeCertificate(kOld, kOld, kNew), CertVerdict::Trust);
}

TEST(CertPin, ACertificateThatCannotBeReadIsNeverAMatch) {
  const std::string upper = "A" + kOld.substr(1);
  for (const std::string& presented :
       {std::string(), kOld.substr(1), kOld + "a", upper, std::string(64, 'g')}) {
    SCOPED_TRACE(presented);
    EXPECT_EQ(JudgeCertificate(kOld, presented, ""), CertVerdict::Refuse);
    // Not even when the refused "certificate" was the same unreadable one.
    EXPECT_EQ(JudgeCertificate(kOld, presented, presented), CertVerdict::Refuse);
  }
  // A damaged pin matches no real certificate.
  EXPECT_EQ(JudgeCertificate("zz", kOld, ""), CertVerdict::Refuse);
}

TEST(CertPin, ThePinBelongsToTheStoredHostAndTheOfferToItsHost) {
  const CertOffer none;
  CertPolicy p = CertPolicyFor("console.local", kOld, none, "console.local");
  EXPECT_EQ(p.pinned, kOld);
  EXPECT_EQ(p.offered, "");
  // Host names are not case-sensitive; anything else is another console.
  EXPECT_EQ(CertPolicyFor("Console.LOCAL", kOld, none, "console.local").pinned, kOld);
  EXPECT_EQ(CertPolicyFor("console.local", kOld, none, "192.168.1.1").pinned, "");
  EXPECT_EQ(CertPolicyFor("console.local", kOld, none, "console.local ").pinned, "");
  EXPECT_EQ(CertPolicyFor("", kOld, none, "").pinned, "");
  // A stored pin that is not a fingerprint pins nothing.
  EXPECT_EQ(CertPolicyFor("h", "ABC", none, "h").pinned, "");

  // The refused certificate is offered on the next press for the same host only.
  const CertOffer offer{"console.local", kNew};
  p = CertPolicyFor("console.local", kOld, offer, "CONSOLE.local");
  EXPECT_EQ(p.pinned, kOld);
  EXPECT_EQ(p.offered, kNew);
  p = CertPolicyFor("console.local", kOld, CertOffer{"other", kNew}, "console.local");
  EXPECT_EQ(p.offered, "");
  EXPECT_EQ(
      CertPolicyFor("console.local", kOld, CertOffer{"console.local", ""}, "console.local").offered,
      "");
  // Another host has no pin, so nothing to offer against.
  p = CertPolicyFor("console.local", kOld, CertOffer{"other", kNew}, "other");
  EXPECT_EQ(p.pinned, "");
  EXPECT_EQ(p.offered, "");
}

TEST(CertPin, HexIsLowercase) {
  const unsigned char bytes[] = {0x00, 0x0F, 0xA0, 0xFF};
  EXPECT_EQ(HexLower(bytes, sizeof bytes), "000fa0ff");
  EXPECT_EQ(HexLower(bytes, 0), "");
}
