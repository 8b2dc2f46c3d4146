#include "config/wide_text_win.h"

#include <gtest/gtest.h>

TEST(WideText, RoundTripsAndReplacesInvalidBytes) {
  const std::string utf8 = "Gar\xC3\xA9ge \xE2\x80\x94 \xF0\x9F\x93\xB7";
  const std::wstring wide = Widen(utf8);
  EXPECT_EQ(wide, std::wstring(L"Gar\u00E9ge \u2014 \U0001F4F7"));
  EXPECT_EQ(Narrow(wide), utf8);
  EXPECT_EQ(Widen("a\xFF"
                  "b"),
            std::wstring(L"a\uFFFDb"));
  EXPECT_TRUE(Widen("").empty());
  EXPECT_TRUE(Narrow(L"").empty());
}
