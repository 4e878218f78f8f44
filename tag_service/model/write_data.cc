#include "tag_service/model/write_data.h"

#include <charconv>
#include <cstdio>

#include "platform/utf.h"

namespace tag_service {
namespace {

std::size_t code_points(std::string_view s) {
  std::size_t n = 0;
  for (char c : s) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
  }
  return n;
}

// One "name=value" of write data, with escapes resolved.
struct assignment {
  std::string name;
  std::string value;
};

std::vector<assignment> split_assignments(std::string_view s) {
  std::vector<assignment> out;
  assignment current;
  bool in_value = false;
  bool any = false;
  auto finish = [&] {
    if (!any) return;
    if (!in_value) {
      throw input_error("write data: field '" + current.name +
                        "' has no value ('=' is missing)");
    }
    if (current.name.empty()) {
      throw input_error("write data: a value '" + current.value +
                        "' has no field name");
    }
    out.push_back(std::move(current));
    current = {};
    in_value = false;
    any = false;
  };
  for (std::size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c == ';') {
      finish();
      continue;
    }
    any = true;
    if (c == '\\') {
      if (i + 1 >= s.size() ||
          (s[i + 1] != ';' && s[i + 1] != '=' && s[i + 1] != '\\')) {
        throw input_error(
            "write data: a backslash must be followed by ';', '=' or '\\'");
      }
      c = s[++i];
      (in_value ? current.value : current.name).push_back(c);
      continue;
    }
    if (c == '=' && !in_value) {
      in_value = true;
      continue;
    }
    (in_value ? current.value : current.name).push_back(c);
  }
  finish();
  return out;
}

std::string field_names(const tag_format& f) {
  std::string names;
  for (const field_def& d : f.fields) {
    if (!names.empty()) names += ", ";
    names += d.name;
  }
  return names.empty() ? "none" : names;
}

void check_value(const field_def& d, const std::string& value,
                 field_value& out) {
  const std::string what = "write data: field '" + d.name + "' ";
  switch (d.type) {
    case field_text: {
      const std::size_t n = code_points(value);
      if (n < static_cast<std::size_t>(d.minimum) ||
          n > static_cast<std::size_t>(d.maximum)) {
        throw input_error(what + "takes " + std::to_string(d.minimum) + " to " +
                          std::to_string(d.maximum) + " characters, not " +
                          std::to_string(n));
      }
      break;
    }
    case field_number: {
      std::int64_t v = 0;
      const char* first = value.data();
      const char* last = value.data() + value.size();
      if (first != last && *first == '+') ++first;
      const auto [end, ec] = std::from_chars(first, last, v);
      if (value.empty() || ec != std::errc() || end != last || v < d.minimum ||
          v > d.maximum) {
        throw input_error(what + "takes a whole number from " +
                          std::to_string(d.minimum) + " to " +
                          std::to_string(d.maximum) + ", not '" + value + "'");
      }
      break;
    }
    case field_code: {
      for (const code_entry& c : d.codes) {
        if (c.code == value) {
          out.description = c.description;
          return;
        }
      }
      std::string codes;
      for (const code_entry& c : d.codes) {
        if (!codes.empty()) codes += ", ";
        codes += c.code;
      }
      throw input_error(what + "takes one of " + codes + ", not '" + value +
                        "'");
    }
  }
}

}  // namespace

tag parse_write_data(const scene& f, std::string_view data) {
  if (data.size() > kMaxTextBytes) {
    throw input_error("write data is longer than " +
                      std::to_string(kMaxTextBytes) + " bytes");
  }
  if (!korvo::is_valid_utf8(data)) {
    throw input_error("write data is not valid UTF-8");
  }
  // A control character in a tag's text would reach every reader of it
  // (a line break forges lines in listings, ESC drives terminals).
  for (std::size_t i = 0; i < data.size(); ++i) {
    const auto b = static_cast<unsigned char>(data[i]);
    if (b < 0x20 || b == 0x7F) {
      char code[8];
      std::snprintf(code, sizeof code, "0x%02X", b);
      throw input_error(std::string("write data holds a control character (") +
                        code + ") at byte " + std::to_string(i));
    }
  }
  const auto colon = data.find(':');
  const std::string_view head = data.substr(0, colon);
  std::int32_t format_id = 0;
  const auto [end, ec] =
      std::from_chars(head.data(), head.data() + head.size(), format_id);
  if (colon == std::string_view::npos || head.empty() || ec != std::errc() ||
      end != head.data() + head.size() || head.front() == '-') {
    throw input_error(
        "write data must start with a format id and ':', as in "
        "FORMAT:field=value;field=value");
  }
  const tag_format* format = find_format(f, format_id);
  if (format == nullptr) {
    throw input_error("write data: there is no format " + std::string(head));
  }
  if (!format->enabled) {
    throw input_error("write data: format " + std::string(head) + " (" +
                      format->description + ") is disabled");
  }
  const std::vector<assignment> given =
      split_assignments(data.substr(colon + 1));
  std::vector<const assignment*> by_field(format->fields.size(), nullptr);
  for (const assignment& a : given) {
    bool known = false;
    for (std::size_t k = 0; k < format->fields.size(); ++k) {
      if (!korvo::equals_ascii_nocase(format->fields[k].name, a.name)) continue;
      known = true;
      if (by_field[k] != nullptr) {
        throw input_error("write data: field '" + format->fields[k].name +
                          "' is given twice");
      }
      by_field[k] = &a;
    }
    if (!known) {
      throw input_error("write data: format " + std::string(head) +
                        " has no field '" + a.name +
                        "' (its fields: " + field_names(*format) + ")");
    }
  }
  tag t;
  t.format = format->id;
  t.type = format->tag_type;
  for (std::size_t k = 0; k < format->fields.size(); ++k) {
    if (by_field[k] == nullptr) continue;
    field_value v{format->fields[k].name, by_field[k]->value, std::nullopt};
    check_value(format->fields[k], v.value, v);
    t.values.push_back(std::move(v));
  }
  return t;
}

}  // namespace tag_service
