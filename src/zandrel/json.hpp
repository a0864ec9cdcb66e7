// JSON text writing shared by the manifest, the sample-record metadata and the
// write profile. The written bytes are fixed: see each function.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zandrel::json {

// A finite double by the float text rule: shortest round-trip digits, fixed
// notation for decimal exponents -5..15 (always with a fraction: "1.0",
// "0.00001", "12.25"), exponent notation otherwise ("1e+16", "1.5e-7",
// "5e-324"), "0.0" and "-0.0" for zeros. NaN and infinities are written "null".
void write_float(std::string& out, double value);

void write_int(std::string& out, int64_t value);
void write_uint(std::string& out, uint64_t value);

// A JSON string: quote and backslash escaped, \b \t \n \f \r, other control
// bytes below 0x20 as \u00XX (lowercase hex), every other byte as is.
void write_string(std::string& out, std::string_view text);

// Pretty output with a two-space indent: an opening brace or bracket ends its
// line, each member or element on its own line, "key": value, an empty array
// as "[]", and no newline after the last closing brace.
//
// Usage: begin_object(); key("a"); uint_value(1); ... end_object().
class PrettyWriter {
 public:
  explicit PrettyWriter(std::string& out) : out_(out) {}

  void begin_object();
  void end_object();
  void begin_array();
  void end_array();
  void key(std::string_view name);

  void string_value(std::string_view text);
  void uint_value(uint64_t value);
  void int_value(int64_t value);
  void float_value(double value);
  void bool_value(bool value);
  void null_value();

 private:
  void before_value();  // the comma, newline and indent a new element needs
  void newline_indent();

  struct Level {
    bool is_object;
    bool empty = true;
  };
  std::string& out_;
  std::vector<Level> levels_;
  bool after_key_ = false;
};

}  // namespace zandrel::json
