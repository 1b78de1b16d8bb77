#include "brek_common/dataclass_schema.h"

#include <algorithm>

#include "core/text.h"

namespace brek_common::dataclass_schema {
namespace {

constexpr size_t kShownValueLength = 80;

std::string shown(const zyl::Value& value) {
  std::string text = value.dump();
  if (text.size() > kShownValueLength) text = zyl::text::prefix(text, kShownValueLength) + "...";
  return text;
}

const Field* declared(const Schema& schema, const std::string& key) {
  for (const Field& f : schema.fields()) {
    if (f.name == key) return &f;
  }
  return nullptr;
}

std::string allowed_text(const std::vector<zyl::Value>& allowed) {
  std::vector<std::string> parts;
  for (const auto& v : allowed)
    parts.push_back(v.is_string() ? "'" + v.get<std::string>() + "'" : v.dump());
  return parts.size() == 1 ? parts[0] : "one of " + zyl::text::join(parts, ", ");
}

}  // namespace

void fail(const std::string& path, std::string_view expected, const zyl::Value& got) {
  throw ValidationError(path + ": expected " + std::string(expected) + ", got " + shown(got));
}

zyl::Value BrekClassMixin::to_dict(OmitNone omit_none, const zyl::Value& context) const {
  return post_serialize(record_schema().encode(record_address(), omit_none, context), context);
}

zyl::Value Schema::encode(const void* record, OmitNone omit_none, const zyl::Value& context) const {
  // The accessors take a mutable address; nothing below writes through it.
  void* address = const_cast<void*>(record);
  zyl::Value out = zyl::Value::object();
  for (const Field& f : fields_) {
    const void* member = f.locate(address);
    if (omit_none == OmitNone::kYes && f.ops->is_none(member)) continue;
    out[f.name] = f.ops->encode(member, omit_none, context);
  }
  if (extra_) {
    for (const auto& [key, value] : extra_(address)->items()) {
      if (out.contains(key)) continue;
      if (omit_none == OmitNone::kYes && value.is_null()) continue;
      out[key] = value;
    }
  }
  return out;
}

void Schema::check(const zyl::Value& value, const std::string& path) const {
  if (!value.is_object()) fail(path, "a map (" + name_ + ")", value);
  for (const Field& f : fields_) {
    auto it = value.find(f.name);
    if (it == value.end()) {
      if (f.required) throw ValidationError(path + ": missing required field '" + f.name + "'");
      continue;
    }
    const std::string field_path = path + "." + f.name;
    f.ops->check(*it, field_path);
    if (!f.allowed.empty() &&
        std::find(f.allowed.begin(), f.allowed.end(), *it) == f.allowed.end()) {
      fail(field_path, allowed_text(f.allowed), *it);
    }
  }
  if (extra_) return;
  for (const auto& [key, item] : value.items()) {
    if (declared(*this, key) == nullptr) {
      throw ValidationError(path + ": unknown field '" + key + "' (" + name_ +
                            " does not allow additional properties)");
    }
  }
}

void Schema::decode(const zyl::Value& value, void* record) const {
  for (const Field& f : fields_) {
    auto it = value.find(f.name);
    if (it != value.end()) f.ops->decode(*it, f.locate(record));
  }
  if (!extra_) return;
  zyl::Value& extra = *extra_(record);
  for (const auto& [key, item] : value.items()) {
    if (declared(*this, key) == nullptr) extra[key] = item;
  }
}

}  // namespace brek_common::dataclass_schema
