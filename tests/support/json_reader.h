// A strict little JSON reader for the tests: whatever the simulator writes must parse here,
// and the tests then look at fields instead of matching text.
#pragma once

#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace json_reader {

struct Value;
using Array = std::vector<Value>;
using Object = std::map<std::string, Value>;

struct Value {
  std::variant<std::nullptr_t, bool, double, std::string, std::shared_ptr<Array>, std::shared_ptr<Object>>
      data;

  bool is_null() const { return std::holds_alternative<std::nullptr_t>(data); }
  bool boolean() const { return std::get<bool>(data); }
  double number() const { return std::get<double>(data); }
  const std::string& str() const { return std::get<std::string>(data); }
  const Array& array() const { return *std::get<std::shared_ptr<Array>>(data); }
  const Object& object() const { return *std::get<std::shared_ptr<Object>>(data); }
  const Value& operator[](const std::string& key) const { return object().at(key); }
  const Value& operator[](std::size_t index) const { return array().at(index); }
};

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  Value document() {
    Value value = parse_value();
    skip_space();
    if (pos_ != text_.size()) fail("text after the value");
    return value;
  }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw std::runtime_error("JSON: " + what + " at offset " + std::to_string(pos_));
  }
  void skip_space() {
    while (pos_ < text_.size() && std::string_view(" \t\r\n").find(text_[pos_]) != std::string_view::npos)
      ++pos_;
  }
  char next() {
    if (pos_ >= text_.size()) fail("unexpected end");
    return text_[pos_++];
  }
  void expect(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) fail("expected " + std::string(word));
    pos_ += word.size();
  }

  Value parse_value() {
    skip_space();
    if (pos_ >= text_.size()) fail("missing value");
    const char c = text_[pos_];
    if (c == '{') return {std::make_shared<Object>(parse_object())};
    if (c == '[') return {std::make_shared<Array>(parse_array())};
    if (c == '"') return {parse_string()};
    if (c == 't') return expect("true"), Value{true};
    if (c == 'f') return expect("false"), Value{false};
    if (c == 'n') return expect("null"), Value{nullptr};
    return {parse_number()};
  }

  Object parse_object() {
    Object object;
    expect("{");
    skip_space();
    if (pos_ < text_.size() && text_[pos_] == '}') return ++pos_, object;
    for (;;) {
      skip_space();
      std::string key = parse_string();
      skip_space();
      expect(":");
      object[key] = parse_value();
      skip_space();
      if (next() == '}') return object;
      --pos_;
      expect(",");
    }
  }

  Array parse_array() {
    Array array;
    expect("[");
    skip_space();
    if (pos_ < text_.size() && text_[pos_] == ']') return ++pos_, array;
    for (;;) {
      array.push_back(parse_value());
      skip_space();
      if (next() == ']') return array;
      --pos_;
      expect(",");
    }
  }

  std::string parse_string() {
    expect("\"");
    std::string out;
    for (;;) {
      const char c = next();
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) fail("raw control character in a string");
      if (c != '\\') {
        out += c;
        continue;
      }
      const char e = next();
      const std::string_view plain = "\"\\/bfnrt";
      const std::string_view meant = "\"\\/\b\f\n\r\t";
      if (const auto i = plain.find(e); i != std::string_view::npos) {
        out += meant[i];
      } else if (e == 'u') {
        append_utf8(out, parse_hex4());
      } else {
        fail("bad escape");
      }
    }
  }

  unsigned parse_hex4() {
    if (pos_ + 4 > text_.size()) fail("short \\u escape");
    const std::string digits(text_.substr(pos_, 4));
    char* end = nullptr;
    const unsigned long code = std::strtoul(digits.c_str(), &end, 16);
    if (end != digits.c_str() + 4) fail("bad \\u escape");
    pos_ += 4;
    return static_cast<unsigned>(code);
  }

  static void append_utf8(std::string& out, unsigned code) {
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | code >> 6);
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | code >> 12);
      out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }

  double parse_number() {
    const std::size_t start = pos_;
    while (pos_ < text_.size() &&
           std::string_view("+-0123456789.eE").find(text_[pos_]) != std::string_view::npos) {
      ++pos_;
    }
    const std::string number(text_.substr(start, pos_ - start));
    char* end = nullptr;
    const double value = std::strtod(number.c_str(), &end);
    if (number.empty() || end != number.c_str() + number.size()) fail("bad number");
    return value;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

inline Value parse(std::string_view text) {
  return Parser(text).document();
}

}  // namespace json_reader
