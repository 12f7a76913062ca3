// A small JSON writer: enough to hand-write the summary without a library.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "wire.hpp"

namespace kov02a_sim {

// The text as a JSON string literal, quotes included. Control characters are escaped; bytes
// that are not valid UTF-8 become U+FFFD, so the result is always valid JSON.
std::string json_quote(std::string_view text);

class JsonWriter {
 public:
  JsonWriter& begin_object();
  JsonWriter& end_object();
  JsonWriter& begin_array();
  JsonWriter& end_array();
  JsonWriter& key(std::string_view name);
  JsonWriter& value(std::string_view text);
  JsonWriter& value(const char* text) { return value(std::string_view(text)); }
  JsonWriter& value(std::uint64_t number);
  JsonWriter& boolean(bool flag);
  // Milliseconds as a number with three decimals.
  JsonWriter& millis(Micros time);
  JsonWriter& null();

  const std::string& text() const { return out_; }

 private:
  void begin_value();
  JsonWriter& open(char bracket);
  JsonWriter& close(char bracket);

  std::string out_;
  std::vector<bool> has_items_;  // one entry per open object or array
  bool after_key_ = false;
};

}  // namespace kov02a_sim
