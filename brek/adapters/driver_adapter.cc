#include "brek/adapters/driver_adapter.h"

#include <vector>

namespace brek::adapters {

DriverAdapter::DriverAdapter(zyl::Value output_config, std::filesystem::path base_dir)
    : output_config_(std::move(output_config)),
      base_dir_(std::move(base_dir)),
      type_(zyl::get_text(output_config_, "type")) {}

DriverAdapter::~DriverAdapter() {
  std::lock_guard lock(mutex_);
  for (auto& [id, connection] : connections_) connection->close();
  connections_.clear();
}

std::shared_ptr<DriverAdapter> DriverAdapter::open(const zyl::Value& output_config,
                                                   const std::filesystem::path& base_dir) {
  std::shared_ptr<DriverAdapter> adapter(new DriverAdapter(output_config, base_dir));
  adapter->transactional_ddl_ = adapter->connection_for_this_thread().transactional_ddl();
  return adapter;
}

zyl::drivers::Connection& DriverAdapter::connection_for_this_thread() {
  std::thread::id id = std::this_thread::get_id();
  {
    std::lock_guard lock(mutex_);
    auto it = connections_.find(id);
    if (it != connections_.end()) return *it->second;
  }
  // Opening may take a while (a server round trip); do it outside the lock.
  std::unique_ptr<zyl::drivers::Connection> connection =
      zyl::drivers::open_connection(output_config_, base_dir_);
  std::lock_guard lock(mutex_);
  auto& slot = connections_[id];
  slot = std::move(connection);
  return *slot;
}

void DriverAdapter::begin() { connection_for_this_thread().begin(); }

void DriverAdapter::commit() { connection_for_this_thread().commit(); }

void DriverAdapter::rollback() noexcept {
  try {
    connection_for_this_thread().rollback();
  } catch (const std::exception&) {
    // Nothing is open on a connection that cannot even be reached.
  }
}

void DriverAdapter::release_thread_connection() {
  std::unique_ptr<zyl::drivers::Connection> connection;
  {
    std::lock_guard lock(mutex_);
    auto it = connections_.find(std::this_thread::get_id());
    if (it == connections_.end()) return;
    connection = std::move(it->second);
    connections_.erase(it);
  }
  connection->close();
}

std::pair<AdapterResponse, Table> DriverAdapter::execute(const std::string& sql, bool fetch) {
  zyl::drivers::Connection& connection = connection_for_this_thread();
  AdapterResponse response;
  Table table;
  if (!fetch) {
    connection.execute(sql);
    response.message = "OK";
    return {response, table};
  }
  std::unique_ptr<zyl::drivers::QueryResult> result = connection.query(sql);
  const std::vector<zyl::drivers::Column>& columns = result->columns();
  for (const auto& column : columns) table.column_names.push_back(column.name);
  zyl::drivers::RowBatch batch;
  while (result->next(batch)) {
    for (size_t row = 0; row < batch.rows(); ++row) {
      std::vector<zyl::Value> values;
      values.reserve(batch.column_count);
      for (size_t col = 0; col < batch.column_count; ++col) {
        values.push_back(zyl::drivers::cell_to_value(batch.at(row, col), columns[col].type));
      }
      table.rows.push_back(std::move(values));
    }
  }
  response.rows_affected = static_cast<long long>(table.rows.size());
  response.message = "SELECT " + std::to_string(table.rows.size());
  return {response, table};
}

std::shared_ptr<Adapter> open_adapter(const zyl::Value& output_config,
                                      const std::filesystem::path& base_dir) {
  return DriverAdapter::open(output_config, base_dir);
}

}  // namespace brek::adapters
