#include "zandrel/json.hpp"

#include <cassert>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace zandrel::json {

void write_float(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  if (value == 0.0) {
    out += std::signbit(value) ? "-0.0" : "0.0";
    return;
  }
  // The shortest round-trip digits in scientific form, e.g. "-1.2345e-07".
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  assert(ec == std::errc());
  std::string_view sci(buf, static_cast<size_t>(end - buf));

  if (sci.front() == '-') {
    out += '-';
    sci.remove_prefix(1);
  }
  const size_t e_pos = sci.find('e');
  assert(e_pos != std::string_view::npos);
  char digit_buf[24];  // d1 d2 ... dn without the point; at most 17 digits
  size_t digit_count = 0;
  for (char c : sci.substr(0, e_pos)) {
    if (c != '.') digit_buf[digit_count++] = c;
  }
  const std::string_view digits(digit_buf, digit_count);
  std::string_view exp_text = sci.substr(e_pos + 1);
  if (exp_text.front() == '+') exp_text.remove_prefix(1);
  int e = 0;
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), e);
  const int n = static_cast<int>(digits.size());

  if (e >= -5 && e <= 15) {
    if (n - 1 <= e) {  // integral: digits, zeros, ".0"
      out += digits;
      out.append(static_cast<size_t>(e + 1 - n), '0');
      out += ".0";
    } else if (e < 0) {  // "0.", zeros, digits
      out += "0.";
      out.append(static_cast<size_t>(-e - 1), '0');
      out += digits;
    } else {
      out += digits.substr(0, static_cast<size_t>(e + 1));
      out += '.';
      out += digits.substr(static_cast<size_t>(e + 1));
    }
    return;
  }
  out += digits[0];
  if (n > 1) {
    out += '.';
    out += digits.substr(1);
  }
  out += 'e';
  out += e < 0 ? '-' : '+';
  write_int(out, e < 0 ? -static_cast<int64_t>(e) : e);
}

void write_int(std::string& out, int64_t value) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  assert(ec == std::errc());
  out.append(buf, end);
}

void write_uint(std::string& out, uint64_t value) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  assert(ec == std::errc());
  out.append(buf, end);
}

void write_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  size_t run_start = 0;  // start of the bytes not yet copied
  for (size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x20 && byte != '"' && byte != '\\') continue;
    out.append(text, run_start, i - run_start);
    run_start = i + 1;
    switch (byte) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case 0x08: out += "\\b"; break;
      case 0x09: out += "\\t"; break;
      case 0x0A: out += "\\n"; break;
      case 0x0C: out += "\\f"; break;
      case 0x0D: out += "\\r"; break;
      default:
        out += "\\u00";
        out += kHex[byte >> 4];
        out += kHex[byte & 0xF];
    }
  }
  out.append(text, run_start);
  out += '"';
}

// ---------------------------------------------------------------------------
// PrettyWriter

void PrettyWriter::newline_indent() {
  out_ += '\n';
  out_.append(levels_.size() * 2, ' ');
}

void PrettyWriter::before_value() {
  if (after_key_) {  // the value of a member follows its "key": on the same line
    after_key_ = false;
    return;
  }
  if (levels_.empty()) return;  // the top-level value
  Level& level = levels_.back();
  assert(!level.is_object);  // object members go through key()
  if (!level.empty) out_ += ',';
  level.empty = false;
  newline_indent();
}

void PrettyWriter::begin_object() {
  before_value();
  out_ += '{';
  levels_.push_back(Level{/*is_object=*/true});
}

void PrettyWriter::end_object() {
  assert(!levels_.empty() && levels_.back().is_object && !after_key_);
  const bool empty = levels_.back().empty;
  levels_.pop_back();
  if (!empty) newline_indent();
  out_ += '}';
}

void PrettyWriter::begin_array() {
  before_value();
  out_ += '[';
  levels_.push_back(Level{/*is_object=*/false});
}

void PrettyWriter::end_array() {
  assert(!levels_.empty() && !levels_.back().is_object);
  const bool empty = levels_.back().empty;
  levels_.pop_back();
  if (!empty) newline_indent();
  out_ += ']';
}

void PrettyWriter::key(std::string_view name) {
  assert(!levels_.empty() && levels_.back().is_object && !after_key_);
  Level& level = levels_.back();
  if (!level.empty) out_ += ',';
  level.empty = false;
  newline_indent();
  write_string(out_, name);
  out_ += ": ";
  after_key_ = true;
}

void PrettyWriter::string_value(std::string_view text) {
  before_value();
  write_string(out_, text);
}

void PrettyWriter::uint_value(uint64_t value) {
  before_value();
  write_uint(out_, value);
}

void PrettyWriter::int_value(int64_t value) {
  before_value();
  write_int(out_, value);
}

void PrettyWriter::float_value(double value) {
  before_value();
  write_float(out_, value);
}

void PrettyWriter::bool_value(bool value) {
  before_value();
  out_ += value ? "true" : "false";
}

void PrettyWriter::null_value() {
  before_value();
  out_ += "null";
}

}  // namespace zandrel::json
