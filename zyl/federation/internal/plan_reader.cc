#include "zyl/federation/internal/plan_reader.h"

#include <stdexcept>

namespace zyl::federation::optimizer::internal {
namespace {

// A limit on its way down the plan; `order` indexes the current node's output columns.
struct Pending {
  long long limit = 0;
  std::vector<ScanOrder> order;
};

const Value& member(const Value& node, const char* key) {
  static const Value kNull;
  if (!node.is_object()) return kNull;
  auto it = node.find(key);
  return it == node.end() ? kNull : *it;
}

std::string text_of(const Value& node, const char* key) {
  const Value& v = member(node, key);
  return v.is_string() ? v.get<std::string>() : "";
}

std::optional<std::size_t> index_of(const Value& v) {
  if (!v.is_number_unsigned() && !v.is_number_integer()) return std::nullopt;
  if (v.is_number_integer() && v.get<long long>() < 0) return std::nullopt;
  return v.get<std::size_t>();
}

// The child output column an expression reads when it is a plain column reference.
std::optional<std::size_t> bound_ref(const Value& expression) {
  if (text_of(expression, "expression_class") != "BOUND_REF") return std::nullopt;
  return index_of(member(expression, "index"));
}

std::optional<long long> constant_of(const Value& limit_value) {
  std::string type = text_of(limit_value, "type");
  if (type == "UNSET") return 0;
  if (type != "CONSTANT_VALUE") return std::nullopt;
  const Value& n = member(limit_value, "constant_integer");
  if (!n.is_number_integer() && !n.is_number_unsigned()) return std::nullopt;
  return n.get<long long>();
}

std::optional<Pending> limit_of(const Value& node) {
  std::optional<long long> limit = constant_of(member(node, "limit_val"));
  std::optional<long long> offset = constant_of(member(node, "offset_val"));
  if (!limit || !offset || *limit < 0 || *offset < 0) return std::nullopt;
  return Pending{*limit + *offset, {}};
}

std::optional<Pending> top_n_of(const Value& node) {
  const Value& limit = member(node, "limit");
  const Value& offset = member(node, "offset");
  if (!limit.is_number_integer() || !offset.is_number_integer()) return std::nullopt;
  Pending pending{limit.get<long long>() + offset.get<long long>(), {}};
  for (const auto& order : member(node, "orders")) {
    std::optional<std::size_t> column = bound_ref(member(order, "expression"));
    std::string direction = text_of(order, "type");
    std::string nulls = text_of(order, "null_order");
    if (!column || (direction != "ASCENDING" && direction != "DESCENDING") ||
        (nulls != "NULLS FIRST" && nulls != "NULLS LAST")) {
      return std::nullopt;
    }
    pending.order.push_back({*column, direction == "DESCENDING", nulls == "NULLS FIRST"});
  }
  if (pending.order.empty()) return std::nullopt;
  return pending;
}

// The pending limit seen from below a projection: order keys follow plain column references.
std::optional<Pending> through_projection(const Value& node, Pending pending) {
  const Value& expressions = member(node, "expressions");
  for (auto& key : pending.order) {
    if (!expressions.is_array() || key.column >= expressions.size()) return std::nullopt;
    std::optional<std::size_t> child = bound_ref(expressions[key.column]);
    if (!child) return std::nullopt;
    key.column = *child;
  }
  return pending;
}

// The table column behind output column `output` of a scan.
std::optional<std::size_t> table_column(const Value& get, std::size_t output) {
  const Value& projection = member(get, "projection_ids");
  const Value& indexes = member(get, "column_indexes");
  std::size_t at = output;
  if (projection.is_array() && !projection.empty()) {
    if (output >= projection.size()) return std::nullopt;
    std::optional<std::size_t> p = index_of(projection[output]);
    if (!p) return std::nullopt;
    at = *p;
  }
  if (!indexes.is_array() || at >= indexes.size()) return std::nullopt;
  return index_of(member(indexes[at], "index"));
}

void limit_scan(const Value& get, const Pending& pending, Scan& scan) {
  std::vector<ScanOrder> order;
  for (const auto& key : pending.order) {
    std::optional<std::size_t> column = table_column(get, key.column);
    if (!column) return;
    order.push_back({*column, key.descending, key.nulls_first});
  }
  scan.limit = pending.limit;
  scan.order = std::move(order);
}

// Filters the top-n and join operators fill in while running: they hold no condition of the
// query, only a bound that tightens as rows arrive.
bool is_runtime_filter(const Value& filter) {
  std::string type = text_of(filter, "filter_type");
  if (type == "OPTIONAL_FILTER") return is_runtime_filter(member(filter, "child_filter"));
  return type == "DYNAMIC_FILTER";
}

void read_get(const Value& get, const std::optional<Pending>& pending, std::vector<Scan>& out) {
  std::string table = text_of(member(get, "function_data"), "table");
  if (text_of(get, "name") != "seq_scan" || table.empty()) return;
  std::size_t width = member(get, "names").size();
  Scan scan;
  scan.table = table;
  for (const auto& entry : member(get, "column_indexes")) {
    std::optional<std::size_t> column = index_of(member(entry, "index"));
    if (column && *column < width) scan.columns.push_back(*column);
  }
  for (const auto& filter : member(member(get, "table_filters"), "filters")) {
    std::optional<std::size_t> column = index_of(member(filter, "key"));
    if (!column || *column >= width) throw std::runtime_error("plan: filter on an unknown column");
    if (is_runtime_filter(member(filter, "value"))) continue;
    scan.filters.emplace_back(*column, member(filter, "value"));
  }
  if (pending && scan.filters.empty()) limit_scan(get, *pending, scan);
  out.push_back(std::move(scan));
}

void walk(const Value& node, std::optional<Pending> pending, std::vector<Scan>& out) {
  std::string type = text_of(node, "type");
  if (type == "LOGICAL_GET") return read_get(node, pending, out);
  const Value& children = member(node, "children");
  if (type == "LOGICAL_LIMIT") {
    pending = limit_of(node);
  } else if (type == "LOGICAL_TOP_N") {
    pending = top_n_of(node);
  } else if (type == "LOGICAL_PROJECTION" && pending) {
    pending = through_projection(node, std::move(*pending));
  } else {
    pending.reset();
  }
  if (children.size() != 1) pending.reset();
  for (const auto& child : children) walk(child, pending, out);
}

}  // namespace

std::vector<Scan> read_scans(const Value& plan) {
  if (member(plan, "error").is_boolean() && member(plan, "error").get<bool>()) {
    std::string message = text_of(plan, "error_message");
    throw std::runtime_error(message.empty() ? "the plan reports an error" : message);
  }
  const Value& plans = member(plan, "plans");
  if (!plans.is_array()) throw std::runtime_error("plan: no plans");
  std::vector<Scan> out;
  for (const auto& root : plans) walk(root, std::nullopt, out);
  return out;
}

}  // namespace zyl::federation::optimizer::internal
