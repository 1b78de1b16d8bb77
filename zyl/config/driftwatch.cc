#include "zyl/config/driftwatch.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <string_view>
#include <system_error>

namespace zyl::config::driftwatch {

const std::map<std::string, std::vector<std::string>> ADAPTER_HOSTNAME_FIELD = {
    {"postgres", {"host"}},
    {"redshift", {"host"}},
    {"mysql", {"host", "server"}},
    {"mariadb", {"host", "server"}},
    {"sqlserver", {"host", "server"}},
    {"oracle", {"host"}},
    {"snowflake", {"account"}},
    {"bigquery", {"project"}},
    {"databricks", {"host"}},
    {"duckdb", {"path", "database"}},
    {"spark", {"host"}},
    {"clickhouse", {"host"}},
    {"trino", {"host"}},
    {"sqlite", {"path", "database"}},
    {"fabric", {"host", "server"}},
};

namespace {

namespace fs = std::filesystem;

constexpr std::array<std::string_view, 8> kPortQualifiedTypes = {
    "postgres", "redshift", "mysql", "mariadb", "sqlserver", "oracle", "clickhouse", "trino"};

const std::vector<std::string> kDefaultFields = {"host"};

fs::path state_dir(const fs::path& project_dir) { return project_dir / ".zyl"; }

bool is_port_qualified(std::string_view adapter_type) {
  for (std::string_view t : kPortQualifiedTypes) {
    if (t == adapter_type) return true;
  }
  return false;
}

bool write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Creates a fresh temporary file beside `target` (mode 0666 less the umask, like a plain
// create). Returns the descriptor, or -1 with `tmp` unspecified.
int create_temp_beside(const fs::path& target, fs::path& tmp) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 16; ++attempt) {
    tmp = target;
    tmp += "." + std::to_string(::getpid()) + "." + std::to_string(counter++) + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

}  // namespace

std::string get_hostname(const Value& output_config) {
  std::string adapter_type = get_text(output_config, "type");
  auto entry = ADAPTER_HOSTNAME_FIELD.find(adapter_type);
  const std::vector<std::string>& fields =
      entry == ADAPTER_HOSTNAME_FIELD.end() ? kDefaultFields : entry->second;
  std::string host;
  for (const std::string& key : fields) {
    const Value* v = find(output_config, key);
    if (is_set(v)) {
      host = text_form(*v);
      break;
    }
  }
  if (host.empty()) return host;
  const Value* port = find(output_config, "port");
  if (is_set(port) && is_port_qualified(adapter_type)) return host + ":" + text_form(*port);
  return host;
}

std::optional<Value> load_driftwatch(const fs::path& project_dir) {
  fs::path path = state_dir(project_dir) / "state.json";
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  Value parsed = Value::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_object()) return std::nullopt;  // also a parse failure ("discarded")
  return parsed;
}

void save_driftwatch(const fs::path& project_dir, const std::string& target_name,
                     const std::string& adapter_type, const std::string& hostname) {
  fs::path dir = state_dir(project_dir);
  fs::create_directories(dir);  // throws filesystem_error; passes to the caller
  fs::path path = dir / "state.json";

  Value record = Value::object();
  record["name"] = target_name;
  record["type"] = adapter_type;
  record["hostname"] = hostname;
  std::string text =
      record.dump(2, ' ', /*ensure_ascii=*/true, Value::error_handler_t::replace);

  fs::path tmp;
  int fd = create_temp_beside(path, tmp);
  if (fd < 0) return;
  bool ok = write_all(fd, text) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  std::error_code ec;
  if (ok) fs::rename(tmp, path, ec);
  if (!ok || ec) fs::remove(tmp, ec);
}

std::vector<std::string> check_target_changes(const fs::path& project_dir,
                                              const std::string& current_target,
                                              const Value& current_config) {
  std::vector<std::string> warnings;
  std::string current_type = get_text(current_config, "type");
  std::string current_hostname = get_hostname(current_config);

  std::optional<Value> prev_state = load_driftwatch(project_dir);
  if (prev_state && is_set(*prev_state)) {
    std::string prev_type = get_text(*prev_state, "type");
    std::string prev_hostname = get_text(*prev_state, "hostname");
    if (!prev_type.empty() && !current_type.empty() && prev_type != current_type) {
      warnings.push_back("ZYL008: Default target adapter type changed from '" + prev_type +
                         "' to '" + current_type + "'. You need to migrate all pushdown models " +
                         "from " + prev_type + " dialect to " + current_type + " dialect.");
    } else if (prev_type == current_type && !prev_hostname.empty() &&
               !current_hostname.empty() && prev_hostname != current_hostname) {
      warnings.push_back("ZYL009: Default target hostname changed from '" + prev_hostname +
                         "' to '" + current_hostname + "' (same adapter type '" + current_type +
                         "'). If you have sources on the old instance, add connection: to "
                         "those source definitions pointing to the old target.");
    }
  }
  save_driftwatch(project_dir, current_target, current_type, current_hostname);
  return warnings;
}

}  // namespace zyl::config::driftwatch
