// A small JSON writer for the command line's JSON Lines output: objects and arrays built
// in one string, numbers written so that they read back as the same double, strings as
// UTF-8 with what JSON needs escaped.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Appends s as a JSON string: quotes, backslashes and control characters escaped, valid
// UTF-8 passed through. A byte that is no part of valid UTF-8 (a file name need not be
// UTF-8) becomes \udcXX, the lone low surrogate 0xDC00 + byte that Python's
// os.fsdecode also gives it, so the exact name can be had back.
void AppendJsonString(std::string* out, std::string_view s);
std::string JsonString(std::string_view s);
// Appends the shortest text that reads back as exactly v ("0.1", "1e+300", "-0"), or
// null when v is NaN or infinite, which JSON cannot hold.
void AppendJsonNumber(std::string* out, double v);

class JsonWriter {
 public:
  JsonWriter& BeginObject();
  JsonWriter& EndObject();
  JsonWriter& BeginArray();
  JsonWriter& EndArray();
  // The name of the next member of the open object.
  JsonWriter& Key(std::string_view key);
  JsonWriter& String(std::string_view s);
  // A string, or null when there is none.
  JsonWriter& StringOrNull(const std::string* s);
  JsonWriter& Number(double v);
  JsonWriter& Integer(long long v);
  JsonWriter& Bool(bool v);
  JsonWriter& Null();

  // The text written so far.
  const std::string& Text() const { return out_; }
  // Takes the text out and starts afresh.
  std::string Take();

 private:
  // The comma before a value or key that is not the first of its container.
  void BeforeValue();

  std::string out_;
  std::vector<bool> open_;  // per open container: whether something was written in it
  bool afterKey_ = false;
};
