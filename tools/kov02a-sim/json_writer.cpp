#include "json_writer.hpp"

#include <cstdio>

namespace kov02a_sim {
namespace {

// Length of the valid UTF-8 sequence at the start of `text`, or 0 when it is not one.
std::size_t utf8_length(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  std::uint32_t min = 0;
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, min = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, min = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, min = 0x10000;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  std::uint32_t point = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    point = (point << 6) | (byte(i) & 0x3F);
  }
  const bool surrogate = point >= 0xD800 && point <= 0xDFFF;
  return point < min || point > 0x10FFFF || surrogate ? 0 : length;
}

void append_escaped(std::string& out, char c) {
  switch (c) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    case '\b':
      out += "\\b";
      return;
    case '\f':
      out += "\\f";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
    default:
      break;
  }
  if (static_cast<unsigned char>(c) < 0x20) {
    char code[8];
    std::snprintf(code, sizeof code, "\\u%04X", static_cast<unsigned>(c));
    out += code;
  } else {
    out += c;
  }
}

}  // namespace

std::string json_quote(std::string_view text) {
  std::string out = "\"";
  while (!text.empty()) {
    const std::size_t length = utf8_length(text);
    if (length == 0) {
      out += "\\uFFFD";
      text.remove_prefix(1);
    } else if (length == 1) {
      append_escaped(out, text[0]);
      text.remove_prefix(1);
    } else {
      out.append(text.substr(0, length));
      text.remove_prefix(length);
    }
  }
  return out + "\"";
}

void JsonWriter::begin_value() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (!has_items_.empty()) {
    if (has_items_.back()) out_ += ',';
    has_items_.back() = true;
  }
}

JsonWriter& JsonWriter::open(char bracket) {
  begin_value();
  out_ += bracket;
  has_items_.push_back(false);
  return *this;
}

JsonWriter& JsonWriter::close(char bracket) {
  out_ += bracket;
  has_items_.pop_back();
  return *this;
}

JsonWriter& JsonWriter::begin_object() {
  return open('{');
}
JsonWriter& JsonWriter::end_object() {
  return close('}');
}
JsonWriter& JsonWriter::begin_array() {
  return open('[');
}
JsonWriter& JsonWriter::end_array() {
  return close(']');
}

JsonWriter& JsonWriter::key(std::string_view name) {
  begin_value();
  out_ += json_quote(name);
  out_ += ':';
  after_key_ = true;
  return *this;
}

JsonWriter& JsonWriter::value(std::string_view text) {
  begin_value();
  out_ += json_quote(text);
  return *this;
}

JsonWriter& JsonWriter::value(std::uint64_t number) {
  begin_value();
  out_ += std::to_string(number);
  return *this;
}

JsonWriter& JsonWriter::boolean(bool flag) {
  begin_value();
  out_ += flag ? "true" : "false";
  return *this;
}

JsonWriter& JsonWriter::millis(Micros time) {
  begin_value();
  out_ += format_ms(time);
  return *this;
}

JsonWriter& JsonWriter::null() {
  begin_value();
  out_ += "null";
  return *this;
}

}  // namespace kov02a_sim
