// The one compact JSON writer of the host: event lines on standard error and
// the application listing on standard output are both written with it.
//
// No whitespace outside strings; strings are UTF-8 copied unchanged except for
// the quotation mark, the backslash and the control bytes 0x00-0x1F; integers
// are unsigned decimal. The writer does not check that its calls form a valid
// document: callers build fixed shapes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace audio_host {

// Appends `text` as a JSON string, quotation marks included.
void append_json_string(std::string& out, std::string_view text);

class JsonWriter {
 public:
  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }

  // A member's key; the next value call writes its value.
  void key(std::string_view name);

  void string(std::string_view value);
  void number(std::uint64_t value);
  void boolean(bool value);

  const std::string& text() const& { return out_; }
  std::string text() && { return std::move(out_); }

 private:
  void open(char bracket);
  void close(char bracket);
  void before_value();

  std::string out_;
  // One entry per open object or array: whether it has an element yet.
  std::vector<bool> has_element_;
  bool after_key_ = false;
};

}  // namespace audio_host
