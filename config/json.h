#pragma once
// The program's own small JSON library: a plain value tree, a lenient parser and a
// compact writer. Objects are ordered member lists (duplicate keys stay; lookups
// return the first match).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum class JsonKind : int32_t { Null = 0, Bool = 1, Number = 2, String = 3, Array = 4, Object = 5 };

struct JsonMember;

struct JsonValue {
  JsonKind kind = JsonKind::Null;
  bool boolValue = false;
  double number = 0.0;
  std::string text;
  std::vector<JsonValue> items;
  std::vector<JsonMember> members;
};

// One member of an object: (key, value), named like a pair. A record rather than
// std::pair, because a pair holding the still incomplete JsonValue does not compile
// with every standard library.
struct JsonMember {
  std::string first;
  JsonValue second;
};

// Containers nested deeper than this fail to parse (instead of exhausting the stack).
constexpr int kJsonMaxDepth = 256;

// Parses one value at offset 0; text after it is not examined. On failure `out`
// is partly filled and must be discarded.
bool ParseJson(std::string_view text, JsonValue& out);

enum class JsonParseResult { Ok, Invalid, TooManyValues };

// As ParseJson, building at most maxValues values (every value counts: objects,
// arrays, their elements and members' values, strings, numbers, literals). A
// value costs about a hundred bytes of tree whatever its text, so a document of
// tiny values ([0,0,...]) needs some fifty times its own size; the bound keeps
// that in proportion for text from outside the program. TooManyValues when the
// text holds more (it may also be invalid further on).
JsonParseResult ParseJsonWithin(std::string_view text, size_t maxValues, JsonValue& out);
// The recursive worker: parses one value at `pos` (leading whitespace skipped) and
// leaves `pos` after it.
bool ParseValue(std::string_view text, size_t& pos, JsonValue& out);
// Reads one string literal; `pos` must be at its opening double quote.
bool ParseString(std::string_view text, size_t& pos, std::string& out);
// Advances over space, tab, CR and LF.
void SkipWhitespace(std::string_view text, size_t& pos);

// How SerializeJson writes numbers that are not integral.
enum class JsonNumbers {
  Short,  // six significant digits, as "%g" (1234567.5 -> 1.23457e+06)
  Exact,  // the shortest text that reads back as the same double (1234567.5)
};

// Compact text, no whitespace anywhere. Integral numbers (that fit a signed
// 64-bit integer) are always written with every digit.
std::string SerializeJson(const JsonValue& value, JsonNumbers numbers = JsonNumbers::Short);
// The escaping used inside string literals, without the surrounding quotes.
std::string EscapeJsonString(std::string_view text);

const JsonValue* FindMember(const JsonValue& value, std::string_view key);
bool GetBool(const JsonValue& object, std::string_view key, bool fallback);
double GetNumber(const JsonValue& object, std::string_view key, double fallback);
std::string GetString(const JsonValue& object, std::string_view key, std::string_view fallback);
// First element of an array whose "name" member (a String) equals `name`.
const JsonValue* FindByName(const JsonValue& value, std::string_view name);

// Builders for request bodies and tests.
JsonValue JsonBool(bool value);
JsonValue JsonNumber(double value);
JsonValue JsonString(std::string value);
JsonValue JsonArray();
JsonValue JsonObject();
// Appends a member (an existing member with the same key stays in place).
void AddMember(JsonValue& object, std::string key, JsonValue value);
