#include "drivers/odbc/odbc_connect.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace zyl::drivers::odbc {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

std::string built(const Value& config, std::string_view driver = "") {
  ConnectPlan plan = plan_connection(config, "/project", driver);
  return connection_string(plan, driver.empty() && !plan.drivers.empty() ? plan.drivers[0]
                                                                          : driver);
}

TEST(OdbcRoute, OdbcKeysOrAnOdbcOnlyTypeRouteThroughOdbc) {
  EXPECT_FALSE(routes_through_odbc({{"type", "postgres"}, {"host", "h"}}));
  EXPECT_FALSE(routes_through_odbc({{"type", "postgres"}, {"odbc_driver", ""}}));
  EXPECT_TRUE(routes_through_odbc({{"type", "postgres"}, {"odbc_driver", "PostgreSQL Unicode"}}));
  EXPECT_TRUE(routes_through_odbc({{"type", "duckdb"}, {"odbc_dsn", "warehouse"}}));
  for (const char* type : {"sqlserver", "snowflake", "databricks", "oracle", "trino", "bigquery"}) {
    EXPECT_TRUE(routes_through_odbc({{"type", type}})) << type;
  }
  EXPECT_FALSE(routes_through_odbc(Value("postgres")));
}

TEST(OdbcConnect, DefaultDriversAreTheVendorsNamesInOrder) {
  EXPECT_THAT(plan_connection({{"type", "sqlserver"}}).drivers,
              ElementsAre("ODBC Driver 18 for SQL Server", "ODBC Driver 17 for SQL Server",
                          "FreeTDS"));
  EXPECT_THAT(plan_connection({{"type", "snowflake"}}).drivers, ElementsAre("SnowflakeDSIIDriver"));
  EXPECT_THAT(plan_connection({{"type", "databricks"}}).drivers,
              ElementsAre("Simba Spark ODBC Driver"));
  EXPECT_THAT(plan_connection({{"type", "bigquery"}}).drivers,
              ElementsAre("Simba ODBC Driver for Google BigQuery"));
  // odbc_driver replaces the defaults; a DSN needs none.
  EXPECT_THAT(plan_connection({{"type", "sqlserver"}, {"odbc_driver", "FreeTDS"}}).drivers,
              ElementsAre("FreeTDS"));
  EXPECT_TRUE(plan_connection({{"type", "sqlserver"}, {"odbc_dsn", "erp"}}).drivers.empty());
}

TEST(OdbcConnect, SqlServerStringsFromTheUrlMappersKeys) {
  Value c{{"type", "sqlserver"}, {"user", "etl"}, {"password", "p;w}d"}, {"host", "mssql1"},
          {"database", "erp"}, {"encrypt", false}};
  EXPECT_EQ(built(c),
            "Driver=ODBC Driver 18 for SQL Server;Server=mssql1,1433;Database=erp;UID=etl;"
            "Encrypt=no;PWD={p;w}}d};");
  c["port"] = 1533.0;
  c["trust_cert"] = true;
  c["TrustServerCertificate"] = false;  // trust_cert wins, as in the URL
  EXPECT_THAT(built(c), HasSubstr("Server=mssql1,1533;"));
  EXPECT_THAT(built(c), HasSubstr("TrustServerCertificate=yes;"));
  // FreeTDS takes the port apart and a protocol version.
  EXPECT_EQ(built(c, "FreeTDS"),
            "Driver=FreeTDS;Server=mssql1;Port=1533;Database=erp;UID=etl;TDS_Version=7.4;"
            "PWD={p;w}}d};");
}

TEST(OdbcConnect, WarehouseStrings) {
  EXPECT_EQ(built({{"type", "snowflake"}, {"user", "loader"}, {"password", "pw"},
                   {"account", "acct1"}, {"database", "RAW"}, {"warehouse", "LOAD WH"},
                   {"role", "LOADER"}, {"port", 1}}),
            "Driver=SnowflakeDSIIDriver;Server=acct1.snowflakecomputing.com;Database=RAW;"
            "Warehouse=LOAD WH;Role=LOADER;UID=loader;PWD=pw;");
  EXPECT_EQ(built({{"type", "databricks"}, {"host", "dbc1"}, {"token", "dapi1"},
                   {"http_path", "//sql/1.0/warehouses/abc"}, {"catalog", "main"}}),
            "Driver=Simba Spark ODBC Driver;Host=dbc1;Port=443;HTTPPath=/sql/1.0/warehouses/abc;"
            "SSL=1;ThriftTransport=2;AuthMech=3;UID=token;Catalog=main;PWD=dapi1;");
  // BigQuery reads no credential; location 0 is not set.
  EXPECT_EQ(built({{"type", "bigquery"}, {"database", "proj-1"}, {"schema", "raw"},
                   {"location", 0}, {"password", "never"}}),
            "Driver=Simba ODBC Driver for Google BigQuery;Catalog=proj-1;DefaultDataset=raw;");
  // Trino's connection carries no password, even when the profile holds one.
  std::string trino = built({{"type", "trino"}, {"user", "analyst"}, {"host", "trino1"},
                             {"database", "hive"}, {"schema", "web logs"}, {"password", "x"}});
  EXPECT_EQ(trino,
            "Driver=Simba Trino ODBC Driver;Host=trino1;Port=8080;UID=analyst;Catalog=hive;"
            "Schema=web logs;");
  EXPECT_EQ(built({{"type", "oracle"}, {"user", "hr"}, {"host", "ora1"}, {"database", "XE"}}),
            "Driver=Oracle 21 ODBC driver;DBQ=ora1:1521/XE;UID=hr;");
}

TEST(OdbcConnect, NativeTypesThroughOdbc) {
  std::string pg = built({{"type", "postgres"}, {"odbc_driver", "PostgreSQL Unicode"},
                          {"host", nullptr}, {"dbname", "a"}, {"database", "b"}, {"user", "u"}});
  EXPECT_THAT(pg, HasSubstr("Driver=PostgreSQL Unicode;Port=5432;Database=a;UID=u;"));
  EXPECT_THAT(pg, Not(HasSubstr("Server=")));  // a null host is empty, not localhost
  EXPECT_THAT(pg, HasSubstr("BoolsAsChar=0;UseDeclareFetch=1;"));
  EXPECT_THAT(built({{"type", "mariadb"}, {"odbc_driver", "MariaDB Unicode"}, {"server", "m1"},
                     {"schema", "shop"}, {"port", 3307}}),
              HasSubstr("Server=m1;Port=3307;Database=shop;"));
  // A relative SQLite file is the project's.
  EXPECT_EQ(built({{"type", "sqlite"}, {"odbc_driver", "SQLite3"}, {"path", "data/app.db"}}),
            "Driver=SQLite3;Database=/project/data/app.db;");
}

TEST(OdbcConnect, GivenStringsAndDsns) {
  // A given string replaces the built attributes; the profile's password is still added apart.
  Value c{{"type", "sqlserver"}, {"odbc_connection_string", "Server=x;Database=y"},
          {"host", "ignored"}, {"password", "s3cret"}};
  ConnectPlan plan = plan_connection(c);
  EXPECT_EQ(plan.attributes, "Server=x;Database=y;");
  EXPECT_THAT(secret_values(plan), ElementsAre("s3cret"));
  EXPECT_EQ(connection_string(plan, "FreeTDS"), "Driver=FreeTDS;Server=x;Database=y;PWD=s3cret;");
  // A string that names its driver or DSN keeps it, and one with its own password keeps that.
  c["odbc_connection_string"] = "DSN=erp;PWD={a;b}";
  plan = plan_connection(c);
  EXPECT_EQ(connection_string(plan, "FreeTDS"), "DSN=erp;PWD={a;b};");
  EXPECT_THAT(secret_values(plan), ElementsAre("a;b"));
  // A DSN with the profile's keys.
  std::string dsn = built({{"type", "postgres"}, {"odbc_dsn", "pg"}, {"user", "u"},
                           {"password", "p"}, {"host", "h"}, {"sslmode", "require"}});
  EXPECT_THAT(dsn, HasSubstr("DSN=pg;Server=h;Port=5432;UID=u;SSLmode=require;"));
  EXPECT_THAT(dsn, HasSubstr(";PWD=p;"));
  EXPECT_THAT(dsn, Not(HasSubstr("Driver=")));
}

TEST(OdbcConnect, AttributeValuesAreBracedWhenNeeded) {
  EXPECT_EQ(attribute("PWD", "plain"), "PWD=plain;");
  EXPECT_EQ(attribute("PWD", "a;b"), "PWD={a;b};");
  EXPECT_EQ(attribute("PWD", "x}y"), "PWD={x}}y};");
  EXPECT_EQ(attribute("PWD", " lead"), "PWD={ lead};");
  EXPECT_EQ(attribute("PWD", "k=v"), "PWD={k=v};");
}

}  // namespace
}  // namespace zyl::drivers::odbc
