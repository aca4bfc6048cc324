#include "job/options.hpp"

#include <limits>

#include <nlohmann/json.hpp>

namespace capture {

namespace {

using nlohmann::json;

// A decoding step: fills the field from the member, or reports failure.
struct Decoder {
  const json& object;
  bool ok = true;

  const json* member(const char* key) {
    if (!ok) return nullptr;
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) return nullptr;
    return &*it;
  }

  // Plain JSON integers only (no fraction or exponent in the text), held to [lo, hi].
  template <class T>
  std::optional<T> integer(const json& v, long double lo, long double hi) {
    if (v.is_number_unsigned()) {
      const auto u = v.get<uint64_t>();
      if (static_cast<long double>(u) <= hi) return static_cast<T>(u);
    } else if (v.is_number_integer()) {
      const auto i = v.get<int64_t>();
      if (static_cast<long double>(i) >= lo && static_cast<long double>(i) <= hi)
        return static_cast<T>(i);
    }
    return std::nullopt;
  }

  template <class T>
  void decodeInteger(const char* key, std::optional<T>& field) {
    if (const json* v = member(key)) {
      field = integer<T>(*v, std::numeric_limits<T>::min(), std::numeric_limits<T>::max());
      ok = field.has_value();
    }
  }

  void decodeString(const char* key, std::optional<std::string>& field) {
    if (const json* v = member(key)) {
      if (v->is_string())
        field = v->get<std::string>();
      else
        ok = false;
    }
  }

  void decodeBool(const char* key, std::optional<bool>& field) {
    if (const json* v = member(key)) {
      if (v->is_boolean())
        field = v->get<bool>();
      else
        ok = false;
    }
  }

  void decodeDouble(const char* key, std::optional<double>& field) {
    if (const json* v = member(key)) {
      if (v->is_number())
        field = v->get<double>();
      else
        ok = false;
    }
  }

  template <class T, class Element>
  void decodeArray(const char* key, std::optional<std::vector<T>>& field, Element element) {
    const json* v = member(key);
    if (!v) return;
    if (!v->is_array()) {
      ok = false;
      return;
    }
    std::vector<T> values;
    values.reserve(v->size());
    for (const auto& e : *v) {
      std::optional<T> decoded = element(e);
      if (!decoded) {
        ok = false;
        return;
      }
      values.push_back(std::move(*decoded));
    }
    field = std::move(values);
  }
};

}  // namespace

std::optional<Options> decodeOptions(std::string_view text) {
  json object;
  try {
    object = json::parse(text.begin(), text.end());
  } catch (const json::exception&) {
    return std::nullopt;
  }
  if (!object.is_object()) return std::nullopt;

  Options o;
  Decoder d{object};
  d.decodeInteger("display", o.display);
  d.decodeInteger("window", o.window);
  if (d.ok) {
    auto it = object.find("output");
    if (it == object.end() || !it->is_string()) return std::nullopt;
    o.output = it->get<std::string>();
  }
  d.decodeString("systemAudio", o.systemAudio);
  d.decodeInteger("fps", o.fps);
  d.decodeBool("showsCursor", o.showsCursor);
  d.decodeArray("excludePids", o.excludePids, [&](const json& e) {
    return d.integer<int32_t>(e, std::numeric_limits<int32_t>::min(),
                              std::numeric_limits<int32_t>::max());
  });
  d.decodeDouble("scale", o.scale);
  d.decodeInteger("maxWidth", o.maxWidth);
  d.decodeArray("area", o.area, [](const json& e) -> std::optional<double> {
    if (e.is_number()) return e.get<double>();
    return std::nullopt;
  });
  d.decodeArray("audioApps", o.audioApps, [](const json& e) -> std::optional<std::string> {
    if (e.is_string()) return e.get<std::string>();
    return std::nullopt;
  });
  if (!d.ok) return std::nullopt;
  return o;
}

}  // namespace capture
