#include "config/json.h"

#include "config/number_text.h"
#include "config/utf8.h"

#include <cstdint>
#include <utility>

namespace {

bool MatchesAt(std::string_view text, size_t pos, std::string_view word) {
  return text.size() - pos >= word.size() && text.compare(pos, word.size(), word) == 0;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The four characters after "\u" as a code unit: the leading hex digits count,
// reading stops at the first other character (so "00zz" is 0).
uint16_t ReadCodeUnit(std::string_view text, size_t pos) {
  uint32_t unit = 0;
  for (size_t i = pos; i < pos + 4; ++i) {
    const int digit = HexValue(text[i]);
    if (digit < 0) break;
    unit = unit * 16 + static_cast<uint32_t>(digit);
  }
  return static_cast<uint16_t>(unit);
}

// What one parse may still build.
struct Budget {
  size_t valuesLeft = SIZE_MAX;
  bool exhausted = false;
};

bool ParseValueAt(std::string_view text, size_t& pos, JsonValue& out, int depth, Budget& budget);

bool ParseObject(std::string_view text, size_t& pos, JsonValue& out, int depth, Budget& budget) {
  out.kind = JsonKind::Object;
  ++pos;
  SkipWhitespace(text, pos);
  if (pos < text.size() && text[pos] == '}') {
    ++pos;
    return true;
  }
  for (;;) {
    SkipWhitespace(text, pos);
    std::string key;
    if (pos >= text.size() || !ParseString(text, pos, key)) return false;
    SkipWhitespace(text, pos);
    if (pos >= text.size() || text[pos] != ':') return false;
    ++pos;
    JsonValue value;
    if (!ParseValueAt(text, pos, value, depth, budget)) return false;
    out.members.push_back(JsonMember{std::move(key), std::move(value)});
    SkipWhitespace(text, pos);
    if (pos >= text.size()) return false;
    if (text[pos] == ',') {
      ++pos;
      continue;
    }
    if (text[pos] == '}') {
      ++pos;
      return true;
    }
    return false;
  }
}

bool ParseArray(std::string_view text, size_t& pos, JsonValue& out, int depth, Budget& budget) {
  out.kind = JsonKind::Array;
  ++pos;
  SkipWhitespace(text, pos);
  if (pos < text.size() && text[pos] == ']') {
    ++pos;
    return true;
  }
  for (;;) {
    JsonValue item;
    if (!ParseValueAt(text, pos, item, depth, budget)) return false;
    out.items.push_back(std::move(item));
    SkipWhitespace(text, pos);
    if (pos >= text.size()) return false;
    if (text[pos] == ',') {
      ++pos;
      continue;
    }
    if (text[pos] == ']') {
      ++pos;
      return true;
    }
    return false;
  }
}

bool ParseValueAt(std::string_view text, size_t& pos, JsonValue& out, int depth, Budget& budget) {
  SkipWhitespace(text, pos);
  if (pos >= text.size()) return false;
  if (budget.valuesLeft == 0) {
    budget.exhausted = true;
    return false;
  }
  --budget.valuesLeft;
  const char c = text[pos];
  if (c == '{' || c == '[') {
    if (depth >= kJsonMaxDepth) return false;
    return c == '{' ? ParseObject(text, pos, out, depth + 1, budget)
                    : ParseArray(text, pos, out, depth + 1, budget);
  }
  if (c == '"') {
    out.kind = JsonKind::String;
    return ParseString(text, pos, out.text);
  }
  if (MatchesAt(text, pos, "true")) {
    out.kind = JsonKind::Bool;
    out.boolValue = true;
    pos += 4;
    return true;
  }
  if (MatchesAt(text, pos, "false")) {
    out.kind = JsonKind::Bool;
    out.boolValue = false;
    pos += 5;
    return true;
  }
  if (MatchesAt(text, pos, "null")) {
    out.kind = JsonKind::Null;
    pos += 4;
    return true;
  }
  double number = 0.0;
  const size_t used = ReadNumberText(text.substr(pos), number);
  if (used == 0) return false;
  out.kind = JsonKind::Number;
  out.number = number;
  pos += used;
  return true;
}

void AppendNumber(std::string& out, double value, JsonNumbers numbers) {
  long long integer = 0;
  if (NumberToInt64(value, integer)) {
    out += std::to_string(integer);
  } else {
    out += numbers == JsonNumbers::Exact ? FormatNumberExact(value) : FormatNumberShort(value);
  }
}

void AppendQuoted(std::string& out, std::string_view text) {
  out += '"';
  out += EscapeJsonString(text);
  out += '"';
}

void AppendValue(std::string& out, const JsonValue& value, JsonNumbers numbers) {
  switch (value.kind) {
    case JsonKind::Bool: out += value.boolValue ? "true" : "false"; break;
    case JsonKind::Number: AppendNumber(out, value.number, numbers); break;
    case JsonKind::String: AppendQuoted(out, value.text); break;
    case JsonKind::Array:
      out += '[';
      for (size_t i = 0; i < value.items.size(); ++i) {
        if (i > 0) out += ',';
        AppendValue(out, value.items[i], numbers);
      }
      out += ']';
      break;
    case JsonKind::Object:
      out += '{';
      for (size_t i = 0; i < value.members.size(); ++i) {
        if (i > 0) out += ',';
        AppendQuoted(out, value.members[i].first);
        out += ':';
        AppendValue(out, value.members[i].second, numbers);
      }
      out += '}';
      break;
    case JsonKind::Null:
    default: out += "null"; break;
  }
}

}  // namespace

bool ParseJson(std::string_view text, JsonValue& out) {
  size_t pos = 0;
  return ParseValue(text, pos, out);
}

JsonParseResult ParseJsonWithin(std::string_view text, size_t maxValues, JsonValue& out) {
  size_t pos = 0;
  Budget budget;
  budget.valuesLeft = maxValues;
  if (ParseValueAt(text, pos, out, 0, budget)) return JsonParseResult::Ok;
  return budget.exhausted ? JsonParseResult::TooManyValues : JsonParseResult::Invalid;
}

bool ParseValue(std::string_view text, size_t& pos, JsonValue& out) {
  Budget unbounded;
  return ParseValueAt(text, pos, out, 0, unbounded);
}

bool ParseString(std::string_view text, size_t& pos, std::string& out) {
  if (pos >= text.size() || text[pos] != '"') return false;
  ++pos;
  out.clear();
  for (;;) {
    if (pos >= text.size()) return false;
    const char c = text[pos];
    if (c == '"') {
      ++pos;
      return true;
    }
    if (c != '\\' || pos + 1 >= text.size()) {
      // A backslash as the last character falls through here and then meets the end.
      if (c == '\\') return false;
      out += c;
      ++pos;
      continue;
    }
    const char escape = text[pos + 1];
    pos += 2;
    switch (escape) {
      case '"': out += '"'; break;
      case '\\': out += '\\'; break;
      case '/': out += '/'; break;
      case 'b': out += '\b'; break;
      case 'f': out += '\f'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'u': {
        if (text.size() - pos < 4) return false;
        const uint16_t first = ReadCodeUnit(text, pos);
        pos += 4;
        int32_t second = -1;
        if (first >= 0xD800 && first <= 0xDBFF && text.size() - pos >= 6 && text[pos] == '\\' &&
            text[pos + 1] == 'u') {
          second = ReadCodeUnit(text, pos + 2);
          pos += 6;
        }
        AppendUtf16Units(out, first, second);
        break;
      }
      default: return false;
    }
  }
}

void SkipWhitespace(std::string_view text, size_t& pos) {
  while (pos < text.size() &&
         (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\r' || text[pos] == '\n')) {
    ++pos;
  }
}

std::string SerializeJson(const JsonValue& value, JsonNumbers numbers) {
  std::string out;
  AppendValue(out, value, numbers);
  return out;
}

std::string EscapeJsonString(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20) {
          out += "\\u00";
          out += kHex[byte >> 4];
          out += kHex[byte & 0xF];
        } else {
          out += c;
        }
        break;
    }
  }
  return out;
}

const JsonValue* FindMember(const JsonValue& value, std::string_view key) {
  if (value.kind != JsonKind::Object) return nullptr;
  for (const auto& member : value.members) {
    if (member.first == key) return &member.second;
  }
  return nullptr;
}

bool GetBool(const JsonValue& object, std::string_view key, bool fallback) {
  const JsonValue* member = FindMember(object, key);
  return member && member->kind == JsonKind::Bool ? member->boolValue : fallback;
}

double GetNumber(const JsonValue& object, std::string_view key, double fallback) {
  const JsonValue* member = FindMember(object, key);
  return member && member->kind == JsonKind::Number ? member->number : fallback;
}

std::string GetString(const JsonValue& object, std::string_view key, std::string_view fallback) {
  const JsonValue* member = FindMember(object, key);
  return member && member->kind == JsonKind::String ? member->text : std::string(fallback);
}

const JsonValue* FindByName(const JsonValue& value, std::string_view name) {
  if (value.kind != JsonKind::Array) return nullptr;
  for (const JsonValue& item : value.items) {
    const JsonValue* itemName = FindMember(item, "name");
    const std::string_view text = itemName && itemName->kind == JsonKind::String
                                      ? std::string_view(itemName->text)
                                      : std::string_view();
    if (text == name) return &item;
  }
  return nullptr;
}

JsonValue JsonBool(bool value) {
  JsonValue v;
  v.kind = JsonKind::Bool;
  v.boolValue = value;
  return v;
}

JsonValue JsonNumber(double value) {
  JsonValue v;
  v.kind = JsonKind::Number;
  v.number = value;
  return v;
}

JsonValue JsonString(std::string value) {
  JsonValue v;
  v.kind = JsonKind::String;
  v.text = std::move(value);
  return v;
}

JsonValue JsonArray() {
  JsonValue v;
  v.kind = JsonKind::Array;
  return v;
}

JsonValue JsonObject() {
  JsonValue v;
  v.kind = JsonKind::Object;
  return v;
}

void AddMember(JsonValue& object, std::string key, JsonValue value) {
  object.members.push_back(JsonMember{std::move(key), std::move(value)});
}
