#include "brek/parser/snapshots.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "brek/parser/project.h"
#include "brek_common/exceptions.h"

namespace brek::parser {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

TEST(SnapshotBlocksTest, FindsEachBlockAndKeepsItsLines) {
  std::string text =
      "-- history\n{% snapshot first %}\nselect 1\n{% endsnapshot %}\n"
      "{%- snapshot second -%}select 2{%- endsnapshot -%}\n"
      "{% if true %}ignored{% endif %}";
  std::vector<SnapshotBlock> blocks = snapshot_blocks(text, "s.sql");
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[0].name, "first");
  EXPECT_EQ(blocks[0].body, "\n\nselect 1\n");  // two blank lines: the body starts on line 2
  EXPECT_EQ(blocks[1].name, "second");
  EXPECT_EQ(blocks[1].body, "\n\n\n\nselect 2");
  EXPECT_TRUE(snapshot_blocks("select 1", "s.sql").empty());
}

TEST(SnapshotBlocksTest, RefusesMalformedBlocksNamingFileAndLine) {
  auto message = [](const std::string& text) {
    try {
      snapshot_blocks(text, "snapshots/s.sql");
    } catch (const brek_common::CompilationError& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(message("\n{% snapshot %}select 1{% endsnapshot %}"),
            "snapshots/s.sql:2: a snapshot block needs a name: {% snapshot name %}, got ''");
  EXPECT_EQ(message("{% snapshot a-b %}select 1{% endsnapshot %}"),
            "snapshots/s.sql:1: a snapshot block needs a name: {% snapshot name %}, got 'a-b'");
  EXPECT_EQ(message("{% snapshot s %}\nselect 1"),
            "snapshots/s.sql:1: snapshot 's' has no {% endsnapshot %}");
  EXPECT_EQ(message("{% snapshot s %}select 1\n{% snapshot t %}{% endsnapshot %}"),
            "snapshots/s.sql:1: snapshot 's' has no {% endsnapshot %}");
  EXPECT_EQ(message("select 1\n\n{% endsnapshot %}"),
            "snapshots/s.sql:3: {% endsnapshot %} without a {% snapshot %}");
}

class SnapshotProjectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("brek_snapshots_" + std::to_string(::getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_ / "models");
    fs::create_directories(root_ / "history" / "crm");
    write("brek_project.yml",
          "name: shop\nsnapshot-paths: [history]\n"
          "snapshots:\n  shop:\n    +target_schema: snaps\n    +hard_deletes: invalidate\n"
          "    crm:\n      +tags: [history]\n    other:\n      +tags: [unused]\n");
    write("models/customers.sql", "select 1 as id");
    write("models/sources.yml", "sources:\n  - name: crm\n    tables: [{name: people}]\n");
    write("models/latest.sql", "select * from {{ ref('people_history') }}");
    write("history/crm/people.sql",
          "{% snapshot people_history %}\n"
          "{{ config(strategy='check', unique_key='id', check_cols='all') }}\n"
          "select * from {{ source('crm', 'people') }} join {{ ref('customers') }} using (id)\n"
          "{% endsnapshot %}\n");
    write("history/props.yml",
          "snapshots:\n"
          "  - name: people_history\n    description: People over time\n"
          "    config: {hard_deletes: new_record, tags: [crm]}\n"
          "  - name: customers_history\n    relation: ref('customers')\n"
          "    config: {strategy: timestamp, unique_key: id, updated_at: changed_at}\n");
  }
  void TearDown() override { fs::remove_all(root_); }
  void write(const std::string& file, const std::string& text) {
    std::ofstream(root_ / file) << text;
  }

  fs::path root_;
};

TEST_F(SnapshotProjectTest, BlocksAndDeclaredSnapshotsBecomeNodes) {
  Project p = load_project({.project_dir = root_});
  EXPECT_THAT(p.snapshot_paths, ElementsAre("history"));
  const Node* people = p.manifest.find_node("snapshot.shop.people_history");
  ASSERT_NE(people, nullptr);
  EXPECT_EQ(people->resource_type, "snapshot");
  EXPECT_EQ(people->original_file_path, "history/crm/people.sql");
  EXPECT_THAT(people->fqn, ElementsAre("shop", "crm", "people_history"));
  EXPECT_EQ(people->description, "People over time");
  EXPECT_THAT(people->depends_on->nodes,
              ElementsAre("source.shop.crm.people", "model.shop.customers"));
  // Project block < property file < config(); target_schema places it.
  EXPECT_EQ(people->config._extra.value("hard_deletes", ""), "new_record");
  EXPECT_EQ(people->config.get("schema"), "snaps");
  EXPECT_THAT(people->tags, ElementsAre("history", "crm"));
  snapshot::SnapshotConfig config = snapshot_config_of(*people);
  EXPECT_EQ(config.strategy, "check");
  EXPECT_EQ(config.materialized, "snapshot");
  EXPECT_NO_THROW(config.final_validate());

  const Node* declared = p.manifest.find_node("snapshot.shop.customers_history");
  ASSERT_NE(declared, nullptr);
  EXPECT_THAT(declared->depends_on->nodes, ElementsAre("model.shop.customers"));
  EXPECT_EQ(snapshot_config_of(*declared).updated_at, "changed_at");

  // A model may read a snapshot with ref().
  EXPECT_THAT(p.manifest.find_node("model.shop.latest")->depends_on->nodes,
              ElementsAre("snapshot.shop.people_history"));
}

TEST_F(SnapshotProjectTest, ABadConfigLoadsAndFailsOnlyItsValidation) {
  write("history/bad.sql",
        "{% snapshot bad %}{{ config(strategy='check', unique_key='id', materialized='table') "
        "}}select 1 as id{% endsnapshot %}");
  Project p = load_project({.project_dir = root_});
  const Node* bad = p.manifest.find_node("snapshot.shop.bad");
  ASSERT_NE(bad, nullptr);
  try {
    snapshot_config_of(*bad).final_validate();
    FAIL() << "no validation error";
  } catch (const brek_common::ValidationError& e) {
    EXPECT_STREQ(e.what(),
                 "A snapshot configured with the check strategy must specify a check_cols "
                 "configuration.");
  }
}

TEST_F(SnapshotProjectTest, NamesAreShared) {
  write("history/dup.sql", "{% snapshot customers %}select 1{% endsnapshot %}");
  try {
    load_project({.project_dir = root_});
    FAIL() << "no error";
  } catch (const brek_common::CompilationError& e) {
    EXPECT_THAT(e.what(), HasSubstr("'customers'"));
  }
}

}  // namespace
}  // namespace brek::parser
