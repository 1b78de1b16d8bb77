// Adapters of targets on the drivers: brek::Adapter for any output config that
// zyl::drivers::open_connection can open (DuckDB, SQLite, PostgreSQL, MySQL / MariaDB).
//
// Each calling thread gets its own connection to the target, opened on first use and kept until
// the adapter is destroyed, so statements one thread runs between BEGIN and COMMIT stay in one
// transaction while other threads run theirs.
//
//   auto adapter = brek::adapters::DriverAdapter::open(output_config, project_dir);
//   auto [response, table] = adapter->execute("SELECT 1 AS one", /*fetch=*/true);
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "brek/adapter.h"
#include "core/value.h"
#include "drivers/driver.h"

namespace brek::adapters {

class DriverAdapter final : public Adapter {
 public:
  // Opens a first connection (so a target that cannot be reached fails here, with the driver's
  // message). Relative file paths in the config are taken relative to `base_dir`. Throws
  // zyl::drivers::DriverError.
  static std::shared_ptr<DriverAdapter> open(const zyl::Value& output_config,
                                             const std::filesystem::path& base_dir);
  ~DriverAdapter() override;
  DriverAdapter(const DriverAdapter&) = delete;
  DriverAdapter& operator=(const DriverAdapter&) = delete;

  std::string type() const override { return type_; }

  // Runs `sql` on the calling thread's connection. Without `fetch` the response reads "OK";
  // with it the rows come back and the response reads "SELECT <rows>". Throws
  // zyl::drivers::DriverError. Thread-safe.
  std::pair<AdapterResponse, Table> execute(const std::string& sql, bool fetch = false) override;

  // Forward to the calling thread's connection.
  void begin() override;
  void commit() override;
  void rollback() noexcept override;
  // What the first connection's driver reported. Thread-safe.
  bool transactional_ddl() const override { return transactional_ddl_; }

  // Closes the calling thread's connection (a later call opens a new one). Thread-safe.
  void release_thread_connection();

 private:
  DriverAdapter(zyl::Value output_config, std::filesystem::path base_dir);
  zyl::drivers::Connection& connection_for_this_thread();

  zyl::Value output_config_;
  std::filesystem::path base_dir_;
  std::string type_;
  bool transactional_ddl_ = true;
  std::mutex mutex_;  // guards connections_ (the map, not the connections)
  std::map<std::thread::id, std::unique_ptr<zyl::drivers::Connection>> connections_;
};

// Opens the adapter of an output config. Throws zyl::drivers::DriverError.
std::shared_ptr<Adapter> open_adapter(const zyl::Value& output_config,
                                      const std::filesystem::path& base_dir);

}  // namespace brek::adapters
