#include "config/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

JsonValue Parsed(std::string_view text) {
  JsonValue value;
  EXPECT_TRUE(ParseJson(text, value)) << text;
  return value;
}

bool Parses(std::string_view text) {
  JsonValue value;
  return ParseJson(text, value);
}

std::string StringOf(std::string_view literal) {
  std::string out;
  size_t pos = 0;
  EXPECT_TRUE(ParseString(literal, pos, out)) << literal;
  EXPECT_EQ(pos, literal.size());
  return out;
}

}  // namespace

TEST(Json, ObjectsKeepOrderAndDuplicates) {
  const JsonValue v = Parsed(R"({"a":1,"b":"x","a":2})");
  ASSERT_EQ(v.kind, JsonKind::Object);
  ASSERT_EQ(v.members.size(), 3u);
  EXPECT_EQ(v.members[0].first, "a");
  EXPECT_EQ(v.members[1].first, "b");
  EXPECT_EQ(v.members[2].second.number, 2.0);
  EXPECT_EQ(GetNumber(v, "a", 0), 1.0);
  EXPECT_EQ(FindMember(v, "A"), nullptr);
  EXPECT_EQ(SerializeJson(v), R"({"a":1,"b":"x","a":2})");
}
