// Turns one output of profiles.yml into the connection URL that the Sling tool understands.
//
// Every adapter type has its own URL shape; `map_to_sling_url` picks the mapper for the output's
// "type" from a fixed table and returns what it builds. User names, passwords and credentials go
// into the URL form-encoded; hosts, ports, database names and paths go in as they are. The URLs
// carry credentials in clear, so anything shown to a person goes through `mask_url` first.
//
//   Value c = {{"type", "postgres"}, {"user", "etl user"}, {"host", "db1"}, {"dbname", "dw"}};
//   map_to_sling_url(c);  // "postgres://etl+user:@db1:5432/dw?sslmode=disable"
//
// Everything here is a pure function of its arguments: no I/O, no logging, no mutable state.
// All functions are safe to call from several threads at once.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "core/value.h"

namespace zyl::extraction::linkwright {

// Convert a brek profiles.yml output config to a Sling connection URL.
// Reads "type" and then only the keys of that type's mapper; never modifies `output_config`.
// Throws std::invalid_argument "Output config must have a 'type' field" when "type" is not set,
// and "Unsupported adapter type '<type>'. Supported: <sorted names>" when no mapper is
// registered for it (names match exactly: "Postgres" is not "postgres").
std::string map_to_sling_url(const Value& output_config);

// The adapter type names that have a mapper, in ascending code-point order. A new list each call.
std::vector<std::string> supported_types();

// The text form of `val` (see zyl::text_form), or `default_value` when `val` is null.
// No encoding is applied.
std::string _safe(const Value& val, std::string_view default_value = "");

// URL-encode a value for use in connection strings.
// The text form of `val` ("" for null), form-encoded byte by byte: ASCII letters, digits and
// "-._~" pass, a space becomes "+", every other byte becomes "%XX" (upper-case hex).
std::string _quote(const Value& val);

// `url` with every secret it carries replaced by "****", for logs, error texts and anything else
// a person reads. Masked: the password of a "user:password@" part (also the databricks token,
// which sits there), and the value of every query parameter whose name, case-insensitively,
// contains "pass", "pwd", "secret", "token", "key" or "credential" (so the s3 access_key_id,
// secret_access_key and the azure access_key are all masked). User names, hosts, ports, paths and
// other parameters are kept; an empty password or value stays empty. The file-path schemes
// duckdb:// and sqlite:// have no user part, so only their query parameters are looked at.
// Made for the URLs of `map_to_sling_url`; on other text it masks too much rather than too little
// (a raw "@" after the password extends the mask up to the last "@" before the path or query).
std::string mask_url(std::string_view url);

namespace internal {

// A mapper takes the whole output config and returns the URL; it never fails on missing keys.
using Mapper = std::string (*)(const Value& c);

std::string _map_postgres(const Value& c);
std::string _map_redshift(const Value& c);
std::string _map_mysql(const Value& c);  // also serves "mariadb"
std::string _map_sqlserver(const Value& c);
std::string _map_snowflake(const Value& c);
std::string _map_bigquery(const Value& c);
std::string _map_databricks(const Value& c);
std::string _map_oracle(const Value& c);
std::string _map_clickhouse(const Value& c);
std::string _map_trino(const Value& c);
std::string _map_duckdb(const Value& c);
std::string _map_sqlite(const Value& c);
std::string _map_s3(const Value& c);
std::string _map_gcs(const Value& c);
std::string _map_azure(const Value& c);

struct MapperEntry {
  std::string_view type;
  Mapper mapper;
};

// Adapter type to mapper, in registration order. Fixed at compile time and never changed.
inline constexpr std::array<MapperEntry, 16> MAPPERS{{
    {"postgres", &_map_postgres},
    {"redshift", &_map_redshift},
    {"mysql", &_map_mysql},
    {"mariadb", &_map_mysql},
    {"sqlserver", &_map_sqlserver},
    {"snowflake", &_map_snowflake},
    {"bigquery", &_map_bigquery},
    {"databricks", &_map_databricks},
    {"oracle", &_map_oracle},
    {"clickhouse", &_map_clickhouse},
    {"trino", &_map_trino},
    {"duckdb", &_map_duckdb},
    {"sqlite", &_map_sqlite},
    {"s3", &_map_s3},
    {"gcs", &_map_gcs},
    {"azure", &_map_azure},
}};

}  // namespace internal
}  // namespace zyl::extraction::linkwright
