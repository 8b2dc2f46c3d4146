#include "app/about_text.h"

#include <gtest/gtest.h>

TEST(AboutText, FourLinesWithMiddleDots) {
  const std::string text = AboutText();
  size_t lines = 1;
  for (char c : text) lines += (c == '\n');
  EXPECT_EQ(lines, 4u);
  EXPECT_EQ(text.rfind("Tavik \xE2\x80\x94 Orbisfield\n\n", 0), 0u);
  EXPECT_NE(text.find(" \xC2\xB7 hand-rolled RTSP \xC2\xB7 Media Foundation \xC2\xB7 Direct3D 11"),
            std::string::npos);
}
