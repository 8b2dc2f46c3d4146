#include "config/password_win.h"

#include <gtest/gtest.h>

#include <string>

TEST(PasswordWin, ProtectedTextUnprotectsToTheSameBytes) {
  for (const std::string password :
       {std::string("s3cret"), std::string("with  spaces "),
        std::string("p\xC3\xA4ss \xE2\x82\xAC \xF0\x9F\x94\x91"), std::string("a\0b", 3)}) {
    const std::string stored = ProtectPassword(password);
    ASSERT_FALSE(stored.empty());
    EXPECT_EQ(stored.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(stored.find('\0'), std::string::npos);
    EXPECT_EQ(stored.find_first_not_of(
                  "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
              std::string::npos);
    EXPECT_EQ(UnprotectPassword(stored), password);
  }
}

TEST(PasswordWin, EveryFailureGivesEmptyText) {
  EXPECT_EQ(ProtectPassword(""), "");
  EXPECT_EQ(UnprotectPassword(""), "");
  EXPECT_EQ(UnprotectPassword("not base64 at all!*"), "");
  EXPECT_EQ(UnprotectPassword(Base64Encode("random bytes that are no protected blob")), "");
  std::string damaged = Base64Decode(ProtectPassword("secret"));
  ASSERT_GT(damaged.size(), 40u);
  damaged[damaged.size() - 5] ^= 0x55;
  EXPECT_EQ(UnprotectPassword(Base64Encode(damaged)), "");
}

TEST(PasswordWin, Base64IsStandardWithPadding) {
  EXPECT_EQ(Base64Encode("f"), "Zg==");
  EXPECT_EQ(Base64Encode("fo"), "Zm8=");
  EXPECT_EQ(Base64Encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(Base64Encode(std::string("\xFB\xFF", 2)), "+/8=");
  EXPECT_EQ(Base64Decode("Zm9vYmFy"), "foobar");
  EXPECT_EQ(Base64Decode("Zm8="), "fo");
  EXPECT_EQ(Base64Encode(""), "");
  EXPECT_EQ(Base64Decode(""), "");
  const std::string long_text(300, 'x');
  const std::string encoded = Base64Encode(long_text);
  EXPECT_EQ(encoded.size(), 400u);  // one line, no breaks
  EXPECT_EQ(Base64Decode(encoded), long_text);
}
