#include "zyl/runners/internal/redaction.h"

#include <gtest/gtest.h>

namespace zyl::runners::internal {
namespace {

TEST(SecretsTest, CollectsValuesUnderSecretKeysAtAnyDepth) {
  Value config = {{"type", "bigquery"},
                  {"user", "ana"},
                  {"password", "hunter2"},
                  {"PASS", 991122},
                  {"api_token", "tok-1"},
                  {"passive", true},
                  {"keyfile_json", {{"private_key", "-----PEM-----"}, {"project_id", "p1"}}},
                  {"extras", {{"client_secret", "s3cr3t"}, {"region", "eu"}}},
                  {"keys", {"k1", "k2"}},
                  {"token_unused", nullptr}};
  Secrets secrets;
  secrets.add(config);
  secrets.add(config);  // the same config used twice adds nothing new
  EXPECT_EQ(secrets.values(),
            (std::vector<std::string>{"hunter2", "991122", "tok-1", "-----PEM-----", "p1", "s3cr3t",
                                      "k1", "k2"}));
  EXPECT_EQ(secrets.redact("login ana:hunter2@h failed (token tok-1, region eu)"),
            "login ana:****@h failed (token ****, region eu)");
}

TEST(SecretsTest, NothingToRedactLeavesTextAlone) {
  Secrets secrets;
  secrets.add({{"type", "duckdb"}, {"path", "x.duckdb"}, {"password", ""}});
  EXPECT_TRUE(secrets.values().empty());
  EXPECT_EQ(secrets.redact("no such table: x"), "no such table: x");
}

}  // namespace
}  // namespace zyl::runners::internal
