#include "tag_service/events/read_points.h"

#include <nlohmann/json.hpp>

#include "tag_service/model/file_text.h"
#include "tag_service/model/model.h"

namespace tag_service::events {
namespace {

constexpr std::size_t kMaxAliasBytes = 200;

bool uri_member(const nlohmann::json& j, const std::string& where,
                std::string& out, std::string& error) {
  if (!j.is_string() || !is_absolute_uri(j.get<std::string>())) {
    error = where +
            " must be an absolute URI such as "
            "urn:epc:id:sgln:0614141.12345.400";
    return false;
  }
  out = j.get<std::string>();
  return true;
}

}  // namespace

bool parse_read_points(std::string_view text, epcis_context& c,
                       std::string& error) {
  const nlohmann::json j =
      nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (j.is_discarded()) {
    error = "it is not valid JSON";
    return false;
  }
  if (!j.is_object()) {
    error = "it must be a JSON object";
    return false;
  }
  epcis_context made = c;
  made.read_points.clear();
  made.business_location.clear();
  made.utc_offset_minutes.reset();
  for (const auto& [key, value] : j.items()) {
    if (key == "business_location") {
      if (!uri_member(value, "business_location", made.business_location,
                      error)) {
        return false;
      }
    } else if (key == "time_zone_offset") {
      const auto offset = value.is_string()
                              ? parse_utc_offset(value.get<std::string>())
                              : std::nullopt;
      if (!offset) {
        error =
            "time_zone_offset must be \"+HH:MM\" or \"-HH:MM\", at most "
            "14 hours";
        return false;
      }
      made.utc_offset_minutes = offset;
    } else if (key == "read_points") {
      if (!value.is_array()) {
        error = "read_points must be a list";
        return false;
      }
      for (std::size_t i = 0; i < value.size(); ++i) {
        const nlohmann::json& p = value[i];
        const std::string where = "read_points[" + std::to_string(i) + "]";
        if (!p.is_object()) {
          error = where + " must be an object";
          return false;
        }
        const auto antenna = p.find("antenna");
        if (antenna == p.end() || !antenna->is_number_unsigned() ||
            antenna->get<std::uint64_t>() < 1 ||
            antenna->get<std::uint64_t>() > 65535) {
          error = where + ".antenna must be an antenna number, 1 to 65535";
          return false;
        }
        const auto number = antenna->get<std::uint16_t>();
        read_point point;
        for (const auto& [name, member] : p.items()) {
          if (name == "antenna") continue;
          if (name == "id") {
            if (!uri_member(member, where + ".id", point.uri, error))
              return false;
          } else if (name == "alias") {
            if (!member.is_string() ||
                member.get<std::string>().size() > kMaxAliasBytes) {
              error = where + ".alias must be a text of at most " +
                      std::to_string(kMaxAliasBytes) + " bytes";
              return false;
            }
            point.alias = member.get<std::string>();
          } else {
            error = where + " has an unknown member '" + name +
                    "' (antenna, id and alias are known)";
            return false;
          }
        }
        if (point.uri.empty()) {
          error = where + " has no id (the read point's URI)";
          return false;
        }
        if (!made.read_points.emplace(number, std::move(point)).second) {
          error = where + " names antenna " + std::to_string(number) +
                  " a second time";
          return false;
        }
      }
    } else {
      error = "unknown member '" + key +
              "' (read_points, business_location and time_zone_offset are "
              "known)";
      return false;
    }
  }
  c = std::move(made);
  return true;
}

bool read_read_points(const std::string& path, epcis_context& c,
                      std::string& error) {
  std::optional<file_text> file;
  try {
    file = read_file_text(path, kMaxReadPointsBytes);
  } catch (const input_error& e) {
    error = std::string("the read-points file: ") + e.what();
    return false;
  }
  if (!parse_read_points(file->text, c, error)) {
    error = "the read-points file " + path + ": " + error;
    return false;
  }
  return true;
}

}  // namespace tag_service::events
