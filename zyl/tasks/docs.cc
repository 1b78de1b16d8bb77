#include "zyl/tasks/docs.h"

#include <vector>

#include "brek/place.h"
#include "core/log.h"
#include "core/text.h"

namespace zyl::tasks::docs {
namespace {

spdlog::logger& logger() {
  static spdlog::logger& l = log::get("zyl.tasks.docs");
  return l;
}

// Values of the config that must never reach a log line.
std::vector<std::string> secrets_of(const Value& config) {
  std::vector<std::string> secrets;
  if (!config.is_object()) return secrets;
  for (const auto& [key, value] : config.items()) {
    std::string k = text::to_lower(key);
    bool secret = k.find("pass") != std::string::npos || k.find("secret") != std::string::npos ||
                  k.find("token") != std::string::npos || k.find("key") != std::string::npos ||
                  k.find("credential") != std::string::npos;
    if (secret && is_set(value)) secrets.push_back(text_form(value));
  }
  return secrets;
}

}  // namespace

Value _get_output_config(const std::string& target_name, const Value& profiles,
                         const std::string& own_profile) {
  const Value* output = brek::find_output(profiles, own_profile, target_name);
  return output != nullptr ? *output : Value();
}

std::unique_ptr<drivers::Connection> _get_connection(const std::string& adapter_type,
                                                     const Value& target_config,
                                                     const std::filesystem::path& base_dir) {
  if (!target_config.is_object() || target_config.empty()) {
    logger().debug("zyl docs: no connection to {}: no output config", adapter_type);
    return nullptr;
  }
  Value config = target_config;
  if (!adapter_type.empty()) config["type"] = adapter_type;
  try {
    return drivers::open_connection(config, base_dir);
  } catch (const std::exception& e) {
    logger().debug("zyl docs: cannot connect to {}: {}", get_text(config, "type"),
                   text::redact(e.what(), secrets_of(config)));
    return nullptr;
  }
}

}  // namespace zyl::tasks::docs
