// Placeholder until source connection discovery lands.
#include "zyl/config/tether.h"

namespace zyl::config::tether {

SourceConnectionMap load_tether(const std::filesystem::path&) { return {}; }
void _extract_connections_from_file(const std::filesystem::path&, SourceConnectionMap&) {}
std::optional<Value> get_source_connection(const std::string& source_name,
                                           const SourceConnectionMap& tether) {
  const Value* v = tether.get(source_name);
  return v ? std::optional<Value>(*v) : std::nullopt;
}
std::vector<std::string> validate_tether(const SourceConnectionMap&, const Value&,
                                         const std::string&) {
  return {};
}

}  // namespace zyl::config::tether
