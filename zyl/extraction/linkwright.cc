#include "zyl/extraction/linkwright.h"

#include <algorithm>
#include <initializer_list>
#include <stdexcept>

#include "core/text.h"

namespace zyl::extraction::linkwright {
namespace {

using Keys = std::initializer_list<std::string_view>;

bool is_unreserved(unsigned char ch) {
  return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') ||
         ch == '-' || ch == '.' || ch == '_' || ch == '~';
}

std::string form_encode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    auto ch = static_cast<unsigned char>(c);
    if (is_unreserved(ch)) {
      out += c;
    } else if (ch == ' ') {
      out += '+';
    } else {
      out += '%';
      out += kHex[ch >> 4];
      out += kHex[ch & 0x0F];
    }
  }
  return out;
}

// `_safe` of the first present key, or `fallback` when none is present.
std::string safe_of(const Value& c, Keys keys, std::string_view fallback) {
  const Value* v = lookup(c, keys);
  return v ? _safe(*v) : std::string(fallback);
}

// `_quote` of the first present key, or the encoded `fallback` when none is present.
std::string quote_of(const Value& c, Keys keys, std::string_view fallback) {
  const Value* v = lookup(c, keys);
  return v ? _quote(*v) : form_encode(fallback);
}

// Appends name=<encoded value> when `key` holds a set value.
void add_param(std::vector<std::string>& params, std::string_view name, const Value& c,
               std::string_view key) {
  const Value* v = find(c, key);
  if (is_set(v)) params.push_back(std::string(name) + "=" + _quote(*v));
}

std::string with_query(std::string base, const std::vector<std::string>& params) {
  if (!params.empty()) base += "?" + text::join(params, "&");
  return base;
}

// Postgres-style sslmode: the modes that may fall back to plain text are pinned to "disable".
std::string pin_sslmode(std::string mode) {
  return (mode == "prefer" || mode == "allow") ? "disable" : mode;
}

// scheme + user ":" password "@" host ":" port "/" database: the shape shared by the network
// databases. Each component arrives already converted.
std::string network_url(std::string_view scheme, const std::string& user,
                        const std::string& password, const std::string& host,
                        const std::string& port, const std::string& database) {
  return std::string(scheme) + user + ":" + password + "@" + host + ":" + port + "/" + database;
}

// ---- masking ----

constexpr std::string_view kMask = "****";

int hex_digit(char h) {
  if (h >= '0' && h <= '9') return h - '0';
  if (h >= 'a' && h <= 'f') return h - 'a' + 10;
  if (h >= 'A' && h <= 'F') return h - 'A' + 10;
  return -1;
}

bool is_secret_name(std::string_view encoded_name) {
  // Names are compared decoded and lower-cased, so "Access%5FKey" is caught as well.
  std::string name;
  for (size_t i = 0; i < encoded_name.size(); ++i) {
    if (encoded_name[i] == '%' && i + 2 < encoded_name.size() &&
        hex_digit(encoded_name[i + 1]) >= 0 && hex_digit(encoded_name[i + 2]) >= 0) {
      name +=
          static_cast<char>(hex_digit(encoded_name[i + 1]) * 16 + hex_digit(encoded_name[i + 2]));
      i += 2;
    } else {
      name += encoded_name[i];
    }
  }
  name = text::to_lower(name);
  for (std::string_view word : {"pass", "pwd", "secret", "token", "key", "credential"}) {
    if (name.find(word) != std::string::npos) return true;
  }
  return false;
}

// Masks the values of secret parameters in `tail`. A parameter starts after every "?" or "&";
// a secret value runs to the next "&" (a raw "?" inside it is masked too), while the value of any
// other parameter is scanned on, so a secret hidden behind a stray "?" is still found.
std::string mask_query(std::string_view tail) {
  std::string out;
  size_t pos = 0;
  while (pos < tail.size()) {
    size_t sep = tail.find_first_of("?&", pos);
    if (sep == std::string_view::npos) break;
    size_t name_start = sep + 1;
    size_t eq = tail.find_first_of("=?&", name_start);
    if (eq == std::string_view::npos || tail[eq] != '=') {
      out.append(tail.substr(pos, name_start - pos));
      pos = name_start;
      continue;
    }
    out.append(tail.substr(pos, eq + 1 - pos));
    pos = eq + 1;
    if (!is_secret_name(tail.substr(name_start, eq - name_start))) continue;
    size_t value_end = tail.find('&', pos);
    if (value_end == std::string_view::npos) value_end = tail.size();
    if (value_end > pos) out.append(kMask);
    pos = value_end;
  }
  out.append(tail.substr(pos));
  return out;
}

}  // namespace

std::string _safe(const Value& val, std::string_view default_value) {
  if (val.is_null()) return std::string(default_value);
  return text_form(val);
}

std::string _quote(const Value& val) {
  if (val.is_null()) return "";
  return form_encode(text_form(val));
}

std::vector<std::string> supported_types() {
  std::vector<std::string> names;
  names.reserve(internal::MAPPERS.size());
  for (const auto& entry : internal::MAPPERS) names.emplace_back(entry.type);
  std::sort(names.begin(), names.end());
  return names;
}

std::string map_to_sling_url(const Value& output_config) {
  const Value* type = find(output_config, "type");
  if (!is_set(type)) throw std::invalid_argument("Output config must have a 'type' field");
  if (type->is_string()) {
    const auto& name = type->get_ref<const std::string&>();
    for (const auto& entry : internal::MAPPERS) {
      if (entry.type == name) return entry.mapper(output_config);
    }
  }
  throw std::invalid_argument("Unsupported adapter type '" + text_form(*type) +
                              "'. Supported: " + text::join(supported_types(), ", "));
}

std::string mask_url(std::string_view url) {
  size_t scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos) return mask_query(url);
  std::string_view scheme = url.substr(0, scheme_end);
  size_t rest = scheme_end + 3;
  std::string out(url.substr(0, rest));
  if (scheme != "duckdb" && scheme != "sqlite") {
    // Encoded user names and passwords hold no "@", so in our own URLs the user part ends at
    // the first one. A hand-written password may hold raw "@"s; taking the last "@" before the
    // path or query keeps all of it masked (at worst with a strange host).
    size_t first_at = url.find('@', rest);
    size_t at = std::string_view::npos;
    if (first_at != std::string_view::npos) {
      at = url.substr(0, url.find_first_of("/?", first_at)).rfind('@');
    }
    if (at != std::string_view::npos) {
      size_t colon = url.find(':', rest);
      if (colon < at) {
        out.append(url.substr(rest, colon + 1 - rest));
        if (at > colon + 1) out.append(kMask);
        out += '@';
        rest = at + 1;
      }
    }
  }
  return out + mask_query(url.substr(rest));
}

namespace internal {

std::string _map_postgres(const Value& c) {
  std::string url =
      network_url("postgres://", quote_of(c, {"user"}, ""), quote_of(c, {"password", "pass"}, ""),
                  safe_of(c, {"host"}, "localhost"), safe_of(c, {"port"}, "5432"),
                  safe_of(c, {"dbname", "database"}, ""));
  url += "?sslmode=" + pin_sslmode(safe_of(c, {"sslmode"}, "disable"));
  const Value* schema = find(c, "schema");
  if (is_set(schema)) url += "&search_path=" + _quote(*schema);
  return url;
}

std::string _map_redshift(const Value& c) {
  std::string url =
      network_url("redshift://", quote_of(c, {"user"}, ""), quote_of(c, {"password", "pass"}, ""),
                  safe_of(c, {"host"}, ""), safe_of(c, {"port"}, "5439"),
                  safe_of(c, {"dbname", "database"}, ""));
  return url + "?sslmode=" + pin_sslmode(safe_of(c, {"sslmode"}, "require"));
}

std::string _map_mysql(const Value& c) {
  return network_url("mysql://", quote_of(c, {"user", "username"}, ""),
                     quote_of(c, {"password", "pass"}, ""),
                     safe_of(c, {"host", "server"}, "localhost"), safe_of(c, {"port"}, "3306"),
                     safe_of(c, {"database", "schema"}, ""));
}

std::string _map_sqlserver(const Value& c) {
  std::string url =
      network_url("sqlserver://", quote_of(c, {"user"}, ""), quote_of(c, {"password", "pass"}, ""),
                  safe_of(c, {"host", "server"}, ""), safe_of(c, {"port"}, "1433"),
                  safe_of(c, {"database"}, ""));
  std::vector<std::string> params;
  const Value* encrypt = find(c, "encrypt");
  bool has_encrypt = encrypt != nullptr && !encrypt->is_null();
  if (has_encrypt) params.push_back("encrypt=" + text::to_lower(text_form(*encrypt)));
  const Value* trust = lookup(c, {"trust_cert", "TrustServerCertificate"});
  if (trust != nullptr && !trust->is_null()) {
    params.push_back("TrustServerCertificate=" + text::to_lower(text_form(*trust)));
  } else if (has_encrypt && !is_set(*encrypt)) {
    // Without encryption the server certificate cannot be checked; trust it explicitly.
    params.push_back("TrustServerCertificate=true");
  }
  return with_query(url, params);
}

std::string _map_oracle(const Value& c) {
  // The service name travels as a parameter; there is no path after the port.
  return "oracle://" + quote_of(c, {"user"}, "") + ":" + quote_of(c, {"password", "pass"}, "") +
         "@" + safe_of(c, {"host"}, "") + ":" + safe_of(c, {"port"}, "1521") +
         "?service_name=" + safe_of(c, {"service", "database"}, "");
}

std::string _map_trino(const Value& c) {
  // Trino authenticates outside the URL: no password is read.
  std::string url = "trino://" + quote_of(c, {"user"}, "") + "@" + safe_of(c, {"host"}, "") + ":" +
                    safe_of(c, {"port"}, "8080") + "/" + safe_of(c, {"catalog", "database"}, "");
  const Value* schema = find(c, "schema");
  if (is_set(schema)) url += "?schema=" + _quote(*schema);
  return url;
}

std::string _map_clickhouse(const Value& c) {
  return network_url("clickhouse://", quote_of(c, {"user", "username"}, "default"),
                     quote_of(c, {"password", "pass"}, ""), safe_of(c, {"host"}, "localhost"),
                     safe_of(c, {"port"}, "9000"), safe_of(c, {"database", "schema"}, "default"));
}

std::string _map_duckdb(const Value& c) {
  return "duckdb://" + safe_of(c, {"path", "database"}, ":memory:");
}

std::string _map_sqlite(const Value& c) {
  return "sqlite://" + safe_of(c, {"path", "database"}, "");
}

std::string _map_snowflake(const Value& c) {
  std::string base = "snowflake://" + quote_of(c, {"user"}, "") + ":" +
                     quote_of(c, {"password", "pass"}, "") + "@" + safe_of(c, {"account"}, "") +
                     "/" + safe_of(c, {"database"}, "");
  std::vector<std::string> params;
  add_param(params, "schema", c, "schema");
  add_param(params, "warehouse", c, "warehouse");
  add_param(params, "role", c, "role");
  return with_query(base, params);
}

std::string _map_bigquery(const Value& c) {
  // Credentials of the profile (keyfile, method, ...) are not read: Sling authenticates itself.
  std::string base = "bigquery://" + safe_of(c, {"project", "database"}, "");
  std::vector<std::string> params;
  std::string dataset = safe_of(c, {"dataset", "schema"}, "");
  if (!dataset.empty()) params.push_back("dataset=" + form_encode(dataset));
  add_param(params, "location", c, "location");
  return with_query(base, params);
}

std::string _map_databricks(const Value& c) {
  std::string http_path = safe_of(c, {"http_path"}, "");
  http_path.erase(0, http_path.find_first_not_of('/'));
  std::string base = "databricks://token:" + form_encode(safe_of(c, {"token"}, "")) + "@" +
                     safe_of(c, {"host"}, "") + ":" + safe_of(c, {"port"}, "443") + "/" + http_path;
  std::vector<std::string> params;
  add_param(params, "catalog", c, "catalog");
  add_param(params, "schema", c, "schema");
  return with_query(base, params);
}

std::string _map_s3(const Value& c) {
  std::vector<std::string> params;
  add_param(params, "region", c, "region");
  add_param(params, "access_key_id", c, "access_key_id");
  add_param(params, "secret_access_key", c, "secret_access_key");
  return with_query("s3://" + safe_of(c, {"bucket"}, ""), params);
}

std::string _map_gcs(const Value& c) {
  std::vector<std::string> params;
  add_param(params, "project", c, "project");
  return with_query("gs://" + safe_of(c, {"bucket"}, ""), params);
}

std::string _map_azure(const Value& c) {
  std::vector<std::string> params;
  add_param(params, "access_key", c, "access_key");
  return with_query("azure://" + safe_of(c, {"account"}, "") + "/" + safe_of(c, {"container"}, ""),
                    params);
}

}  // namespace internal
}  // namespace zyl::extraction::linkwright
