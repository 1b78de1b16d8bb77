#include "core/yaml.h"

#include <cmath>

#include <gtest/gtest.h>

namespace zyl::yaml {
namespace {

TEST(YamlTest, CoreSchemaScalars) {
  Value v = parse(R"(
a: ~
b: null
c:
d: [true, True, TRUE, false, FALSE]
e: 42
f: -0o17
g: 0o17
h: 0x1F
i: 1.5
j: .inf
k: -.Inf
l: .nan
m: "42"
n: 'true'
o: yes
p: 1e3
q: 5432.0
r: 0x
)");
  EXPECT_TRUE(v["a"].is_null());
  EXPECT_TRUE(v["b"].is_null());
  EXPECT_TRUE(v["c"].is_null());
  EXPECT_EQ(v["d"], Value::array({true, true, true, false, false}));
  EXPECT_EQ(v["e"], 42);
  EXPECT_EQ(v["f"], "-0o17");  // the core schema's octal form has no sign
  EXPECT_EQ(v["g"], 15);
  EXPECT_EQ(v["h"], 31);
  EXPECT_EQ(v["i"], 1.5);
  EXPECT_TRUE(std::isinf(v["j"].get<double>()));
  EXPECT_LT(v["k"].get<double>(), 0);
  EXPECT_TRUE(std::isnan(v["l"].get<double>()));
  EXPECT_EQ(v["m"], "42");
  EXPECT_EQ(v["n"], "true");
  EXPECT_EQ(v["o"], "yes");  // YAML 1.1 booleans are plain strings in 1.2
  EXPECT_EQ(v["p"], 1000.0);
  EXPECT_TRUE(v["q"].is_number_float());
  EXPECT_EQ(v["r"], "0x");
}

TEST(YamlTest, MapsKeepOrderAliasesResolveLastDuplicateWins) {
  Value v = parse("z: 1\na: &x {k: v}\nm: *x\nz: 2\n");
  std::vector<std::string> keys;
  for (const auto& [k, _] : v.items()) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"z", "a", "m"}));
  EXPECT_EQ(v["z"], 2);
  EXPECT_EQ(v["m"]["k"], "v");
}

TEST(YamlTest, TagsAreNotHonoured) {
  Value v = parse("a: !!python/object:os.system ls\nb: !custom 3\n");
  EXPECT_EQ(v["a"], "ls");
  EXPECT_EQ(v["b"], 3);
}

TEST(YamlTest, ScalarStylesKeysAndDocuments) {
  Value v = parse(
      "block: |\n  12\nfolded: >\n  true\nstr: !!str 5\nnum: !!int '7'\n"
      "k: &k port\n*k : 5432\n[a, b]: flow key\n1: numeric key\n"
      "---\nsecond: document\n");
  EXPECT_EQ(v["block"], "12\n");
  EXPECT_EQ(v["folded"], "true\n");
  EXPECT_EQ(v["str"], "5");
  EXPECT_EQ(v["num"], 7);
  EXPECT_EQ(v["port"], 5432);  // an alias as a key stands for the anchored text
  EXPECT_EQ(v[text_form(Value::array({"a", "b"}))], "flow key");
  EXPECT_EQ(v["1"], "numeric key");
  EXPECT_FALSE(v.contains("second"));  // the first document only
  EXPECT_THROW(parse("a: *missing\n"), YamlError);
  EXPECT_THROW(parse("a: &x [1, *x]\n"), YamlError);
}

TEST(YamlTest, EmptyDocumentIsNull) { EXPECT_TRUE(parse("").is_null()); }

TEST(YamlTest, MalformedTextNamesSourceAndLine) {
  try {
    parse("a: 1\nb: [1, 2\n", "sources.yml");
    FAIL() << "expected YamlError";
  } catch (const YamlError& e) {
    EXPECT_EQ(e.source(), "sources.yml");
    EXPECT_GT(e.line(), 0);
    EXPECT_NE(std::string(e.what()).find("sources.yml:"), std::string::npos);
  }
}

TEST(YamlTest, DeepNestingIsAnErrorNotACrash) {
  std::string deep(5000, '[');
  EXPECT_THROW(parse(deep + std::string(5000, ']')), YamlError);
}

TEST(YamlTest, AliasExpansionIsBounded) {
  std::string bomb = "a: &a [x, x, x, x, x, x, x, x, x, x]\n";
  char prev = 'a';
  for (char c = 'b'; c <= 'j'; ++c, ++prev) {
    bomb += std::string(1, c) + ": &" + c + " [";
    for (int i = 0; i < 10; ++i) bomb += std::string(i ? ", *" : "*") + prev;
    bomb += "]\n";
  }
  EXPECT_THROW(parse(bomb), YamlError);
}

TEST(YamlTest, AliasesOfEmptyContainersCountToo) {
  std::string bomb = "a: &a []\n";
  char prev = 'a';
  for (char c = 'b'; c <= 'j'; ++c, ++prev) {
    bomb += std::string(1, c) + ": &" + c + " [";
    for (int i = 0; i < 9; ++i) bomb += std::string(i ? ", *" : "*") + prev;
    bomb += "]\n";
  }
  EXPECT_THROW(parse(bomb), YamlError);
}

// A 2 MB scalar repeated through aliases is few nodes but gigabytes of text: the parse stops
// at the first alias past the budget, naming the file and line, before it copies that much.
TEST(YamlTest, AliasesOfLongScalarsCountTheirBytes) {
  std::string doc = "big: &big " + std::string(2'000'000, 'x') + "\nlist:\n";
  for (int i = 0; i < 1000; ++i) doc += "  - *big\n";
  try {
    parse(doc, "laughs.yml");
    FAIL() << "expected YamlError";
  } catch (const YamlError& e) {
    EXPECT_EQ(e.source(), "laughs.yml");
    EXPECT_GT(e.line(), 2);
    EXPECT_LT(e.line(), 20);
    EXPECT_NE(std::string(e.what()).find("too large once aliases are expanded"), std::string::npos);
  }
  // Ordinary reuse of a long value stays fine.
  std::string reuse = "a: &a " + std::string(100'000, 'y') + "\nb: *a\nc: *a\n";
  EXPECT_EQ(parse(reuse)["c"].get<std::string>().size(), 100'000u);
}

// Containers that hold aliases of other anchored containers count every copy they hold.
TEST(YamlTest, NestedAnchoredContainersCountTheirCopies) {
  std::string doc = "a: &a {k: " + std::string(1000, 'v') + "}\n";
  char prev = 'a';
  for (char c = 'b'; c <= 'g'; ++c, ++prev) {
    doc += std::string(1, c) + ": &" + c + " {";
    for (int i = 0; i < 8; ++i) doc += std::string(i ? ", " : "") + "k" + std::to_string(i) + ": *" + prev;
    doc += "}\n";
  }
  EXPECT_THROW(parse(doc), YamlError);
}

TEST(YamlTest, NumbersBeyondADoubleAreErrorsOnTheirLine) {
  for (std::string number : {std::string(400, '9'), std::string("1e999"), std::string("-2e400")}) {
    try {
      parse("a: 1\nport: " + number + "\n", "profiles.yml");
      FAIL() << "expected YamlError for " << number;
    } catch (const YamlError& e) {
      EXPECT_EQ(e.line(), 2) << number;
      EXPECT_NE(std::string(e.what()).find("profiles.yml:2: number"), std::string::npos)
          << e.what();
    }
  }
  // Quoted, the same text is a string; large integers that fit a double are numbers.
  EXPECT_EQ(parse("a: '1e999'")["a"], "1e999");
  EXPECT_TRUE(parse("a: 99999999999999999999999")["a"].is_number_float());
}

TEST(YamlTest, BadBytesAreReportedOnTheirLine) {
  try {
    parse("a: 1\nb: 2\nc: \xff\n", "bytes.yml");
    FAIL() << "expected YamlError";
  } catch (const YamlError& e) {
    EXPECT_EQ(e.line(), 3);
  }
}

TEST(YamlTest, MissingFileIsARuntimeError) {
  EXPECT_THROW(load_file("/nonexistent/x.yml"), std::runtime_error);
}

}  // namespace
}  // namespace zyl::yaml
