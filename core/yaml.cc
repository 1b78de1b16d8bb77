#include "core/yaml.h"

#include <yaml.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <unordered_map>
#include <vector>

namespace zyl::yaml {
namespace {

constexpr int kMaxDepth = 256;
// Aliases are copied into values, so a small file of nested aliases ("billion laughs") could
// expand without bound. Every node of a document without aliases takes at least one byte of
// text, so the values produced are capped relative to the text's size, with room for ordinary
// alias use: in nodes, and in the bytes of scalar text (an alias of one long scalar, repeated,
// is few nodes but many bytes).
struct Budget {
  size_t nodes;
  size_t bytes;
};
Budget budget_for(size_t text_size) {
  return {100'000 + 2 * text_size, (size_t{4} << 20) + 4 * text_size};
}

// A plain scalar that reads as a number too large for a double.
class NumberOutOfRange : public std::out_of_range {
 public:
  explicit NumberOutOfRange(const std::string& text)
      : std::out_of_range("number '" + text + "' is beyond the range of a double") {}
};

double checked_double(const std::string& text) {
  errno = 0;
  double value = std::strtod(text.c_str(), nullptr);
  if (errno == ERANGE && std::isinf(value)) throw NumberOutOfRange(text);
  return value;
}

bool all_of(std::string_view s, size_t from, bool (*pred)(char)) {
  if (from >= s.size()) return false;
  for (size_t i = from; i < s.size(); ++i) {
    if (!pred(s[i])) return false;
  }
  return true;
}
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_octal(char c) { return c >= '0' && c <= '7'; }
bool is_hex(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

Value integer_value(const std::string& digits, int base, bool negative, const std::string& text) {
  errno = 0;
  unsigned long long magnitude = std::strtoull(digits.c_str(), nullptr, base);
  if (errno == ERANGE) return Value(checked_double(text));
  if (negative) {
    if (magnitude > static_cast<unsigned long long>(std::numeric_limits<std::int64_t>::max()) + 1ULL) {
      return Value(-static_cast<double>(magnitude));
    }
    return Value(static_cast<std::int64_t>(0ULL - magnitude));
  }
  if (magnitude > static_cast<unsigned long long>(std::numeric_limits<std::int64_t>::max())) {
    return Value(static_cast<std::uint64_t>(magnitude));
  }
  return Value(static_cast<std::int64_t>(magnitude));
}

bool is_core_float(std::string_view s) {
  size_t i = 0;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
  size_t int_digits = 0, frac_digits = 0;
  while (i < s.size() && is_digit(s[i])) ++i, ++int_digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && is_digit(s[i])) ++i, ++frac_digits;
  }
  if (int_digits == 0 && frac_digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
    size_t exp_digits = 0;
    while (i < s.size() && is_digit(s[i])) ++i, ++exp_digits;
    if (exp_digits == 0) return false;
  }
  return i == s.size();
}

// Builds the first document of a libyaml event stream into a Value. Containers are kept on an
// explicit stack, so nesting is bounded by kMaxDepth and never by the call stack.
class Builder {
 public:
  Builder(const std::string& source, Budget budget) : source_(source), budget_(budget) {}

  // Returns false once the document is complete.
  bool take(const yaml_event_t& event) {
    int line = static_cast<int>(event.start_mark.line) + 1;
    switch (event.type) {
      case YAML_SCALAR_EVENT: {
        count(1, event.data.scalar.length, line);
        std::string text(reinterpret_cast<const char*>(event.data.scalar.value),
                         event.data.scalar.length);
        Value value = scalar_value(event, text, line);
        remember(event.data.scalar.anchor, value, &text, 1, text.size(), 0);
        deliver(std::move(value), &text, 0);
        return true;
      }
      case YAML_SEQUENCE_START_EVENT:
      case YAML_MAPPING_START_EVENT: {
        count(1, 0, line);
        if (stack_.size() >= static_cast<size_t>(kMaxDepth)) {
          throw YamlError(source_, line, "document nested too deeply");
        }
        bool is_map = event.type == YAML_MAPPING_START_EVENT;
        const yaml_char_t* anchor =
            is_map ? event.data.mapping_start.anchor : event.data.sequence_start.anchor;
        Frame frame;
        frame.value = is_map ? Value::object() : Value::array();
        frame.is_map = is_map;
        if (anchor) frame.anchor = reinterpret_cast<const char*>(anchor);
        frame.first_node = nodes_ - 1;  // the container counts itself
        frame.first_byte = bytes_;
        stack_.push_back(std::move(frame));
        return true;
      }
      case YAML_SEQUENCE_END_EVENT:
      case YAML_MAPPING_END_EVENT: {
        Frame frame = std::move(stack_.back());
        stack_.pop_back();
        int height = frame.height + 1;
        if (!frame.anchor.empty()) {
          anchors_[frame.anchor] = Anchored{frame.value, std::nullopt, nodes_ - frame.first_node,
                                            bytes_ - frame.first_byte, height};
        }
        deliver(std::move(frame.value), nullptr, height);
        return true;
      }
      case YAML_ALIAS_EVENT: {
        std::string name(reinterpret_cast<const char*>(event.data.alias.anchor));
        auto it = anchors_.find(name);
        if (it == anchors_.end()) throw YamlError(source_, line, "unknown alias '" + name + "'");
        const Anchored& anchored = it->second;
        count(anchored.nodes, anchored.bytes, line);
        if (stack_.size() + static_cast<size_t>(anchored.height) > static_cast<size_t>(kMaxDepth)) {
          throw YamlError(source_, line, "document nested too deeply");
        }
        deliver(Value(anchored.value), anchored.raw ? &*anchored.raw : nullptr, anchored.height);
        return true;
      }
      case YAML_DOCUMENT_END_EVENT:
      case YAML_STREAM_END_EVENT:
        return false;
      default:
        return true;
    }
  }

  Value result() { return std::move(root_); }

 private:
  struct Frame {
    Value value;
    bool is_map = false;
    std::optional<std::string> key;  // a map's key waiting for its value
    std::string anchor;
    size_t first_node = 0;
    size_t first_byte = 0;
    int height = 0;  // of the tallest child
  };
  // An anchored node and what one copy of it costs: its nodes and the bytes of its scalars,
  // copies of aliases inside it included.
  struct Anchored {
    Value value;
    std::optional<std::string> raw;  // the text of a scalar, used when it is a key
    size_t nodes = 0;
    size_t bytes = 0;
    int height = 0;
  };

  // Plain scalars are resolved; quoted and block scalars are strings. Tags are not honoured:
  // a tagged scalar counts as plain, but for the string tag (and the non-specific "!").
  Value scalar_value(const yaml_event_t& event, const std::string& text, int line) const {
    const char* tag = reinterpret_cast<const char*>(event.data.scalar.tag);
    bool plain = event.data.scalar.style == YAML_PLAIN_SCALAR_STYLE;
    if (tag) {
      std::string_view t(tag);
      plain = !(t == "!" || t == "tag:yaml.org,2002:str");
    }
    if (!plain) return Value(text);
    try {
      return resolve_plain_scalar(text);
    } catch (const NumberOutOfRange& e) {
      throw YamlError(source_, line, e.what());
    }
  }

  void count(size_t nodes, size_t bytes, int line) {
    nodes_ += nodes;
    bytes_ += bytes;
    if (nodes_ > budget_.nodes || bytes_ > budget_.bytes) {
      throw YamlError(source_, line, "document too large once aliases are expanded");
    }
  }

  void remember(const yaml_char_t* anchor, const Value& value, const std::string* raw, size_t nodes,
                size_t bytes, int height) {
    if (!anchor) return;
    anchors_[reinterpret_cast<const char*>(anchor)] = Anchored{
        value, raw ? std::optional<std::string>(*raw) : std::nullopt, nodes, bytes, height};
  }

  // Hands a finished node to its parent: an item of a list, a key of a map (scalars by their
  // text, other nodes by their text form) or the value of the waiting key.
  void deliver(Value value, const std::string* raw, int height) {
    if (stack_.empty()) {
      root_ = std::move(value);
      return;
    }
    Frame& parent = stack_.back();
    parent.height = std::max(parent.height, height);
    if (!parent.is_map) {
      parent.value.push_back(std::move(value));
    } else if (!parent.key) {
      parent.key = raw ? *raw : text_form(value);
    } else {
      parent.value[*parent.key] = std::move(value);
      parent.key.reset();
    }
  }

  const std::string& source_;
  Budget budget_;
  size_t nodes_ = 0;
  size_t bytes_ = 0;
  std::vector<Frame> stack_;
  std::unordered_map<std::string, Anchored> anchors_;
  Value root_;
};

class Parser {
 public:
  Parser() {
    if (!yaml_parser_initialize(&parser_)) throw std::bad_alloc();
  }
  ~Parser() { yaml_parser_delete(&parser_); }
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;
  yaml_parser_t* get() { return &parser_; }

 private:
  yaml_parser_t parser_;
};

class Event {
 public:
  Event() = default;
  ~Event() { yaml_event_delete(&event_); }
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  yaml_event_t* get() { return &event_; }

 private:
  yaml_event_t event_{};
};

}  // namespace

YamlError::YamlError(const std::string& source, int line, const std::string& message)
    : std::runtime_error(line > 0 ? source + ":" + std::to_string(line) + ": " + message
                                  : source + ": " + message),
      source_(source),
      line_(line) {}

Value resolve_plain_scalar(const std::string& s) {
  if (s.empty() || s == "~" || s == "null" || s == "Null" || s == "NULL") return Value(nullptr);
  if (s == "true" || s == "True" || s == "TRUE") return Value(true);
  if (s == "false" || s == "False" || s == "FALSE") return Value(false);
  bool negative = s[0] == '-';
  size_t start = (s[0] == '-' || s[0] == '+') ? 1 : 0;
  if (all_of(s, start, is_digit)) return integer_value(s.substr(start), 10, negative, s);
  if (s.size() > 2 && s[0] == '0' && s[1] == 'o' && all_of(s, 2, is_octal)) {
    return integer_value(s.substr(2), 8, false, s);
  }
  if (s.size() > 2 && s[0] == '0' && s[1] == 'x' && all_of(s, 2, is_hex)) {
    return integer_value(s.substr(2), 16, false, s);
  }
  std::string_view body = std::string_view(s).substr(start);
  if (body == ".inf" || body == ".Inf" || body == ".INF") {
    return Value(negative ? -std::numeric_limits<double>::infinity()
                          : std::numeric_limits<double>::infinity());
  }
  if (s == ".nan" || s == ".NaN" || s == ".NAN") return Value(std::numeric_limits<double>::quiet_NaN());
  if (is_core_float(s)) return Value(checked_double(s));
  return Value(s);
}

Value parse(std::string_view text, std::string_view source_name) {
  std::string source(source_name);
  Parser parser;
  yaml_parser_set_input_string(parser.get(), reinterpret_cast<const unsigned char*>(text.data()),
                               text.size());
  Builder builder(source, budget_for(text.size()));
  for (;;) {
    Event event;
    if (!yaml_parser_parse(parser.get(), event.get())) {
      const yaml_parser_t& p = *parser.get();
      std::string message = p.problem ? p.problem : "malformed YAML";
      if (p.context) message = std::string(p.context) + ": " + message;
      // Errors of the reader (bad bytes) carry an offset, the others a mark.
      size_t line = p.problem_mark.line + 1;
      if (p.error == YAML_READER_ERROR) {
        std::string_view before = text.substr(0, std::min(p.problem_offset, text.size()));
        line = static_cast<size_t>(std::count(before.begin(), before.end(), '\n')) + 1;
      }
      throw YamlError(source, static_cast<int>(line), message);
    }
    if (!builder.take(*event.get())) break;
  }
  return builder.result();
}

Value load_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) throw std::runtime_error("cannot read " + path.string());
  return parse(buffer.str(), path.string());
}

}  // namespace zyl::yaml
