#include "brek/nodes.h"

namespace brek {

zyl::Value NodeConfig::get(const std::string& key, zyl::Value fallback) const {
  const zyl::Value* v = zyl::find(entries, key);
  return v == nullptr ? fallback : *v;
}

std::string Node::get_materialization() const {
  const zyl::Value* v = zyl::find(config.entries, "materialized");
  if (v == nullptr || !v->is_string() || v->get_ref<const std::string&>().empty()) return "view";
  return v->get<std::string>();
}

Node* Manifest::find_node(const std::string& unique_id) const {
  const NodePtr* p = nodes.get(unique_id);
  return p == nullptr ? nullptr : p->get();
}

SourceNode* Manifest::find_source(const std::string& unique_id) const {
  const SourcePtr* p = sources.get(unique_id);
  return p == nullptr ? nullptr : p->get();
}

}  // namespace brek
