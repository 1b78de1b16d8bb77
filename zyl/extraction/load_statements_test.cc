// The statements a load sends to SQL Server and Oracle, which cannot run here, through a
// connection that records them and answers as a target already holding the table would.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/text.h"
#include "drivers/driver.h"
#include "zyl/extraction/sling_client.h"

namespace zyl::extraction::sling_client {
namespace {

using drivers::Column;
using drivers::ColumnType;
using drivers::QueryResult;
using drivers::RowBatch;
using drivers::TableRef;
using drivers::TypeId;
using ::testing::Contains;
using ::testing::HasSubstr;

std::vector<Column> columns() {
  ColumnType id, text;
  id.id = TypeId::Int64;
  text.id = TypeId::String;
  return {{"id", id}, {"status", text}};
}

class Rows final : public QueryResult {
 public:
  const std::vector<Column>& columns() const override { return columns_; }
  bool next(RowBatch& batch, size_t) override {
    if (done_) return false;
    done_ = true;
    batch.column_count = 2;
    batch.cells = {std::int64_t{1}, std::string("a"), std::int64_t{2}, std::string("b")};
    return true;
  }

 private:
  std::vector<Column> columns_ = sling_client::columns();
  bool done_ = false;
};

class NoRows final : public QueryResult {
 public:
  explicit NoRows(std::vector<Column> columns) : columns_(std::move(columns)) {}
  const std::vector<Column>& columns() const override { return columns_; }
  bool next(RowBatch&, size_t) override { return false; }

 private:
  std::vector<Column> columns_;
};

class Recording final : public drivers::Connection {
 public:
  Recording(std::string engine, bool transactional_ddl)
      : engine_(std::move(engine)), transactional_ddl_(transactional_ddl) {}
  std::vector<std::string> sent;
  std::string fail_on;

  std::string engine() const override { return engine_; }
  bool transactional_ddl() const override { return transactional_ddl_; }
  void execute(const std::string& sql) override { execute_counted(sql); }
  std::int64_t execute_counted(const std::string& sql) override {
    sent.push_back(sql);
    if (!fail_on.empty() && sql.find(fail_on) != std::string::npos) {
      throw drivers::DriverError("refused");
    }
    // Both new rows have an old row: an UPDATE or MERGE changes two, the INSERT of new keys none.
    return sql.find("NOT EXISTS") != std::string::npos ? 0 : 2;
  }
  std::unique_ptr<QueryResult> query(const std::string& sql) override {
    return std::make_unique<NoRows>(std::vector<Column>{});
  }
  void begin() override { sent.push_back("<begin>"); }
  void commit() override { sent.push_back("<commit>"); }
  void rollback() override { sent.push_back("<rollback>"); }
  std::string quote_identifier(std::string_view name) const override {
    return "\"" + text::replace_all(name, "\"", "\"\"") + "\"";
  }
  std::string type_sql(const ColumnType& type) const override {
    return type.id == TypeId::Int64 ? "BIGINT" : "VARCHAR(100)";
  }
  // The target table exists, with the rows' columns; staging tables are the load's own.
  bool table_exists(const TableRef& table) override { return table.name == "orders"; }
  std::vector<Column> table_columns(const TableRef& table) override {
    return table_exists(table) ? columns() : std::vector<Column>{};
  }
  std::vector<std::string> table_names(const std::string&) override { return {}; }
  void ensure_schema(const std::string&) override {}
  std::unique_ptr<drivers::BulkWriter> bulk_writer(const TableRef& table,
                                                   const std::vector<Column>&) override {
    return std::make_unique<Writer>(sent, table.name);
  }
  void close() override {}

 private:
  class Writer final : public drivers::BulkWriter {
   public:
    Writer(std::vector<std::string>& sent, std::string table) : sent_(sent), table_(table) {}
    void write(const RowBatch& batch) override { rows_ += static_cast<std::int64_t>(batch.rows()); }
    void finish() override {
      sent_.push_back("<" + std::to_string(rows_) + " rows into " + table_.substr(0, 6) + ">");
    }
    std::int64_t rows_written() const override { return rows_; }

   private:
    std::vector<std::string>& sent_;
    std::string table_;
    std::int64_t rows_ = 0;
  };
  std::string engine_;
  bool transactional_ddl_;
};

// The staging table's name without the process's mark, so that statements compare.
std::vector<std::string> normalized(const std::vector<std::string>& sent) {
  std::vector<std::string> out;
  for (std::string sql : sent) {
    for (size_t at = sql.find("orders_zyl_"); at != std::string::npos;
         at = sql.find("orders_zyl_", at + 1)) {
      size_t end = sql.find_first_of("\"]'", at);
      std::string mark = sql.substr(at, end - at);
      sql.replace(at, mark.size(),
                  mark.find("_old_") != std::string::npos ? "orders_OLD" : "orders_NEW");
    }
    out.push_back(sql);
  }
  return out;
}

// SQL Server: DDL is transactional, so a full refresh drops and renames (sp_rename) in the
// transaction that filled the staging table; a merge updates through a join.
TEST(LoadStatements, SqlServer) {
  Recording target("sqlserver", true);
  Rows rows;
  EXPECT_EQ(internal::load_rows(target, rows, {"dbo", "orders"}, {}, "full-refresh"), 2);
  EXPECT_EQ(
      normalized(target.sent),
      (std::vector<std::string>{
          "<begin>", R"(CREATE TABLE "dbo"."orders_NEW" ("id" BIGINT, "status" VARCHAR(100)))",
          "<2 rows into orders>", R"(DROP TABLE "dbo"."orders")",
          "EXEC sp_rename N'[dbo].[orders_NEW]', N'orders'", "<commit>"}));

  Recording merging("sqlserver", true);
  Rows more;
  internal::load_rows(merging, more, {"dbo", "orders"}, {"id"}, "incremental");
  std::vector<std::string> sent = normalized(merging.sent);
  EXPECT_THAT(sent, Contains(R"(UPDATE zyl_t SET "status" = zyl_s."status" FROM "dbo"."orders" )"
                             R"(AS zyl_t JOIN "dbo"."orders_NEW" AS zyl_s ON zyl_t."id" = )"
                             R"(zyl_s."id")"));
  EXPECT_EQ(sent.back(), "<commit>");
}

// Oracle: DDL commits on its own, so the staging table is filled in a transaction of its own,
// merged with one MERGE (no AS before the aliases) in another, and dropped without IF EXISTS.
// A full refresh renames the old table aside and the new one in.
TEST(LoadStatements, Oracle) {
  Recording target("oracle", false);
  Rows rows;
  internal::load_rows(target, rows, {"AN", "orders"}, {"id"}, "incremental");
  std::vector<std::string> sent = normalized(target.sent);
  EXPECT_THAT(sent, Contains(R"(MERGE INTO "AN"."orders" zyl_t USING "AN"."orders_NEW" zyl_s ON )"
                             R"((zyl_t."id" = zyl_s."id") WHEN MATCHED THEN UPDATE SET "status" )"
                             R"(= zyl_s."status" WHEN NOT MATCHED THEN INSERT ("id", "status") )"
                             R"(VALUES (zyl_s."id", zyl_s."status"))"));
  EXPECT_THAT(sent.back(), HasSubstr("BEGIN EXECUTE IMMEDIATE 'DROP TABLE \"AN\".\"orders_NEW\"'"));
  for (const std::string& sql : sent) EXPECT_THAT(sql, ::testing::Not(HasSubstr(" AS zyl_")));

  Recording refresh("oracle", false);
  Rows again;
  internal::load_rows(refresh, again, {"AN", "orders"}, {}, "full-refresh");
  sent = normalized(refresh.sent);
  EXPECT_THAT(sent, Contains(R"(ALTER TABLE "AN"."orders" RENAME TO "orders_OLD")"));
  EXPECT_THAT(sent, Contains(R"(ALTER TABLE "AN"."orders_NEW" RENAME TO "orders")"));

  // A refused MERGE: rolled back, the staging table dropped, the table untouched.
  Recording failing("oracle", false);
  failing.fail_on = "MERGE INTO";
  Rows third;
  EXPECT_THROW(internal::load_rows(failing, third, {"AN", "orders"}, {"id"}, "incremental"),
               std::exception);
  sent = normalized(failing.sent);
  ASSERT_GE(sent.size(), 2u);
  EXPECT_EQ(sent[sent.size() - 2], "<rollback>");
  EXPECT_THAT(sent.back(), HasSubstr("DROP TABLE \"AN\".\"orders_NEW\""));
}

}  // namespace
}  // namespace zyl::extraction::sling_client
