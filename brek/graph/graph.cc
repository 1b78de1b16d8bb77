#include "brek/graph/graph.h"

#include <fnmatch.h>

#include <cctype>
#include <deque>
#include <optional>
#include <stdexcept>
#include <unordered_map>

#include "core/text.h"

namespace brek {
namespace {

const std::vector<std::string> kNone;

// One criterion of a selector word: `[N]+method:value+[N]`, or `@value`.
struct Criterion {
  std::string text;    // the whole criterion, for messages
  std::string method;  // "" for the default (name / fqn / path)
  std::string value;
  std::optional<int> ancestors;  // depth; -1 for all
  std::optional<int> descendants;
  bool at = false;  // @x: x, its descendants and their ancestors
};

[[noreturn]] void bad(const std::string& text, const std::string& why) {
  throw std::invalid_argument("cannot read selector '" + text + "': " + why);
}

Criterion parse_criterion(const std::string& text) {
  Criterion c;
  c.text = text;
  std::string rest = text;
  if (!rest.empty() && rest[0] == '@') {
    c.at = true;
    rest.erase(0, 1);
  } else {
    size_t digits = 0;
    while (digits < rest.size() && std::isdigit(static_cast<unsigned char>(rest[digits]))) ++digits;
    if (digits < rest.size() && rest[digits] == '+') {
      c.ancestors = digits == 0 ? -1 : std::stoi(rest.substr(0, digits));
      rest.erase(0, digits + 1);
    }
  }
  size_t plus = rest.rfind('+');
  if (plus != std::string::npos) {
    std::string tail = rest.substr(plus + 1);
    bool all_digits = !tail.empty();
    for (char ch : tail) all_digits = all_digits && std::isdigit(static_cast<unsigned char>(ch));
    if (tail.empty() || all_digits) {
      if (c.at) bad(text, "'@' cannot be combined with '+'");
      c.descendants = tail.empty() ? -1 : std::stoi(tail);
      rest.erase(plus);
    }
  }
  size_t colon = rest.find(':');
  if (colon != std::string::npos) {
    c.method = rest.substr(0, colon);
    c.value = rest.substr(colon + 1);
    if (c.method.empty()) bad(text, "a method name is missing before ':'");
  } else {
    c.value = rest;
  }
  if (c.value.empty()) bad(text, "nothing to select");
  if (c.value[0] == '+' || c.value.back() == '+' || c.value[0] == '@') {
    bad(text, "misplaced '+' or '@'");
  }
  return c;
}

bool glob(const std::string& pattern, const std::string& text) {
  return fnmatch(pattern.c_str(), text.c_str(), 0) == 0;
}

// The default method: a node name, a dotted fqn prefix (with or without the package), or a
// path when the value looks like one.
bool fqn_matches(const std::string& value, const std::vector<std::string>& fqn) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    size_t dot = value.find('.', start);
    parts.push_back(
        value.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  auto prefix_at = [&](size_t offset) {
    if (fqn.size() < offset + parts.size()) return false;
    for (size_t i = 0; i < parts.size(); ++i) {
      if (!glob(parts[i], fqn[offset + i])) return false;
    }
    return true;
  };
  if (parts.size() == 1 && !fqn.empty() && glob(parts[0], fqn.back())) return true;
  return prefix_at(0) || prefix_at(1);
}

bool path_matches(std::string value, const std::string& file) {
  while (value.size() > 1 && value.back() == '/') value.pop_back();
  if (glob(value, file)) return true;
  return zyl::text::starts_with(file, value + "/") || (value == "." && !file.empty());
}

}  // namespace

Graph Graph::from_manifest(const Manifest& manifest) {
  Graph g;
  auto add = [&](const std::string& id) {
    if (!g.parents_.contains(id)) {
      g.ids_.push_back(id);
      g.parents_.set(id, {});
      g.children_.set(id, {});
    }
  };
  for (const auto& [id, _] : manifest.sources) add(id);
  for (const auto& [id, _] : manifest.nodes) add(id);
  for (const auto& [id, node] : manifest.nodes) {
    if (!node || !node->depends_on) continue;
    for (const auto& dep : node->depends_on->nodes) {
      add(dep);
      g.parents_[id].push_back(dep);
      g.children_[dep].push_back(id);
    }
  }
  return g;
}

const std::vector<std::string>& Graph::parents(const std::string& id) const {
  const auto* p = parents_.get(id);
  return p ? *p : kNone;
}

const std::vector<std::string>& Graph::children(const std::string& id) const {
  const auto* c = children_.get(id);
  return c ? *c : kNone;
}

ResourceTypeSelector::ResourceTypeSelector(const Graph& graph, const Manifest& manifest,
                                           const PreviousState* previous_state,
                                           std::vector<NodeType> resource_types)
    : graph_(graph),
      manifest_(manifest),
      previous_state_(previous_state),
      resource_types_(std::move(resource_types)) {}

std::set<std::string> ResourceTypeSelector::get_selected(const SelectionSpec& spec) const {
  std::set<std::string> chosen;
  bool any_select = false;
  for (const std::string& line : spec.select) {
    for (const std::string& word : split_words(line)) {
      any_select = true;
      for (const std::string& id : select_word(word)) chosen.insert(id);
    }
  }
  if (!any_select) chosen.insert(graph_.ids().begin(), graph_.ids().end());
  for (const std::string& line : spec.exclude) {
    for (const std::string& word : split_words(line)) {
      for (const std::string& id : select_word(word)) chosen.erase(id);
    }
  }
  std::set<std::string> out;
  for (const std::string& id : chosen) {
    if (has_resource_type(id)) out.insert(id);
  }
  return out;
}

std::vector<std::string> ResourceTypeSelector::split_words(const std::string& line) {
  std::vector<std::string> words;
  std::string current;
  for (char ch : line) {
    if (std::isspace(static_cast<unsigned char>(ch))) {
      if (!current.empty()) words.push_back(std::move(current));
      current.clear();
    } else {
      current += ch;
    }
  }
  if (!current.empty()) words.push_back(std::move(current));
  return words;
}

bool ResourceTypeSelector::has_resource_type(const std::string& id) const {
  if (resource_types_.empty()) return true;
  std::optional<NodeType> type;
  if (manifest_.find_source(id) != nullptr) {
    type = NodeType::Source;
  } else if (const Node* n = manifest_.find_node(id)) {
    if (n->resource_type) type = node_type_from_value(*n->resource_type);
  }
  if (!type) return false;
  for (NodeType t : resource_types_) {
    if (t == *type) return true;
  }
  return false;
}

std::set<std::string> ResourceTypeSelector::select_word(const std::string& word) const {
  std::set<std::string> result;
  bool first = true;
  size_t start = 0;
  while (true) {
    size_t comma = word.find(',', start);
    std::string part =
        word.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (part.empty()) bad(word, "empty part between commas");
    std::set<std::string> ids = select_criterion(part);
    if (first) {
      result = std::move(ids);
      first = false;
    } else {
      std::set<std::string> both;
      for (const std::string& id : result) {
        if (ids.contains(id)) both.insert(id);
      }
      result = std::move(both);
    }
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return result;
}

std::set<std::string> ResourceTypeSelector::select_criterion(const std::string& text) const {
  Criterion c = parse_criterion(text);
  std::set<std::string> base;
  const std::string& v = c.value;
  auto each_node = [&](auto&& keep) {
    for (const auto& [id, n] : manifest_.nodes) {
      if (n && keep(*n)) base.insert(id);
    }
  };
  auto each_source = [&](auto&& keep) {
    for (const auto& [id, s] : manifest_.sources) {
      if (s && keep(*s)) base.insert(id);
    }
  };
  auto has_tag = [&](const std::vector<std::string>& tags) {
    for (const std::string& t : tags) {
      if (glob(v, t)) return true;
    }
    return false;
  };
  if (c.method.empty()) {
    bool looks_like_path = v.find('/') != std::string::npos || zyl::text::ends_with(v, ".sql");
    each_node([&](const Node& n) {
      return looks_like_path ? path_matches(v, n.original_file_path) : fqn_matches(v, n.fqn);
    });
  } else if (c.method == "fqn") {
    each_node([&](const Node& n) { return fqn_matches(v, n.fqn); });
  } else if (c.method == "tag") {
    each_node([&](const Node& n) { return has_tag(n.tags); });
    each_source([&](const SourceNode& s) { return has_tag(s.tags); });
  } else if (c.method == "path") {
    each_node([&](const Node& n) { return path_matches(v, n.original_file_path); });
    each_source([&](const SourceNode& s) { return path_matches(v, s.original_file_path); });
  } else if (c.method == "source") {
    // The source tables named (`crm` or `crm.orders`) and the nodes that read them directly.
    size_t dot = v.find('.');
    std::string source_name = v.substr(0, dot);
    std::string table = dot == std::string::npos ? "*" : v.substr(dot + 1);
    each_source([&](const SourceNode& s) {
      return glob(source_name, s.source_name) && glob(table, s.name);
    });
    std::set<std::string> sources = base;
    for (const std::string& s : sources) {
      for (const std::string& child : graph_.children(s)) base.insert(child);
    }
  } else if (zyl::text::starts_with(c.method, "config.")) {
    std::string key = c.method.substr(7);
    if (key.empty()) bad(text, "a configuration key is missing after 'config.'");
    each_node([&](const Node& n) {
      if (key == "materialized") return glob(v, n.get_materialization());
      if (key == "target") return n.config.target && glob(v, *n.config.target);
      const zyl::Value* entry = zyl::find(n.config.entries, key);
      if (entry == nullptr) entry = zyl::find(n.config._extra, key);
      if (entry == nullptr) return false;
      if (entry->is_array()) {
        for (const zyl::Value& item : *entry) {
          if (glob(v, zyl::text_form(item))) return true;
        }
        return false;
      }
      return glob(v, zyl::text_form(*entry));
    });
  } else if (c.method == "state") {
    bad(text, "state-based selection is not supported");
  } else {
    bad(text, "unknown method '" + c.method + "' (known: tag, path, source, fqn, config.<key>)");
  }

  std::set<std::string> out = base;
  auto walk = [&](const std::set<std::string>& from, bool upward, int depth,
                  std::set<std::string>& into) {
    std::deque<std::pair<std::string, int>> queue;
    for (const std::string& id : from) queue.emplace_back(id, 0);
    std::set<std::string> seen(from.begin(), from.end());
    while (!queue.empty()) {
      auto [id, d] = queue.front();
      queue.pop_front();
      if (depth >= 0 && d >= depth) continue;
      for (const std::string& next : upward ? graph_.parents(id) : graph_.children(id)) {
        if (seen.insert(next).second) {
          into.insert(next);
          queue.emplace_back(next, d + 1);
        }
      }
    }
  };
  if (c.ancestors) walk(base, true, *c.ancestors, out);
  if (c.descendants) walk(base, false, *c.descendants, out);
  if (c.at) {
    std::set<std::string> down = base;
    walk(base, false, -1, down);
    out.insert(down.begin(), down.end());
    walk(down, true, -1, out);
  }
  return out;
}

}  // namespace brek
