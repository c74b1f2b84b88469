// The two writers of a record's fields. A record's members are listed once, in a fields
// function (template <typename V> void fields(V& v, const Record& r)) calling v.member(name,
// value) for a text, a number or a list of texts, and v.record / v.records for the records
// inside. JsonBuilder builds the JSON value from it; CompactWriter writes the same text as
// that value's compact dump, straight away: no spaces, null for an absent value, [] for an
// empty list.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "text/json_writer.h"

namespace tracedx {

using OrderedJson = nlohmann::ordered_json;

// A value, or null when it is absent.
template <typename T>
OrderedJson optional_json(const std::optional<T>& v) {
  return v ? OrderedJson(*v) : OrderedJson(nullptr);
}

// Builds the JSON value of a record from its fields.
class JsonBuilder {
 public:
  explicit JsonBuilder(OrderedJson& j) : j_(j) {}

  template <typename T>
  void member(const char* name, const T& value) {
    j_[name] = value;
  }
  template <typename T>
  void member(const char* name, const std::optional<T>& value) {
    j_[name] = optional_json(value);
  }
  template <typename T>
  void record(const char* name, const T* value, void (*fields)(JsonBuilder&, const T&)) {
    j_[name] = value ? build(*value, fields) : OrderedJson(nullptr);
  }
  template <typename T>
  void records(const char* name, const std::vector<T>& list,
               void (*fields)(JsonBuilder&, const T&)) {
    OrderedJson a = OrderedJson::array();
    for (const auto& item : list) a.push_back(build(item, fields));
    j_[name] = std::move(a);
  }

  template <typename T>
  static OrderedJson build(const T& value, void (*fields)(JsonBuilder&, const T&)) {
    OrderedJson j = OrderedJson::object();
    JsonBuilder b(j);
    fields(b, value);
    return j;
  }

 private:
  OrderedJson& j_;
};

// Writes members and values in the order given, as the compact dump of the ordered JSON
// value would: no spaces, null for an absent value, [] for an empty list.
class CompactWriter {
 public:
  explicit CompactWriter(std::string& out) : out_(out) {}

  void member(const char* name, const std::string& v) {
    key(name);
    append_json_string(out_, v);
  }
  void member(const char* name, const std::optional<std::string>& v) {
    key(name);
    if (v)
      append_json_string(out_, *v);
    else
      out_ += "null";
  }
  template <typename N>
  requires std::is_arithmetic_v<N>
  void member(const char* name, const std::optional<N>& v) {
    key(name);
    out_ += v ? nlohmann::json(*v).dump() : std::string("null");
  }
  void member(const char* name, uint64_t v) {
    key(name);
    out_ += std::to_string(v);
  }
  void member(const char* name, bool v) {
    key(name);
    out_ += v ? "true" : "false";
  }
  void member(const char* name, int64_t v) {
    key(name);
    out_ += std::to_string(v);
  }
  // A member whose value is JSON text already (null when absent), written as it is.
  void json_member(const char* name, const std::optional<std::string>& json_text) {
    key(name);
    out_ += json_text ? *json_text : std::string("null");
  }
  void member(const char* name, const std::vector<std::string>& list) {
    key(name);
    out_ += '[';
    for (size_t i = 0; i < list.size(); ++i) {
      if (i) out_ += ',';
      append_json_string(out_, list[i]);
    }
    out_ += ']';
  }
  template <typename T>
  void record(const char* name, const T* value, void (*fields)(CompactWriter&, const T&)) {
    key(name);
    if (value)
      write(*value, fields);
    else
      out_ += "null";
  }
  template <typename T>
  void records(const char* name, const std::vector<T>& list,
               void (*fields)(CompactWriter&, const T&)) {
    key(name);
    out_ += '[';
    for (size_t i = 0; i < list.size(); ++i) {
      if (i) out_ += ',';
      write(list[i], fields);
    }
    out_ += ']';
  }

  // One record as an object.
  template <typename T>
  void write(const T& value, void (*fields)(CompactWriter&, const T&)) {
    out_ += '{';
    first_ = true;
    fields(*this, value);
    out_ += '}';
    first_ = false;
  }

 private:
  void key(std::string_view k) {
    if (!first_) out_ += ',';
    first_ = false;
    out_ += '"';
    out_ += k;  // member names are plain ASCII words
    out_ += "\":";
  }

  std::string& out_;
  bool first_ = true;
};

}  // namespace tracedx
