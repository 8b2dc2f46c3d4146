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

// The text of a one-string document, or "<fail>".
std::string StringOf(std::string_view literal) {
  JsonValue value;
  if (!ParseJson(literal, value)) return "<fail>";
  EXPECT_EQ(value.kind, JsonKind::String);
  return value.text;
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

TEST(Json, StructureAndWhitespace) {
  EXPECT_TRUE(Parses("{}"));
  EXPECT_TRUE(Parses("[ ]"));
  const JsonValue v = Parsed(" \t{\"a\" \r\n: [ true ,\tnull ] } ");
  ASSERT_EQ(v.kind, JsonKind::Object);
  const JsonValue* a = FindMember(v, "a");
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(a->items.size(), 2u);
  EXPECT_EQ(a->items[0].kind, JsonKind::Bool);
  EXPECT_TRUE(a->items[0].boolValue);
  EXPECT_EQ(a->items[1].kind, JsonKind::Null);

  // Trailing commas, missing separators, non-string keys, truncation.
  for (const char* bad :
       {"{\"a\":1,}", "[1,]",    "[1 2]",    "{\"a\" 1}", "{a:1}", "{1:1}", "[",
        "{",          "{\"a\":", "{\"a\":1", "[1,",       "",      "   ",   "]",
        "}",          ",",       "tru",      "nulL",      "fals",  "\v",    "[\v]"}) {
    EXPECT_FALSE(Parses(bad)) << bad;
  }
  // Only the first value is read; what follows it is not examined.
  EXPECT_TRUE(Parses("{\"a\":1} xyz"));
  EXPECT_TRUE(Parses("trueX"));
  EXPECT_FALSE(Parses("[trueX]"));
  // Vertical tab and form feed are not white space between tokens, but the number
  // conversion skips them as the C library's does.
  EXPECT_FALSE(Parses("[1\v]"));
  EXPECT_EQ(Parsed("[true,\v\f1]").items[1].number, 1.0);
}

TEST(Json, DeepNestingFailsInsteadOfOverflowingTheStack) {
  EXPECT_FALSE(Parses(std::string(1000000, '[')));
  EXPECT_FALSE(Parses(std::string(1000000, '{')));
  std::string objects;
  for (int i = 0; i < 100000; ++i) objects += "{\"a\":";
  EXPECT_FALSE(Parses(objects));

  const std::string ok = std::string(kJsonMaxDepth, '[') + std::string(kJsonMaxDepth, ']');
  JsonValue v = Parsed(ok);
  EXPECT_EQ(SerializeJson(v), ok);
  const std::string tooDeep =
      std::string(kJsonMaxDepth + 1, '[') + std::string(kJsonMaxDepth + 1, ']');
  EXPECT_FALSE(Parses(tooDeep));
}

TEST(Json, StringEscapes) {
  EXPECT_EQ(StringOf(R"("a\"b\\c\/d")"), "a\"b\\c/d");
  EXPECT_EQ(StringOf(R"("\b\f\n\r\t")"), "\b\f\n\r\t");
  EXPECT_EQ(StringOf(R"("\q")"), "<fail>");
  EXPECT_EQ(StringOf("\"abc\\"), "<fail>");
  EXPECT_EQ(StringOf("\"abc"), "<fail>");
  EXPECT_EQ(StringOf("\"\\u12\""), "<fail>");  // fewer than four characters after \u
  // Raw control bytes and UTF-8 pass through unchecked.
  EXPECT_EQ(StringOf("\"\x01\xC3\xA9\xFF\""), "\x01\xC3\xA9\xFF");
}

TEST(Json, UnicodeEscapes) {
  EXPECT_EQ(StringOf(R"("\u00e9")"), "\xC3\xA9");
  EXPECT_EQ(StringOf(R"("\u00E9\u20ac")"), "\xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ(StringOf(R"("\ud83d\ude00")"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(StringOf(R"("x\u0000y")"), "xy");
  EXPECT_EQ(StringOf(R"("\u0041\u00zz")"), "A");  // reading stops at the first non-hex digit
  // Unpaired surrogates become U+FFFD.
  EXPECT_EQ(StringOf(R"("\ud83d")"), "\xEF\xBF\xBD");
  EXPECT_EQ(StringOf(R"("\ud83dx")"), "\xEF\xBF\xBDx");
  EXPECT_EQ(StringOf(R"("\ude00")"), "\xEF\xBF\xBD");
  EXPECT_EQ(StringOf(R"("\ud83d\u0041")"),
            "\xEF\xBF\xBD"
            "A");
  EXPECT_EQ(StringOf(R"("\ud83d\ud83d\ude00")"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(StringOf(R"("\udbff\udfff")"), "\xF4\x8F\xBF\xBF");
}

TEST(Json, NumbersFollowTheLenientGrammar) {
  EXPECT_EQ(Parsed("-1.5e3").number, -1500.0);
  EXPECT_EQ(Parsed("+5").number, 5.0);
  EXPECT_EQ(Parsed(".5").number, 0.5);
  EXPECT_EQ(Parsed("007").number, 7.0);
  EXPECT_EQ(Parsed("0x1A").number, 26.0);
  EXPECT_TRUE(std::isnan(Parsed("nan").number));
  EXPECT_EQ(Parsed("-inf").number, -INFINITY);
  EXPECT_FALSE(Parses("-"));
  EXPECT_FALSE(Parses("."));
  EXPECT_FALSE(Parses("e5"));
  const JsonValue v = Parsed("[1e2,2.]");
  ASSERT_EQ(v.items.size(), 2u);
  EXPECT_EQ(v.items[0].number, 100.0);
  EXPECT_EQ(v.items[1].number, 2.0);
  EXPECT_FALSE(Parses("[1e]"));  // "1" is read, then "e" is not a separator
}

TEST(Json, SerializesCompactly) {
  JsonValue object = JsonObject();
  AddMember(object, "name", JsonString("ann"));
  AddMember(object, "id", JsonNumber(7));
  EXPECT_EQ(SerializeJson(object), R"({"name":"ann","id":7})");

  JsonValue array = JsonArray();
  for (double d : {3.0, 3.5, 0.1, -0.0, 0.25, 1234567.5, 1e300, -9223372036854775808.0,
                   9223372036854775808.0}) {
    array.items.push_back(JsonNumber(d));
  }
  array.items.push_back(JsonBool(false));
  array.items.push_back(JsonValue());
  JsonValue odd;
  odd.kind = static_cast<JsonKind>(9);
  array.items.push_back(odd);
  EXPECT_EQ(
      SerializeJson(array),
      "[3,3.5,0.1,0,0.25,1.23457e+06,1e+300,-9223372036854775808,9.22337e+18,false,null,null]");
  EXPECT_EQ(SerializeJson(JsonString("\t\x01/\xC3\xA9\"\\")), "\"\\t\\u0001/\xC3\xA9\\\"\\\\\"");
}

TEST(Json, ExactNumbersReadBackUnchanged) {
  JsonValue array = JsonArray();
  for (double d : {1234567.5, 0.1, 1.0 / 3.0, -2.5e-300, 4.9406564584124654e-324,
                   1.7976931348623157e308, 42.0}) {
    array.items.push_back(JsonNumber(d));
  }
  const std::string text = SerializeJson(array, JsonNumbers::Exact);
  EXPECT_EQ(text.rfind("[1234567.5,0.1,", 0), 0u) << text;
  const JsonValue back = Parsed(text);
  ASSERT_EQ(back.items.size(), array.items.size());
  for (size_t i = 0; i < back.items.size(); ++i)
    EXPECT_EQ(back.items[i].number, array.items[i].number) << i;
}

TEST(Json, EscapesEveryControlByte) {
  std::string all;
  for (int c = 0; c < 0x20; ++c) all += static_cast<char>(c);
  const std::string escaped = EscapeJsonString(all);
  EXPECT_EQ(escaped.substr(0, 12), "\\u0000\\u0001");
  EXPECT_NE(escaped.find("\\u0008\\t\\n\\u000b\\u000c\\r"), std::string::npos);
  EXPECT_EQ(escaped.substr(escaped.size() - 6), "\\u001f");
  EXPECT_EQ(EscapeJsonString("\x7F\x80/"), "\x7F\x80/");
  // Escaping and parsing invert each other for any byte string.
  std::string bytes;
  for (int c = 0; c < 256; ++c) bytes += static_cast<char>(c);
  EXPECT_EQ(StringOf("\"" + EscapeJsonString(bytes) + "\""), bytes.substr(1));  // \u0000 vanishes
}

TEST(Json, TypedGettersNeverConvert) {
  const JsonValue v = Parsed(R"({"Muted":1,"width":"640","flag":true,"n":2.5,"s":"x"})");
  EXPECT_FALSE(GetBool(v, "Muted", false));
  EXPECT_TRUE(GetBool(v, "flag", false));
  EXPECT_EQ(GetNumber(v, "width", -1), -1);
  EXPECT_EQ(GetNumber(v, "flag", -1), -1);
  EXPECT_EQ(GetNumber(v, "n", -1), 2.5);
  EXPECT_EQ(GetString(v, "n", "d"), "d");
  EXPECT_EQ(GetString(v, "s", "d"), "x");
  EXPECT_EQ(GetString(v, "missing", "d"), "d");
  EXPECT_EQ(FindMember(Parsed("[1]"), "a"), nullptr);
  EXPECT_FALSE(GetBool(Parsed("true"), "flag", false));
}

TEST(Json, FindByNameScansArraysOnly) {
  const JsonValue channels = Parsed(
      R"([{"id":0,"name":"High"},{"name":5},{"id":2,"name":"Low"},{"id":3,"name":"High"},7])");
  const JsonValue* high = FindByName(channels, "High");
  ASSERT_NE(high, nullptr);
  EXPECT_EQ(GetNumber(*high, "id", -1), 0);
  EXPECT_EQ(GetNumber(*FindByName(channels, "Low"), "id", -1), 2);
  EXPECT_EQ(FindByName(channels, "high"), nullptr);
  // Elements without a string name have the empty name.
  EXPECT_EQ(FindByName(channels, ""), &channels.items[1]);
  EXPECT_EQ(FindByName(Parsed(R"({"name":"High"})"), "High"), nullptr);
}

TEST(Json, ValueBoundCountsEveryValue) {
  // Two objects, an array and three scalars: six values.
  const std::string text = R"({"a":[1,"x",null],"b":{}})";
  JsonValue within;
  ASSERT_EQ(ParseJsonWithin(text, 6, within), JsonParseResult::Ok);
  EXPECT_EQ(SerializeJson(within), SerializeJson(Parsed(text)));
  JsonValue over;
  EXPECT_EQ(ParseJsonWithin(text, 5, over), JsonParseResult::TooManyValues);
  EXPECT_EQ(ParseJsonWithin("7", 0, over), JsonParseResult::TooManyValues);
  // Bad text within the bound is invalid, not too large.
  EXPECT_EQ(ParseJsonWithin("[1,]", 100, over), JsonParseResult::Invalid);
  EXPECT_EQ(ParseJsonWithin("", 0, over), JsonParseResult::Invalid);
  EXPECT_EQ(ParseJsonWithin(std::string(300, '['), 1000, over), JsonParseResult::Invalid);
  // A long array of tiny values stops at the bound.
  std::string zeros = "[0";
  for (int i = 1; i < 20000; ++i) zeros += ",0";
  zeros += "]";
  JsonValue all;
  EXPECT_EQ(ParseJsonWithin(zeros, 20001, all), JsonParseResult::Ok);
  EXPECT_EQ(all.items.size(), 20000u);
  JsonValue cut;
  EXPECT_EQ(ParseJsonWithin(zeros, 20000, cut), JsonParseResult::TooManyValues);
  EXPECT_LE(cut.items.size(), 19999u);
}
