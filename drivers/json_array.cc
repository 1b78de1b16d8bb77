#include "drivers/json_array.h"

#include <cstdint>

namespace zyl::drivers {
namespace {

class Rewriter {
 public:
  Rewriter(std::string_view in, const ListSyntax& syntax) : in_(in), syntax_(syntax) {}

  std::optional<std::string> run() {
    skip_blanks();
    if (!peek('[') || !array()) return std::nullopt;
    skip_blanks();
    if (pos_ != in_.size()) return std::nullopt;
    return std::move(out_);
  }

 private:
  bool peek(char c) const { return pos_ < in_.size() && in_[pos_] == c; }
  void skip_blanks() {
    while (pos_ < in_.size() &&
           (in_[pos_] == ' ' || in_[pos_] == '\t' || in_[pos_] == '\n' || in_[pos_] == '\r')) {
      ++pos_;
    }
  }

  bool array() {
    ++pos_;  // '['
    out_ += syntax_.open;
    skip_blanks();
    if (peek(']')) {
      ++pos_;
      out_ += syntax_.close;
      return true;
    }
    for (bool first = true;; first = false) {
      if (!first) out_ += syntax_.separator;
      skip_blanks();
      if (!value()) return false;
      skip_blanks();
      if (peek(',')) {
        ++pos_;
        continue;
      }
      if (!peek(']')) return false;
      ++pos_;
      out_ += syntax_.close;
      return true;
    }
  }

  bool value() {
    if (pos_ >= in_.size()) return false;
    char c = in_[pos_];
    if (c == '[') return array();
    if (c == '"') {
      std::string text;
      if (!string(text)) return false;
      quoted(text);
      return true;
    }
    if (c == '{') {
      size_t start = pos_;
      if (!skip_object()) return false;
      quoted(in_.substr(start, pos_ - start));
      return true;
    }
    size_t start = pos_;
    while (pos_ < in_.size() && in_[pos_] != ',' && in_[pos_] != ']' && in_[pos_] != ' ' &&
           in_[pos_] != '\t' && in_[pos_] != '\n' && in_[pos_] != '\r') {
      ++pos_;
    }
    std::string_view token = in_.substr(start, pos_ - start);
    if (token.empty() || token.find_first_of("\"{}[:") != std::string_view::npos) return false;
    if (token == "null") {
      out_ += syntax_.null;
    } else if (syntax_.quote_scalars) {
      quoted(token);
    } else {
      out_ += token;
    }
    return true;
  }

  void quoted(std::string_view text) {
    out_ += syntax_.quote;
    for (char c : text) {
      if (syntax_.escape_controls && control(c)) continue;
      if (c == syntax_.quote || c == '\\') out_ += '\\';
      out_ += c;
    }
    out_ += syntax_.quote;
  }

  // Appends the escape of a control character; false for any other character.
  bool control(char c) {
    static constexpr std::string_view kRaw("\n\t\r\0\b\f", 6);
    static constexpr std::string_view kEscaped = "ntr0bf";
    size_t at = kRaw.find(c);
    if (at == std::string_view::npos) return false;
    out_ += '\\';
    out_ += kEscaped[at];
    return true;
  }

  // Moves past an object (to just after its '}'), strings inside included.
  bool skip_object() {
    int depth = 0;
    while (pos_ < in_.size()) {
      char c = in_[pos_];
      if (c == '"') {
        std::string ignored;
        if (!string(ignored)) return false;
        continue;
      }
      ++pos_;
      if (c == '{' || c == '[') ++depth;
      if ((c == '}' || c == ']') && --depth == 0) return true;
    }
    return false;
  }

  static int hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  bool code_unit(std::uint32_t& unit) {
    if (pos_ + 4 > in_.size()) return false;
    unit = 0;
    for (int i = 0; i < 4; ++i) {
      int h = hex(in_[pos_++]);
      if (h < 0) return false;
      unit = unit * 16 + static_cast<std::uint32_t>(h);
    }
    return true;
  }

  static void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  // A JSON string at pos_, decoded into `text`.
  bool string(std::string& text) {
    ++pos_;  // '"'
    while (pos_ < in_.size()) {
      char c = in_[pos_++];
      if (c == '"') return true;
      if (c != '\\') {
        text += c;
        continue;
      }
      if (pos_ >= in_.size()) return false;
      char e = in_[pos_++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          text += e;
          break;
        case 'b':
          text += '\b';
          break;
        case 'f':
          text += '\f';
          break;
        case 'n':
          text += '\n';
          break;
        case 'r':
          text += '\r';
          break;
        case 't':
          text += '\t';
          break;
        case 'u': {
          std::uint32_t unit;
          if (!code_unit(unit)) return false;
          if (unit >= 0xD800 && unit <= 0xDBFF) {
            std::uint32_t low;
            if (in_.substr(pos_, 2) != "\\u") return false;
            pos_ += 2;
            if (!code_unit(low) || low < 0xDC00 || low > 0xDFFF) return false;
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
          }
          append_utf8(text, unit);
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }

  std::string_view in_;
  const ListSyntax& syntax_;
  size_t pos_ = 0;
  std::string out_;
};

}  // namespace

std::optional<std::string> json_array_to(std::string_view json, const ListSyntax& syntax) {
  return Rewriter(json, syntax).run();
}

}  // namespace zyl::drivers
