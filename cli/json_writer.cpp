// The JSON writer of the command line's JSON Lines output.
#include "cli/json_writer.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// Whether any of the eight bytes of w is a control character, '"', '\\' or a byte above
// 0x7F (the start or continuation of a multi-byte character, to be checked): the tests
// for a zero byte and for a byte below 0x20 that look at all eight at once.
bool NeedsCare(std::uint64_t w) {
  constexpr std::uint64_t kOnes = 0x0101010101010101u, kHigh = 0x8080808080808080u;
  const auto zero = [](std::uint64_t v) { return (v - kOnes) & ~v & kHigh; };
  return ((w & kHigh) | ((w - 0x20 * kOnes) & ~w & kHigh) | zero(w ^ ('"' * kOnes)) |
          zero(w ^ ('\\' * kOnes))) != 0;
}

// The length of the well-formed UTF-8 character that begins at s[i] (2 to 4 bytes, no
// overlong forms, no surrogates, nothing above U+10FFFF), or 0 when none begins there.
std::size_t Utf8Length(std::string_view s, std::size_t i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  std::size_t n = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) low = 0xA0;   // overlong below U+0800
    if (c == 0xED) high = 0x9F;  // U+D800 … U+DFFF
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) low = 0x90;   // overlong below U+10000
    if (c == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (s.size() - i < n) return 0;
  const unsigned char second = static_cast<unsigned char>(s[i + 1]);
  if (second < low || second > high) return 0;
  for (std::size_t k = 2; k < n; ++k)
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
  return n;
}

}  // namespace

void AppendJsonString(std::string* out, std::string_view s) {
  out->push_back('"');
  std::size_t run = 0;  // start of the characters copied as they are
  std::size_t i = 0;
  while (i < s.size()) {
    if (s.size() - i >= 8) {
      std::uint64_t w;
      std::memcpy(&w, s.data() + i, 8);
      if (!NeedsCare(w)) {
        i += 8;
        continue;
      }
    }
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x80) {
      if (const std::size_t n = Utf8Length(s, i)) {
        i += n;
        continue;
      }
    } else if (c >= 0x20 && c != '"' && c != '\\') {
      ++i;
      continue;
    }
    out->append(s.data() + run, i - run);
    switch (c) {
      case '"':
        *out += "\\\"";
        break;
      case '\\':
        *out += "\\\\";
        break;
      case '\n':
        *out += "\\n";
        break;
      case '\r':
        *out += "\\r";
        break;
      case '\t':
        *out += "\\t";
        break;
      default: {
        // Other control characters, and bytes that are no part of valid UTF-8.
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\u%04x", c < 0x80 ? c : 0xDC00u + c);
        *out += buf;
      }
    }
    run = ++i;
  }
  out->append(s.data() + run, s.size() - run);
  out->push_back('"');
}

std::string JsonString(std::string_view s) {
  std::string out;
  AppendJsonString(&out, s);
  return out;
}

void AppendJsonNumber(std::string* out, double v) {
  if (!std::isfinite(v)) {
    *out += "null";
    return;
  }
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out->append(buf, r.ptr);
}

void JsonWriter::BeforeValue() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (!open_.empty()) {
    if (open_.back()) out_.push_back(',');
    open_.back() = true;
  }
}

JsonWriter& JsonWriter::BeginObject() {
  BeforeValue();
  out_.push_back('{');
  open_.push_back(false);
  return *this;
}

JsonWriter& JsonWriter::EndObject() {
  out_.push_back('}');
  if (!open_.empty()) open_.pop_back();
  return *this;
}

JsonWriter& JsonWriter::BeginArray() {
  BeforeValue();
  out_.push_back('[');
  open_.push_back(false);
  return *this;
}

JsonWriter& JsonWriter::EndArray() {
  out_.push_back(']');
  if (!open_.empty()) open_.pop_back();
  return *this;
}

JsonWriter& JsonWriter::Key(std::string_view key) {
  BeforeValue();
  AppendJsonString(&out_, key);
  out_.push_back(':');
  afterKey_ = true;
  return *this;
}

JsonWriter& JsonWriter::String(std::string_view s) {
  BeforeValue();
  AppendJsonString(&out_, s);
  return *this;
}

JsonWriter& JsonWriter::StringOrNull(const std::string* s) {
  return s ? String(*s) : Null();
}

JsonWriter& JsonWriter::Number(double v) {
  BeforeValue();
  AppendJsonNumber(&out_, v);
  return *this;
}

JsonWriter& JsonWriter::Integer(long long v) {
  BeforeValue();
  out_ += std::to_string(v);
  return *this;
}

JsonWriter& JsonWriter::Bool(bool v) {
  BeforeValue();
  out_ += v ? "true" : "false";
  return *this;
}

JsonWriter& JsonWriter::Null() {
  BeforeValue();
  out_ += "null";
  return *this;
}

std::string JsonWriter::Take() {
  std::string text = std::move(out_);
  out_.clear();
  open_.clear();
  afterKey_ = false;
  return text;
}
