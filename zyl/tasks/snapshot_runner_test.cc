#include "zyl/tasks/snapshot_runner.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "brek/parser/snapshots.h"
#include "drivers/driver.h"

namespace zyl::tasks::snapshot_runner {
namespace {

namespace fs = std::filesystem;
using brek::artifacts::resources::v1::snapshot::SnapshotConfig;
using ::testing::ElementsAre;

// The snapshot query run in a DuckDB file holding the tables `src` and `cur`.
class NextSnapshotQueryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ =
        fs::temp_directory_path() / ("snapshot_query_" + std::to_string(::getpid()) + ".duckdb");
    fs::remove(path_);
    db_ = drivers::open_connection(Value{{"type", "duckdb"}, {"path", path_.string()}});
  }
  void TearDown() override {
    db_->close();
    fs::remove(path_);
  }

  std::vector<TableColumn> columns(const std::string& table) {
    std::vector<TableColumn> out;
    for (const auto& row : rows("SELECT column_name, data_type FROM information_schema.columns "
                                "WHERE table_name = '" +
                                table + "' ORDER BY ordinal_position")) {
      out.push_back({row[0], row[1]});
    }
    return out;
  }

  // Every row of `sql`, each cell in its text form ("NULL" for null).
  std::vector<std::vector<std::string>> rows(const std::string& sql) {
    auto result = db_->query(sql);
    std::vector<std::vector<std::string>> out;
    drivers::RowBatch batch;
    while (result->next(batch)) {
      for (size_t r = 0; r < batch.rows(); ++r) {
        std::vector<std::string> row;
        for (size_t c = 0; c < batch.column_count; ++c) {
          Value v = drivers::cell_to_value(batch.at(r, c), result->columns()[c].type);
          row.push_back(v.is_null() ? "NULL" : text_form(v));
        }
        out.push_back(std::move(row));
      }
    }
    return out;
  }

  SnapshotPlan plan(const SnapshotConfig& config, const std::string& hard_deletes = "ignore") {
    SnapshotPlan p;
    p.config = config;
    p.unique_key = unique_key_columns(config);
    p.hard_deletes = hard_deletes;
    p.snapshot_time = "2026-05-01 12:00:00";
    p.source_table = "src";
    p.current_table = "cur";
    p.source_columns = columns("src");
    p.current_columns = columns("cur");
    return p;
  }

  fs::path path_;
  std::unique_ptr<drivers::Connection> db_;
};

TEST_F(NextSnapshotQueryTest, RenamedMetaColumnsAndAValidToForCurrentRows) {
  SnapshotConfig config;
  config.strategy = "check";
  config.unique_key = std::string("id");
  config.check_cols = std::string("all");
  config.snapshot_meta_column_names.brek_valid_to = "valid_until";
  config.brek_valid_to_current = "'9999-12-31'";
  db_->execute("CREATE TABLE src AS SELECT * FROM (VALUES (1, 'c'), (2, 'x')) t(id, name)");
  // Version a of 1 is history, version b current; the copy came back with text timestamps, as
  // from a target that keeps them as text.
  db_->execute(
      "CREATE TABLE cur AS SELECT * FROM (VALUES "
      "(1, 'a', 's1', '2026-01-01 00:00:00', '2026-01-01 00:00:00', '2026-02-01 00:00:00'), "
      "(1, 'b', 's2', '2026-02-01 00:00:00', '2026-02-01 00:00:00', '9999-12-31 00:00:00')) "
      "t(id, name, brek_scd_id, brek_updated_at, brek_valid_from, valid_until)");
  db_->execute("CREATE TABLE next AS " + next_snapshot_query(plan(config)));
  EXPECT_EQ(columns("next").back().name, "valid_until");
  EXPECT_THAT(rows("SELECT id, name, brek_valid_from, valid_until FROM next ORDER BY id, name"),
              ElementsAre(ElementsAre("1", "a", "2026-01-01 00:00:00", "2026-02-01 00:00:00"),
                          ElementsAre("1", "b", "2026-02-01 00:00:00", "2026-05-01 12:00:00"),
                          ElementsAre("1", "c", "2026-05-01 12:00:00", "9999-12-31 00:00:00"),
                          ElementsAre("2", "x", "2026-05-01 12:00:00", "9999-12-31 00:00:00")));
  // The scd id is the md5 of the key and the valid-from, the same text on every engine.
  EXPECT_THAT(rows("SELECT brek_scd_id = md5('2|2026-05-01 12:00:00') FROM next WHERE id = 2"),
              ElementsAre(ElementsAre("True")));
}

TEST_F(NextSnapshotQueryTest, ColumnsAddedOrDroppedAndACompositeKey) {
  SnapshotConfig config;
  config.strategy = "timestamp";
  config.unique_key = std::vector<std::string>{"shop", "id"};
  config.updated_at = "changed_at";
  db_->execute(
      "CREATE TABLE src AS SELECT * FROM (VALUES ('a', 1, TIMESTAMP '2026-03-01', 'new'), "
      "('b', 1, TIMESTAMP '2026-01-01', 'same')) t(shop, id, changed_at, added)");
  db_->execute(
      "CREATE TABLE cur AS SELECT * FROM (VALUES "
      "('a', 1, TIMESTAMP '2026-01-01', 'old', 's1', TIMESTAMP '2026-01-01', "
      "TIMESTAMP '2026-01-01', NULL::TIMESTAMP), "
      "('b', 1, TIMESTAMP '2026-01-01', 'kept', 's2', TIMESTAMP '2026-01-01', "
      "TIMESTAMP '2026-01-01', NULL::TIMESTAMP)) "
      "t(shop, id, changed_at, dropped, brek_scd_id, brek_updated_at, brek_valid_from, "
      "brek_valid_to)");
  db_->execute("CREATE TABLE next AS " + next_snapshot_query(plan(config, "invalidate")));
  EXPECT_THAT(rows("SELECT shop, added, dropped, brek_valid_to, brek_is_deleted FROM next "
                   "ORDER BY shop, brek_valid_from"),
              ElementsAre(ElementsAre("a", "NULL", "old", "2026-03-01 00:00:00", "False"),
                          ElementsAre("a", "new", "NULL", "NULL", "False"),
                          ElementsAre("b", "NULL", "kept", "NULL", "False")));
}

TEST(SnapshotSettingsTest, HardDeletesAndUniqueKey) {
  brek::Node node;
  EXPECT_EQ(hard_deletes_of(node), "ignore");
  node.config._extra["hard_deletes"] = "new_record";
  EXPECT_EQ(hard_deletes_of(node), "new_record");
  node.config._extra["hard_deletes"] = "drop";
  EXPECT_THROW(
      {
        try {
          hard_deletes_of(node);
        } catch (const std::runtime_error& e) {
          EXPECT_STREQ(e.what(),
                       "hard_deletes must be one of ignore, invalidate, new_record; got 'drop'");
          throw;
        }
      },
      std::runtime_error);
  SnapshotConfig config;
  config.unique_key = std::vector<std::string>{"a", ""};
  EXPECT_THROW(unique_key_columns(config), std::runtime_error);
}

}  // namespace
}  // namespace zyl::tasks::snapshot_runner
