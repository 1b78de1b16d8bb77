#include "drivers/relation.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

#include "drivers/driver.h"

namespace zyl::drivers {
namespace {

// Names that break unquoted SQL must come out as one identifier on every engine.
TEST(RelationText, QuotesEveryPartTheWayItsEngineDoes) {
  EXPECT_EQ(relation_text("postgres", "db", "an", "Orders"), R"("db"."an"."Orders")");
  EXPECT_EQ(relation_text("duckdb", "", "main", "my model"), R"("main"."my model")");
  EXPECT_EQ(relation_text("postgres", "", "an", "a\"b"), R"("an"."a""b")");
  EXPECT_EQ(relation_text("mysql", "db", "an", "order"), "`an`.`order`");  // no database level
  EXPECT_EQ(relation_text("mariadb", "", "an", "a`b"), "`an`.`a``b`");
  EXPECT_EQ(relation_text("sqlite", "x", "main", "t"), R"("main"."t")");
  EXPECT_EQ(relation_text("duckdb", "db", "", "t"), R"("t")");  // no schema: the name alone
  EXPECT_EQ(relation_text("clickhouse", "db", "an", R"(a`b\c)"), R"(`an`.`a``b\\c`)");
}

// The load path hands relation texts to the Sling client, which splits them again.
TEST(TableRefParse, ReadsBackWhatRelationTextWrites) {
  for (const char* engine : {"postgres", "mysql", "duckdb", "clickhouse"}) {
    for (const char* name : {"Orders", "order", "my model", "a\"b", "a`b", "x.y"}) {
      TableRef parsed = TableRef::parse(relation_text(engine, "db", "rt s", name));
      EXPECT_EQ(parsed, (TableRef{"rt s", name})) << engine << " " << name;
    }
  }
  EXPECT_EQ(TableRef::parse("an.orders"), (TableRef{"an", "orders"}));
  EXPECT_EQ(TableRef::parse("orders"), (TableRef{"", "orders"}));
}

TEST(RelationKind, CatalogTypesAndTheRealCatalogAgree) {
  EXPECT_EQ(relation_kind_from("VIEW"), RelationKind::View);
  EXPECT_EQ(relation_kind_from("View"), RelationKind::View);  // ClickHouse's engine name
  EXPECT_EQ(relation_kind_from("MergeTree"), RelationKind::Table);
  EXPECT_EQ(drop_word("clickhouse", "VIEW"), "TABLE");
  EXPECT_EQ(drop_word("postgres", "VIEW"), "VIEW");
  EXPECT_EQ(relation_kind_from("BASE TABLE"), RelationKind::Table);
  EXPECT_EQ(relation_kind_from(""), RelationKind::None);

  for (const char* engine : {"duckdb", "sqlite"}) {
    auto dir = std::filesystem::temp_directory_path() /
               ("zyl_relation_kind_" + std::string(engine) + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    Value config = {{"type", engine}, {"path", (dir / "t.db").string()}};
    auto conn = open_connection(config, dir);
    std::string schema = "main";
    conn->execute("CREATE TABLE " + relation_text(engine, "", schema, "Orders") + " (id INTEGER)");
    conn->execute("CREATE VIEW " + relation_text(engine, "", schema, "a\"b") +
                  " AS SELECT 1 AS id");
    EXPECT_EQ(relation_kind(*conn, schema, "Orders"), RelationKind::Table) << engine;
    EXPECT_EQ(relation_kind(*conn, schema, "a\"b"), RelationKind::View) << engine;
    EXPECT_EQ(relation_kind(*conn, schema, "orders"), RelationKind::None) << engine;
    conn->close();
    std::filesystem::remove_all(dir);
  }
}

}  // namespace
}  // namespace zyl::drivers
