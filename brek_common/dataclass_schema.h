// The host's serialisable records: one field table per record gives conversion to a map,
// conversion back, schema validation of a map and (with `= default`) field-wise equality.
//
// A record derives from `Record<Self, Bases...>`, where exactly one of the bases derives from
// `BrekClassMixin` (the serialisable-record base), declares its fields as public members with
// their defaults, and lists them once in a static `describe`:
//
//   struct Owner final : Record<Owner, BrekClassMixin> {
//     std::optional<std::string> email;
//     std::optional<std::string> name;
//     bool operator==(const Owner&) const = default;
//     static void describe(Fields<Owner>& f) {
//       f.name("Owner");                          // names the root of validation messages
//       f.field("email", &Owner::email);
//       f.field("name", &Owner::name);
//     }
//   };
//
//   Owner o;  o.email = "a@b.c";
//   zyl::Value m = o.to_dict();                 // {"email": "a@b.c", "name": null}
//   Owner back = Owner::from_dict(m);           // validates first, throws ValidationError
//   Owner::validate({{"email", 3}});            // "Owner.email: expected a string, got 3"
//
// Fields of the bases come first in the map, in base order, then the record's own. A base that
// is not itself serialisable may still contribute fields through its own static `describe`
// (a field group such as `HasRelationMetadata`). Records deriving from
// `AdditionalPropertiesAllowed` keep unknown keys in `_extra`; every other record rejects them.
//
// Member types understood: std::string, bool, int, int64_t, double, zyl::Value (any value),
// std::optional<T>, std::vector<T>, zyl::OrderedMap<std::string, T>, std::variant<A, B, ...>,
// enumerations with a `StrEnumMembers` table, and records. Schemas are built once per record
// type, on first use, thread-safely; every operation on them is thread-safe for distinct
// records.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "brek_common/exceptions.h"
#include "core/ordered_map.h"
#include "core/value.h"

namespace brek_common::dataclass_schema {

class Schema;

// Tag of the constructor that from_dict uses for records whose public constructors check their
// fields: the record is built unchecked, filled, and then its post_init() runs the check.
struct Unchecked {};

// A default value of T to fill: T(Unchecked{}) when T has that constructor, else T().
template <typename T>
T make_blank() {
  if constexpr (std::is_constructible_v<T, Unchecked>) {
    return T(Unchecked{});
  } else {
    return T();
  }
}

// Whether to_dict leaves out fields whose value is absent (an empty optional or a null value).
enum class OmitNone : bool { kNo = false, kYes = true };

// The serialisable-record base (the host calls it brekClassMixin).
class BrekClassMixin {
 public:
  virtual ~BrekClassMixin() = default;

  // The record as a string-keyed map, fields in declaration order (base fields first), nested
  // records converted the same way; then `post_serialize(map, context)` is applied. `context`
  // is null or a map handed unchanged to every hook. Never throws for a well-formed record.
  zyl::Value to_dict(OmitNone omit_none = OmitNone::kNo, const zyl::Value& context = nullptr) const;

  // Hook applied to the map produced from this record; returns the (possibly changed) map. An
  // override calls its base's hook first.
  virtual zyl::Value post_serialize(zyl::Value dct, const zyl::Value& context) const { return dct; }

  // Check run after from_dict has filled the fields; throws to refuse the record.
  virtual void post_init() {}

  // The field table of the dynamic type.
  virtual const Schema& record_schema() const = 0;

  bool operator==(const BrekClassMixin&) const = default;

 protected:
  BrekClassMixin() = default;
  BrekClassMixin(const BrekClassMixin&) = default;
  BrekClassMixin& operator=(const BrekClassMixin&) = default;
  BrekClassMixin(BrekClassMixin&&) = default;
  BrekClassMixin& operator=(BrekClassMixin&&) = default;

  // Address of the most derived object, the one the field table's accessors expect.
  virtual const void* record_address() const = 0;
  friend class Schema;
};

// Records that accept and keep properties beyond their declared fields.
class AdditionalPropertiesAllowed : public BrekClassMixin {
 public:
  // Keys that are not declared fields, in the order read; written after the declared fields.
  zyl::Value _extra = zyl::Value::object();

  bool operator==(const AdditionalPropertiesAllowed&) const = default;
};

// ---- string enumerations ----------------------------------------------------------------

// Specialise for an enum class E:
//   template <> struct StrEnumMembers<E> {
//     static constexpr std::string_view name = "E";
//     static std::span<const std::pair<E, std::string_view>> members();  // declaration order
//   };
template <typename E>
struct StrEnumMembers;

// A string enumeration: an enum class whose members each stand for one text value, which is
// what is serialised and what a map holds. Thread-safe.
template <typename E>
struct StrEnum {
  // The member's value ("ml" for ExposureType::ML).
  static std::string_view value(E member) {
    for (const auto& [m, v] : StrEnumMembers<E>::members()) {
      if (m == member) return v;
    }
    return {};
  }
  // The member whose value is `value` (exact, case-sensitive match), or nullopt.
  static std::optional<E> from_value(std::string_view value) {
    for (const auto& [m, v] : StrEnumMembers<E>::members()) {
      if (v == value) return m;
    }
    return std::nullopt;
  }
  // "'a', 'b', 'c'": the values in declaration order, for messages.
  static std::string values_text() {
    std::string out;
    for (const auto& [m, v] : StrEnumMembers<E>::members()) {
      if (!out.empty()) out += ", ";
      out += "'" + std::string(v) + "'";
    }
    return out;
  }
};

template <typename E>
concept StrEnumType = std::is_enum_v<E> && requires {
  StrEnumMembers<E>::members();
};

// ---- field tables -----------------------------------------------------------------------

// The type-erased operations of one member type; `member` points at the member itself.
struct FieldOps {
  zyl::Value (*encode)(const void* member, OmitNone omit_none, const zyl::Value& context);
  void (*decode)(const zyl::Value& value, void* member);            // value already validated
  void (*check)(const zyl::Value& value, const std::string& path);  // throws ValidationError
  bool (*is_none)(const void* member);
};

struct Field {
  std::string name;
  bool required = false;
  std::vector<zyl::Value> allowed;  // when non-empty, the only values accepted
  const FieldOps* ops = nullptr;
  std::function<void*(void*)> locate;  // record address -> member address
};

// A record's field table. Built by Record<...>::field_table(); immutable afterwards.
class Schema {
 public:
  explicit Schema(std::string record_name) : name_(std::move(record_name)) {}

  // The record's name, "record" when its describe gave none.
  const std::string& name() const { return name_; }
  const std::vector<Field>& fields() const { return fields_; }
  bool allows_additional_properties() const { return static_cast<bool>(extra_); }

  // The map of the record at `record` (without the post-serialisation hook).
  zyl::Value encode(const void* record, OmitNone omit_none, const zyl::Value& context) const;
  // Throws ValidationError naming `path` (and below) when `value` does not fit.
  void check(const zyl::Value& value, const std::string& path) const;
  // Fills the record at `record` from a value that passed check().
  void decode(const zyl::Value& value, void* record) const;

  // Filled by Fields and Record while the table is built.
  std::vector<Field> fields_;
  std::function<zyl::Value*(void*)> extra_;  // record address -> its `_extra`, when allowed
  std::string name_;
};

// Throws ValidationError "<path>: expected <expected>, got <value>".
[[noreturn]] void fail(const std::string& path, std::string_view expected, const zyl::Value& got);

template <typename T>
struct Codec;

template <typename T>
concept RecordType = std::is_base_of_v<BrekClassMixin, T> && requires {
  T::field_table();
};

template <typename T>
const FieldOps* ops_for() {
  static const FieldOps ops = {
      [](const void* m, OmitNone omit, const zyl::Value& ctx) -> zyl::Value {
        return Codec<T>::encode(*static_cast<const T*>(m), omit, ctx);
      },
      [](const zyl::Value& v, void* m) { Codec<T>::decode(v, *static_cast<T*>(m)); },
      [](const zyl::Value& v, const std::string& path) { Codec<T>::check(v, path); },
      [](const void* m) { return Codec<T>::is_none(*static_cast<const T*>(m)); },
  };
  return &ops;
}

// The builder handed to a record's `describe`.
template <typename T>
class Fields {
 public:
  explicit Fields(Schema& schema) : schema_(schema) {}

  // The record's name, used at the root of validation messages ("Exposure.owner: ...").
  void name(std::string record_name) { schema_.name_ = std::move(record_name); }

  // A field with a default: may be missing from a map.
  template <typename M, typename C>
  Fields& field(std::string name, M C::*member, std::vector<zyl::Value> allowed = {}) {
    add(std::move(name), member, false, std::move(allowed));
    return *this;
  }
  // A field that every map must hold (its value may still be null when M is optional).
  template <typename M, typename C>
  Fields& required(std::string name, M C::*member, std::vector<zyl::Value> allowed = {}) {
    add(std::move(name), member, true, std::move(allowed));
    return *this;
  }

  // Adds the fields of base B (its bases first), reached through T.
  template <typename B>
  void include() {
    if constexpr (
        requires(Fields<B> & f) { B::describe_all(f); } ||
        requires(Fields<B> & f) { B::describe(f); }) {
      Schema inner(schema_.name());
      Fields<B> sub(inner);
      if constexpr (requires(Fields<B> & f) { B::describe_all(f); }) {
        B::describe_all(sub);
      } else {
        B::describe(sub);
      }
      for (Field& f : inner.fields_) {
        f.locate = [inner_locate = std::move(f.locate)](void* r) {
          return inner_locate(static_cast<B*>(static_cast<T*>(r)));
        };
        schema_.fields_.push_back(std::move(f));
      }
    }
  }

 private:
  template <typename M, typename C>
  void add(std::string name, M C::*member, bool required, std::vector<zyl::Value> allowed) {
    static_assert(std::is_base_of_v<C, T> || std::is_same_v<C, T>);
    Field f;
    f.name = std::move(name);
    f.required = required;
    f.allowed = std::move(allowed);
    f.ops = ops_for<M>();
    f.locate = [member](void* r) -> void* { return &(static_cast<T*>(r)->*member); };
    schema_.fields_.push_back(std::move(f));
  }

  Schema& schema_;
};

// The base of every concrete record: builds the field table from Bases' tables and
// Self::describe, and supplies from_dict / validate returning Self.
template <typename Self, typename... Bases>
class Record : public Bases... {
  static_assert((std::is_base_of_v<BrekClassMixin, Bases> || ...),
                "one base of a record must be serialisable");

 public:
  // The field table of Self, built on first use. Thread-safe.
  static const Schema& field_table() {
    static const Schema table = [] {
      Schema s("record");
      Fields<Self> fields(s);
      Self::describe_all(fields);
      if constexpr (std::is_base_of_v<AdditionalPropertiesAllowed, Self>) {
        s.extra_ = [](void* r) -> zyl::Value* {
          return &static_cast<AdditionalPropertiesAllowed*>(static_cast<Self*>(r))->_extra;
        };
      }
      return s;
    }();
    return table;
  }

  static void describe_all(Fields<Self>& fields) {
    (fields.template include<Bases>(), ...);
    Self::describe(fields);
  }

  // Throws ValidationError (message: "<Record>.<field path>: ...") when `data` does not fit.
  static void validate(const zyl::Value& data) { field_table().check(data, field_table().name()); }

  // A new record from a map: validate(data), then the fields present replace the defaults and
  // post_init() runs. Throws ValidationError, or whatever post_init() throws.
  static Self from_dict(const zyl::Value& data) {
    validate(data);
    return build_validated(data);
  }

  // from_dict for a value that already passed validate().
  static Self build_validated(const zyl::Value& data) {
    Self out = make_blank<Self>();
    field_table().decode(data, static_cast<void*>(&out));
    static_cast<BrekClassMixin&>(out).post_init();
    return out;
  }

  const Schema& record_schema() const override { return field_table(); }

  bool operator==(const Record&) const = default;

 protected:
  const void* record_address() const override { return static_cast<const Self*>(this); }

 private:
};

// ---- codecs -----------------------------------------------------------------------------

template <>
struct Codec<std::string> {
  static zyl::Value encode(const std::string& v, OmitNone, const zyl::Value&) { return v; }
  static void decode(const zyl::Value& v, std::string& out) { out = v.get<std::string>(); }
  static void check(const zyl::Value& v, const std::string& path) {
    if (!v.is_string()) fail(path, expected(), v);
  }
  static bool is_none(const std::string&) { return false; }
  static std::string expected() { return "a string"; }
};

template <>
struct Codec<bool> {
  static zyl::Value encode(bool v, OmitNone, const zyl::Value&) { return v; }
  static void decode(const zyl::Value& v, bool& out) { out = v.get<bool>(); }
  static void check(const zyl::Value& v, const std::string& path) {
    if (!v.is_boolean()) fail(path, expected(), v);
  }
  static bool is_none(bool) { return false; }
  static std::string expected() { return "a boolean"; }
};

template <typename I>
requires(std::is_integral_v<I> && !std::is_same_v<I, bool>) struct Codec<I> {
  static zyl::Value encode(I v, OmitNone, const zyl::Value&) { return v; }
  static void decode(const zyl::Value& v, I& out) { out = v.get<I>(); }
  static void check(const zyl::Value& v, const std::string& path) {
    if (!v.is_number_integer()) fail(path, expected(), v);
  }
  static bool is_none(I) { return false; }
  static std::string expected() { return "an integer"; }
};

template <>
struct Codec<double> {
  static zyl::Value encode(double v, OmitNone, const zyl::Value&) { return v; }
  static void decode(const zyl::Value& v, double& out) { out = v.get<double>(); }
  static void check(const zyl::Value& v, const std::string& path) {
    if (!v.is_number()) fail(path, expected(), v);
  }
  static bool is_none(double) { return false; }
  static std::string expected() { return "a number"; }
};

// Any value; null counts as absent.
template <>
struct Codec<zyl::Value> {
  static zyl::Value encode(const zyl::Value& v, OmitNone, const zyl::Value&) { return v; }
  static void decode(const zyl::Value& v, zyl::Value& out) { out = v; }
  static void check(const zyl::Value&, const std::string&) {}
  static bool is_none(const zyl::Value& v) { return v.is_null(); }
  static std::string expected() { return "any value"; }
};

template <typename T>
struct Codec<std::optional<T>> {
  static zyl::Value encode(const std::optional<T>& v, OmitNone omit, const zyl::Value& ctx) {
    return v ? Codec<T>::encode(*v, omit, ctx) : zyl::Value(nullptr);
  }
  static void decode(const zyl::Value& v, std::optional<T>& out) {
    if (v.is_null()) {
      out.reset();
    } else {
      T inner = make_blank<T>();
      Codec<T>::decode(v, inner);
      out = std::move(inner);
    }
  }
  static void check(const zyl::Value& v, const std::string& path) {
    if (v.is_null()) return;
    Codec<T>::check(v, path);
  }
  static bool is_none(const std::optional<T>& v) { return !v.has_value(); }
  static std::string expected() { return Codec<T>::expected() + " or null"; }
};

template <typename T>
struct Codec<std::vector<T>> {
  static zyl::Value encode(const std::vector<T>& v, OmitNone omit, const zyl::Value& ctx) {
    zyl::Value out = zyl::Value::array();
    for (const T& item : v) out.push_back(Codec<T>::encode(item, omit, ctx));
    return out;
  }
  static void decode(const zyl::Value& v, std::vector<T>& out) {
    out.clear();
    out.reserve(v.size());
    for (const auto& item : v) {
      T slot = make_blank<T>();
      Codec<T>::decode(item, slot);
      out.push_back(std::move(slot));
    }
  }
  static void check(const zyl::Value& v, const std::string& path) {
    if (!v.is_array()) fail(path, expected(), v);
    for (size_t i = 0; i < v.size(); ++i) {
      Codec<T>::check(v[i], path + "[" + std::to_string(i) + "]");
    }
  }
  static bool is_none(const std::vector<T>&) { return false; }
  static std::string expected() { return "a list of " + plural(Codec<T>::expected()); }

 private:
  // "a map (X)" -> "maps (X)", "an integer" -> "integers"; other texts stay as they are.
  static std::string plural(std::string one) {
    size_t start = one.rfind("a ", 0) == 0 ? 2 : one.rfind("an ", 0) == 0 ? 3 : 0;
    if (start == 0) return one;
    one = one.substr(start);
    size_t end = one.find(' ');
    if (end == std::string::npos) return one + "s";
    return one.substr(0, end) + "s" + one.substr(end);
  }
};

template <typename T>
struct Codec<zyl::OrderedMap<std::string, T>> {
  using Map = zyl::OrderedMap<std::string, T>;
  static zyl::Value encode(const Map& v, OmitNone omit, const zyl::Value& ctx) {
    zyl::Value out = zyl::Value::object();
    for (const auto& [key, item] : v) out[key] = Codec<T>::encode(item, omit, ctx);
    return out;
  }
  static void decode(const zyl::Value& v, Map& out) {
    out.clear();
    for (const auto& [key, item] : v.items()) {
      T slot = make_blank<T>();
      Codec<T>::decode(item, slot);
      out.set(key, std::move(slot));
    }
  }
  static void check(const zyl::Value& v, const std::string& path) {
    if (!v.is_object()) fail(path, expected(), v);
    for (const auto& [key, item] : v.items()) Codec<T>::check(item, path + "." + key);
  }
  static bool is_none(const Map&) { return false; }
  static std::string expected() { return "a map of " + Codec<T>::expected(); }
};

// The first alternative whose check passes is the one decoded.
template <typename... Ts>
struct Codec<std::variant<Ts...>> {
  using Variant = std::variant<Ts...>;
  static zyl::Value encode(const Variant& v, OmitNone omit, const zyl::Value& ctx) {
    return std::visit(
        [&](const auto& alt) { return Codec<std::decay_t<decltype(alt)>>::encode(alt, omit, ctx); },
        v);
  }
  static void decode(const zyl::Value& v, Variant& out) { decode_as<0>(v, out); }
  static void check(const zyl::Value& v, const std::string& path) {
    if (!(fits<Ts>(v, path) || ...)) fail(path, expected(), v);
  }
  static bool is_none(const Variant&) { return false; }
  static std::string expected() {
    std::string out;
    ((out += (out.empty() ? "" : " or ") + Codec<Ts>::expected()), ...);
    return out;
  }

 private:
  template <typename A>
  static bool fits(const zyl::Value& v, const std::string& path) {
    try {
      Codec<A>::check(v, path);
      return true;
    } catch (const ValidationError&) {
      return false;
    }
  }
  template <size_t I>
  static void decode_as(const zyl::Value& v, Variant& out) {
    using A = std::variant_alternative_t<I, Variant>;
    if constexpr (I + 1 < sizeof...(Ts)) {
      if (!fits<A>(v, "")) return decode_as<I + 1>(v, out);
    }
    A slot = make_blank<A>();
    Codec<A>::decode(v, slot);
    out = std::move(slot);
  }
};

template <StrEnumType E>
struct Codec<E> {
  static zyl::Value encode(E v, OmitNone, const zyl::Value&) {
    return std::string(StrEnum<E>::value(v));
  }
  static void decode(const zyl::Value& v, E& out) {
    out = *StrEnum<E>::from_value(v.get<std::string>());
  }
  static void check(const zyl::Value& v, const std::string& path) {
    if (!v.is_string() || !StrEnum<E>::from_value(v.get<std::string>())) {
      fail(path, expected(), v);
    }
  }
  static bool is_none(E) { return false; }
  static std::string expected() {
    return "one of " + StrEnum<E>::values_text() + " (" + std::string(StrEnumMembers<E>::name) +
           ")";
  }
};

template <RecordType R>
struct Codec<R> {
  static zyl::Value encode(const R& v, OmitNone omit, const zyl::Value& ctx) {
    return v.to_dict(omit, ctx);
  }
  static void decode(const zyl::Value& v, R& out) { out = R::build_validated(v); }
  static void check(const zyl::Value& v, const std::string& path) {
    R::field_table().check(v, path);
  }
  static bool is_none(const R&) { return false; }
  static std::string expected() { return "a map (" + R::field_table().name() + ")"; }
};

}  // namespace brek_common::dataclass_schema

namespace brek_common {
using dataclass_schema::AdditionalPropertiesAllowed;
using dataclass_schema::BrekClassMixin;
using dataclass_schema::StrEnum;
}  // namespace brek_common
