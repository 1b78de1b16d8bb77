#include "brek/seeds/seed_csv.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace brek::seeds {
namespace {

using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

std::vector<std::string> types_of(const SeedTable& t) {
  std::vector<std::string> out;
  for (const auto& c : t.columns) out.push_back(c.type);
  return out;
}

TEST(ReadSeed, InfersEachColumnsNarrowestTypeAndKeepsEveryDigit) {
  SeedTable t = read_seed(
      "id,amount,big,flag,day,at,name,empty\r\n"
      "1,10.5,123456789012345678901234,true,2024-02-29,2024-01-01 10:00:00.123,x,\r\n"
      "-2,3,1,FALSE,2023-12-31,2024-01-01T23:59:59,7,\r\n",
      "seeds/s.csv");
  EXPECT_EQ(types_of(t),
            (std::vector<std::string>{"BIGINT", "DECIMAL(18,1)", "DECIMAL(24,0)", "BOOLEAN", "DATE",
                                      "TIMESTAMP", "VARCHAR", "VARCHAR"}));
  ASSERT_EQ(t.rows.size(), 2u);
  EXPECT_EQ(t.rows[0][2], "123456789012345678901234");
  EXPECT_FALSE(t.rows[0][7]);  // an empty field is NULL

  // Not a date (2023 is no leap year), a number past DECIMAL(38): text, never a rounded value.
  EXPECT_EQ(types_of(read_seed("d,n\n2023-02-29,1.5\n", "s.csv"))[0], "VARCHAR");
  EXPECT_EQ(types_of(read_seed("n\n1." + std::string(40, '1') + "\n", "s.csv"))[0], "VARCHAR");
}

TEST(ReadSeed, QuotedFieldsHoldCommasQuotesAndLineBreaks) {
  SeedTable t = read_seed("a,b\n\"x, \"\"y\"\"\nz\",\"\"\n", "s.csv");
  ASSERT_EQ(t.rows.size(), 1u);
  EXPECT_EQ(t.rows[0][0], "x, \"y\"\nz");
  EXPECT_EQ(t.rows[0][1], "");  // a quoted empty field is an empty text, not NULL
}

TEST(ReadSeed, ColumnTypesOverrideTheInferredOnes) {
  zyl::Value types = {{"zip", "VARCHAR"}};
  SeedTable t = read_seed("zip,n\n01234,1\n", "s.csv", types);
  EXPECT_EQ(types_of(t), (std::vector<std::string>{"VARCHAR", "BIGINT"}));
  EXPECT_THAT(
      [&] {
        read_seed("a\n1\n", "s.csv", zyl::Value{{"b", "INT"}});
      },
      ThrowsMessage<SeedError>(HasSubstr("column_types names 'b'")));
}

TEST(ReadSeed, MalformedFilesAreRefusedWithTheirFileAndLine) {
  auto refused = [](const std::string& text, const std::string& what) {
    EXPECT_THAT([&] { read_seed(text, "seeds/bad.csv"); },
                ThrowsMessage<SeedError>(HasSubstr("seeds/bad.csv:" + what)))
        << text;
  };
  refused("a,b\n1,2\n3\n", "3: the row has 1 fields, the header 2");
  refused("a,b\n1,2,3\n", "2: the row has 3 fields");
  refused("a\n\"open\n\n", "2: a quoted field is not closed");
  refused("a\nx\"y\n", "2: a quote inside an unquoted field");
  refused("a\n\"x\"y\n", "2: text after the closing quote");
  refused("a\nok\n\xC3\x28\n", "3: not valid UTF-8");
  refused("a\n\xED\xA0\x80\n", "2: not valid UTF-8");  // a surrogate
  refused("a,a\n1,2\n", "1: column 'a' appears twice");
  refused("a,\n1,2\n", "1: a column without a name");
  refused("", "1: the file is empty");
}

}  // namespace
}  // namespace brek::seeds
