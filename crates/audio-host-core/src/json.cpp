#include "json.h"

namespace audio_host {

void append_json_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (byte) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case 0x08:
        out += "\\b";
        break;
      case 0x09:
        out += "\\t";
        break;
      case 0x0A:
        out += "\\n";
        break;
      case 0x0C:
        out += "\\f";
        break;
      case 0x0D:
        out += "\\r";
        break;
      default:
        if (byte < 0x20) {
          out += "\\u00";
          out.push_back(kHex[byte >> 4]);
          out.push_back(kHex[byte & 0x0F]);
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
}

void JsonWriter::before_value() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (!has_element_.empty()) {
    if (has_element_.back()) {
      out_.push_back(',');
    }
    has_element_.back() = true;
  }
}

void JsonWriter::open(char bracket) {
  before_value();
  out_.push_back(bracket);
  has_element_.push_back(false);
}

void JsonWriter::close(char bracket) {
  out_.push_back(bracket);
  has_element_.pop_back();
}

void JsonWriter::key(std::string_view name) {
  before_value();
  append_json_string(out_, name);
  out_.push_back(':');
  after_key_ = true;
}

void JsonWriter::string(std::string_view value) {
  before_value();
  append_json_string(out_, value);
}

void JsonWriter::number(std::uint64_t value) {
  before_value();
  out_ += std::to_string(value);
}

void JsonWriter::boolean(bool value) {
  before_value();
  out_ += value ? "true" : "false";
}

}  // namespace audio_host
