#include "brek_common/dataclass_schema.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "brek_common/contracts/util.h"

namespace brek_common::dataclass_schema {
namespace {

using ::testing::HasSubstr;
using zyl::Value;

enum class Colour { Red, Dark_Blue };

}  // namespace

template <>
struct StrEnumMembers<Colour> {
  static constexpr std::string_view name = "Colour";
  static std::span<const std::pair<Colour, std::string_view>> members() {
    static constexpr std::array<std::pair<Colour, std::string_view>, 2> kMembers = {
        {{Colour::Red, "red"}, {Colour::Dark_Blue, "dark_blue"}}};
    return kMembers;
  }
};

namespace {

struct Leaf final : Record<Leaf, BrekClassMixin> {
  std::string label;
  std::optional<int> weight;
  bool operator==(const Leaf&) const = default;
  static void describe(Fields<Leaf>& f) {
    f.name("Leaf");
    f.required("label", &Leaf::label);
    f.field("weight", &Leaf::weight);
  }
};

// A field group that is not serialisable by itself.
struct Located {
  std::optional<std::string> place;
  bool operator==(const Located&) const = default;
  static void describe(Fields<Located>& f) { f.field("place", &Located::place); }
};

struct Trunk : Record<Trunk, BrekClassMixin, Located> {
  std::string id;
  bool operator==(const Trunk&) const = default;
  static void describe(Fields<Trunk>& f) {
    f.name("Trunk");
    f.required("id", &Trunk::id);
  }
};

struct Tree final : Record<Tree, Trunk> {
  std::string kind = "oak";
  Colour colour = Colour::Red;
  std::vector<Leaf> leaves;
  zyl::OrderedMap<std::string, Leaf> named;
  std::optional<std::variant<std::string, std::vector<std::string>>> key;
  Value meta = Value::object();
  double age = 1.5;
  std::optional<Leaf> spare;
  bool operator==(const Tree&) const = default;

  Value post_serialize(Value dct, const Value& context) const override {
    dct = Trunk::post_serialize(std::move(dct), context);
    if (zyl::is_set(zyl::find(context, "drop_meta"))) dct.erase("meta");
    return dct;
  }
  static void describe(Fields<Tree>& f) {
    f.name("Tree");
    f.field("kind", &Tree::kind, {"oak", "ash"});
    f.field("colour", &Tree::colour);
    f.field("leaves", &Tree::leaves);
    f.field("named", &Tree::named);
    f.field("key", &Tree::key);
    f.field("meta", &Tree::meta);
    f.field("age", &Tree::age);
    f.field("spare", &Tree::spare);
  }
};

struct Loose final : Record<Loose, AdditionalPropertiesAllowed, contracts::util::Mergeable> {
  std::optional<std::string> a;
  std::optional<std::string> b;
  bool operator==(const Loose&) const = default;
  static void describe(Fields<Loose>& f) {
    f.name("Loose");
    f.field("a", &Loose::a);
    f.field("b", &Loose::b);
  }
};

// Refuses an empty label after construction, also when built from a map.
struct Checked final : Record<Checked, BrekClassMixin> {
  std::string label;
  explicit Checked(std::string l) : label(std::move(l)) { post_init(); }
  explicit Checked(Unchecked) {}
  void post_init() override {
    if (label.empty()) throw CompilationError("label must not be empty");
  }
  bool operator==(const Checked&) const = default;
  static void describe(Fields<Checked>& f) { f.field("label", &Checked::label); }
};

std::string validation_message(const Value& data) {
  try {
    Tree::validate(data);
  } catch (const ValidationError& e) {
    return e.what();
  }
  return "";
}

Tree full_tree() {
  Tree t;
  t.place = "hill";
  t.id = "t1";
  t.kind = "ash";
  t.colour = Colour::Dark_Blue;
  t.leaves = {Leaf{}, Leaf{}};
  t.leaves[0].label = "first";
  t.leaves[1].label = "second";
  t.leaves[1].weight = 3;
  t.named["x"].label = "ex";
  t.key = std::vector<std::string>{"a", "b"};
  t.meta = {{"k", {1, 2}}};
  t.age = 0.1;
  t.spare = Leaf{};
  t.spare->label = "spare";
  return t;
}

TEST(DataclassSchemaTest, SerialisesBaseFieldsFirstAndRoundTrips) {
  const Tree t = full_tree();
  const Value d = t.to_dict();
  std::vector<std::string> keys;
  for (const auto& [k, v] : d.items()) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"place", "id", "kind", "colour", "leaves", "named",
                                            "key", "meta", "age", "spare"}));
  EXPECT_EQ(d["colour"], "dark_blue");
  EXPECT_EQ(d["leaves"][1], (Value{{"label", "second"}, {"weight", 3}}));
  EXPECT_EQ(d["key"], (Value{"a", "b"}));
  EXPECT_EQ(Tree::from_dict(d), t);

  Tree single = t;
  single.key = std::string("a");
  EXPECT_EQ(Tree::from_dict(single.to_dict()), single);
}

TEST(DataclassSchemaTest, OmitNoneLeavesOutAbsentValuesAtEveryLevel) {
  Tree t;
  t.id = "t";
  t.meta = nullptr;
  t.leaves.resize(1);
  const Value d = t.to_dict(OmitNone::kYes);
  EXPECT_FALSE(d.contains("place"));
  EXPECT_FALSE(d.contains("key"));
  EXPECT_FALSE(d.contains("meta"));
  EXPECT_FALSE(d.contains("spare"));
  EXPECT_EQ(d["leaves"][0], (Value{{"label", ""}}));
  EXPECT_TRUE(t.to_dict().contains("spare"));
  // Missing optional fields keep their defaults.
  Tree back = Tree::from_dict(d);
  EXPECT_EQ(back.meta, Value::object());
  EXPECT_EQ(back.kind, "oak");
}

TEST(DataclassSchemaTest, ValidationMessagesNameThePathAndTheExpectation) {
  Value good = full_tree().to_dict();
  auto with = [&](const std::string& key, Value v) {
    Value d = good;
    d[key] = std::move(v);
    return validation_message(d);
  };
  EXPECT_EQ(validation_message(good), "");
  EXPECT_EQ(validation_message(Value::array()), "Tree: expected a map (Tree), got []");
  Value no_id = good;
  no_id.erase("id");
  EXPECT_EQ(validation_message(no_id), "Tree: missing required field 'id'");
  EXPECT_EQ(with("age", "old"), "Tree.age: expected a number, got \"old\"");
  EXPECT_EQ(with("kind", "elm"), "Tree.kind: expected one of 'oak', 'ash', got \"elm\"");
  EXPECT_EQ(with("colour", "Red"),
            "Tree.colour: expected one of 'red', 'dark_blue' (Colour), got \"Red\"");
  EXPECT_EQ(with("leaves", Value{{{"label", "a"}}, {{"label", "b"}, {"weight", 1.5}}}),
            "Tree.leaves[1].weight: expected an integer, got 1.5");
  EXPECT_EQ(with("leaves", Value{{{"weight", 1}}}),
            "Tree.leaves[0]: missing required field 'label'");
  EXPECT_EQ(with("named", Value{{"x", {{"label", 1}}}}),
            "Tree.named.x.label: expected a string, got 1");
  EXPECT_EQ(with("key", Value{"a", 2}),
            "Tree.key: expected a string or a list of strings, got [\"a\",2]");
  EXPECT_EQ(with("spare", Value{{"label", "s"}, {"colour", "red"}}),
            "Tree.spare: unknown field 'colour' (Leaf does not allow additional properties)");
  EXPECT_EQ(with("height", 3),
            "Tree: unknown field 'height' (Tree does not allow additional properties)");
  EXPECT_THROW(Tree::from_dict(no_id), ValidationError);
}

TEST(DataclassSchemaTest, AdditionalPropertiesAreKeptAndMergedKeyByKey) {
  const Value d = {{"a", "1"}, {"colour", "red"}, {"b", nullptr}};
  Loose l = Loose::from_dict(d);
  EXPECT_EQ(l._extra, (Value{{"colour", "red"}}));
  EXPECT_EQ(l.to_dict(), (Value{{"a", "1"}, {"b", nullptr}, {"colour", "red"}}));
  EXPECT_EQ(Loose::from_dict(l.to_dict()), l);

  Loose update;
  update.b = "2";
  update._extra = {{"size", 3}};
  const Loose m = contracts::util::merged(l, update);
  EXPECT_EQ(m.a, "1");
  EXPECT_EQ(m.b, "2");
  EXPECT_EQ(m._extra, (Value{{"colour", "red"}, {"size", 3}}));
}

TEST(DataclassSchemaTest, PostSerializeSeesTheContextOfTheOuterCall) {
  const Tree t = full_tree();
  EXPECT_TRUE(t.to_dict(OmitNone::kNo, Value{{"drop_meta", false}}).contains("meta"));
  EXPECT_FALSE(t.to_dict(OmitNone::kNo, Value{{"drop_meta", true}}).contains("meta"));
}

TEST(DataclassSchemaTest, PostInitRunsOnConstructionAndOnConversion) {
  EXPECT_THROW(Checked(""), CompilationError);
  EXPECT_EQ(Checked::from_dict({{"label", "x"}}).label, "x");
  EXPECT_THROW(Checked::from_dict(Value::object()), CompilationError);
}

TEST(StrEnumTest, LooksUpMembersByValueOnly) {
  EXPECT_EQ(StrEnum<Colour>::from_value("dark_blue"), Colour::Dark_Blue);
  EXPECT_EQ(StrEnum<Colour>::from_value("Dark_Blue"), std::nullopt);
  EXPECT_EQ(StrEnum<Colour>::value(Colour::Red), "red");
}

}  // namespace
}  // namespace brek_common::dataclass_schema
