#include "tag_service/events/epcis.h"

#include <gnutls/crypto.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <nlohmann/json.hpp>

#include "tag_service/gs1/epc.h"

namespace tag_service::events {
namespace {

// The CBV 2.0 words, as the EPCIS 2.0 JSON schema lists them.
constexpr std::array<std::string_view, 41> kBizSteps = {
    "accepting",
    "arriving",
    "assembling",
    "collecting",
    "commissioning",
    "consigning",
    "creating_class_instance",
    "cycle_counting",
    "decommissioning",
    "departing",
    "destroying",
    "disassembling",
    "dispensing",
    "encoding",
    "entering_exiting",
    "holding",
    "inspecting",
    "installing",
    "killing",
    "loading",
    "other",
    "packing",
    "picking",
    "receiving",
    "removing",
    "repackaging",
    "repairing",
    "replacing",
    "reserving",
    "retail_selling",
    "shipping",
    "staging_outbound",
    "stock_taking",
    "stocking",
    "storing",
    "transporting",
    "unloading",
    "unpacking",
    "void_shipping",
    "sensor_reporting",
    "sampling"};
constexpr std::array<std::string_view, 33> kDispositions = {
    "active",
    "container_closed",
    "damaged",
    "destroyed",
    "dispensed",
    "disposed",
    "encoded",
    "expired",
    "in_progress",
    "in_transit",
    "inactive",
    "no_pedigree_match",
    "non_sellable_other",
    "partially_dispensed",
    "recalled",
    "reserved",
    "retail_sold",
    "returned",
    "sellable_accessible",
    "sellable_not_accessible",
    "stolen",
    "unknown",
    "available",
    "completeness_verified",
    "completeness_inferred",
    "conformant",
    "container_open",
    "mismatch_instance",
    "mismatch_class",
    "mismatch_quantity",
    "needs_replacement",
    "non_conformant",
    "unavailable"};

constexpr std::string_view kContext =
    "https://ref.gs1.org/standards/epcis/epcis-context.jsonld";

bool is_digits(std::string_view s) {
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return c >= '0' && c <= '9'; });
}

bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') ||
         (c >= 'a' && c <= 'f');
}

// Characters an EPC URI's alphanumeric component holds (an escape counts
// as one), within [min, max]; false for anything else.
bool is_uri_component(std::string_view s, std::size_t min, std::size_t max) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < s.size(); ++i, ++n) {
    const char c = s[i];
    if (c == '%') {
      if (i + 2 >= s.size() || !is_hex_digit(s[i + 1]) ||
          !is_hex_digit(s[i + 2])) {
        return false;
      }
      i += 2;
    } else if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
                 (c >= 'a' && c <= 'z') ||
                 std::string_view("!')(*+,.:;=_-").find(c) !=
                     std::string_view::npos)) {
      return false;
    }
  }
  return n >= min && n <= max;
}

// An EPC URI component as a GS1 Digital Link path segment: the URI's own
// escapes stay, and the characters a path segment reserves are escaped.
std::string web_escaped(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (const char c : s) {
    switch (c) {
      case '!':
        out += "%21";
        break;
      case '(':
        out += "%28";
        break;
      case ')':
        out += "%29";
        break;
      case '*':
        out += "%2A";
        break;
      case '+':
        out += "%2B";
        break;
      case ',':
        out += "%2C";
        break;
      case ':':
        out += "%3A";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// The canonical GS1 Digital Link URI of an EPC pure identity URI of a
// scheme that carries a GS1 key (SGTIN, SSCC, SGLN, GRAI, GIAI), as the
// event hash wants it; any other URI as it is.
std::string hash_uri(const std::string& uri) {
  constexpr std::string_view prefix = "urn:epc:id:";
  if (uri.rfind(prefix, 0) != 0) return uri;
  const std::string_view rest = std::string_view(uri).substr(prefix.size());
  const auto colon = rest.find(':');
  if (colon == std::string_view::npos) return uri;
  const std::string_view scheme = rest.substr(0, colon);
  const std::string_view body = rest.substr(colon + 1);
  const auto dot = body.find('.');
  if (dot == std::string_view::npos) return uri;
  const std::string_view cp = body.substr(0, dot);
  if (cp.size() < 6 || cp.size() > 12 || !is_digits(cp)) return uri;
  const std::string_view after = body.substr(dot + 1);
  const auto dot2 = after.find('.');
  const std::string_view second = after.substr(0, dot2);
  const std::string_view third = dot2 == std::string_view::npos
                                     ? std::string_view()
                                     : after.substr(dot2 + 1);
  const bool has_third = dot2 != std::string_view::npos;
  const std::string base = "https://id.gs1.org/";
  const auto digits_of = [&](std::size_t n) {
    return second.size() == n && is_digits(second);
  };
  if (scheme == "sgtin" && has_third && digits_of(13 - cp.size()) &&
      is_uri_component(third, 1, 20)) {
    std::string gtin = std::string(second.substr(0, 1)) + std::string(cp) +
                       std::string(second.substr(1));
    gtin += epc::check_digit(gtin);
    return base + "01/" + gtin + "/21/" + web_escaped(third);
  }
  if (scheme == "sscc" && !has_third && digits_of(17 - cp.size())) {
    std::string sscc = std::string(second.substr(0, 1)) + std::string(cp) +
                       std::string(second.substr(1));
    sscc += epc::check_digit(sscc);
    return base + "00/" + sscc;
  }
  if (scheme == "sgln" && has_third && digits_of(12 - cp.size()) &&
      is_uri_component(third, 1, 20)) {
    std::string gln = std::string(cp) + std::string(second);
    gln += epc::check_digit(gln);
    // Extension 0 stands for none.
    if (third == "0") return base + "414/" + gln;
    return base + "414/" + gln + "/254/" + web_escaped(third);
  }
  if (scheme == "grai" && has_third && digits_of(12 - cp.size()) &&
      is_uri_component(third, 1, 16)) {
    std::string grai = "0" + std::string(cp) + std::string(second);
    grai += epc::check_digit(grai);
    return base + "8003/" + grai + web_escaped(third);
  }
  if (scheme == "giai" && !has_third &&
      is_uri_component(second, 1, 30 - cp.size())) {
    return base + "8004/" + std::string(cp) + web_escaped(second);
  }
  return uri;
}

// The vocabulary URI of a CBV word, as the event hash wants it; a URI as
// it is.
std::string vocabulary_uri(const std::string& value, std::string_view prefix,
                           bool word) {
  return word ? "https://ref.gs1.org/cbv/" + std::string(prefix) + value
              : value;
}

std::string percent_encoded(std::string_view s) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
        (c >= 'a' && c <= 'z') || c == '-' || c == '.' || c == '_' ||
        c == '~') {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

int local_offset_minutes(std::int64_t ms) {
  const auto seconds =
      static_cast<std::time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
  std::tm t{};
  ::localtime_r(&seconds, &t);
  return static_cast<int>(t.tm_gmtoff / 60);
}

// The CBV 2.0 event hash id of a pre-hash string.
std::string hash_id(const std::string& pre_hash) {
  std::array<unsigned char, 32> digest{};
  if (gnutls_hash_fast(GNUTLS_DIG_SHA256, pre_hash.data(), pre_hash.size(),
                       digest.data()) != 0) {
    return {};  // only when GnuTLS has no SHA-256 at all
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string id = "ni:///sha-256;";
  for (const unsigned char b : digest) {
    id += kHex[b >> 4];
    id += kHex[b & 15];
  }
  return id + "?ver=CBV2.0";
}

template <std::size_t N>
bool is_word(std::string_view s, const std::array<std::string_view, N>& words) {
  return std::find(words.begin(), words.end(), s) != words.end();
}

template <std::size_t N>
bool check_vocabulary(std::string_view s,
                      const std::array<std::string_view, N>& words,
                      std::string_view what, std::string& error) {
  if (is_word(s, words)) return true;
  if (s.find(':') == std::string_view::npos) {
    error = "'" + std::string(s) + "' is no CBV 2.0 " + std::string(what) +
            " (see tag-service(1) for the words), nor a URI";
    return false;
  }
  if (!is_absolute_uri(s)) {
    error =
        "the " + std::string(what) + " '" + std::string(s) + "' is not a URI";
    return false;
  }
  if (s.rfind("urn:epcglobal:cbv:", 0) == 0 ||
      s.find("//ns.gs1.org/cbv/") != std::string_view::npos) {
    error = "give the " + std::string(what) + " '" + std::string(s) +
            "' as its CBV 2.0 word, which EPCIS 2.0 JSON takes bare";
    return false;
  }
  return true;
}

}  // namespace

bool is_absolute_uri(std::string_view s) {
  const auto colon = s.find(':');
  if (colon == 0 || colon == std::string_view::npos) return false;
  const auto alpha = [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
  };
  if (!alpha(s[0])) return false;
  for (const char c : s.substr(0, colon)) {
    if (!alpha(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' &&
        c != '.') {
      return false;
    }
  }
  constexpr std::string_view kUriCharacters =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
      "-._~:/?#[]@!$&'()*+,;=";
  for (std::size_t i = colon + 1; i < s.size(); ++i) {
    if (s[i] == '%') {
      if (i + 2 >= s.size() || !is_hex_digit(s[i + 1]) ||
          !is_hex_digit(s[i + 2])) {
        return false;
      }
      i += 2;
    } else if (kUriCharacters.find(s[i]) == std::string_view::npos) {
      return false;
    }
  }
  return colon + 1 < s.size();
}

bool check_biz_step(std::string_view s, std::string& error) {
  return check_vocabulary(s, kBizSteps, "business step", error);
}

bool check_disposition(std::string_view s, std::string& error) {
  return check_vocabulary(s, kDispositions, "disposition", error);
}

std::string utc_offset_text(int minutes) {
  const int a = minutes < 0 ? -minutes : minutes;
  char buf[16];
  std::snprintf(buf, sizeof buf, "%c%02d:%02d", minutes < 0 ? '-' : '+',
                (a / 60) % 100, a % 60);
  return buf;
}

std::optional<int> parse_utc_offset(std::string_view text) {
  if (text.size() != 6 || (text[0] != '+' && text[0] != '-') ||
      text[3] != ':' || !is_digits(text.substr(1, 2)) ||
      !is_digits(text.substr(4, 2))) {
    return std::nullopt;
  }
  const int hours = (text[1] - '0') * 10 + (text[2] - '0');
  const int minutes = (text[4] - '0') * 10 + (text[5] - '0');
  if (minutes > 59 || hours * 60 + minutes > 14 * 60) return std::nullopt;
  const int total = hours * 60 + minutes;
  return text[0] == '-' ? -total : total;
}

std::string read_point_uri(const epcis_context& c, std::uint16_t antenna) {
  if (const auto it = c.read_points.find(antenna); it != c.read_points.end())
    return it->second.uri;
  std::string uri = "urn:korvo:reader:" + percent_encoded(c.reader_name);
  if (antenna != 0) uri += ":antenna:" + std::to_string(antenna);
  return uri;
}

std::string epc_uri(const event& e) {
  if (e.tag_id.rfind("urn:epc:raw:", 0) == 0) return e.tag_id;
  const std::optional<epc::decoded> d = epc::decode_hex(e.tag_id);
  if (!d || d->bits == 0) return {};
  return d->kind == epc::scheme::raw ? epc::raw_uri(*d)
                                     : epc::pure_identity_uri(*d);
}

std::optional<std::string> object_event_json(const event& e,
                                             const epcis_context& c) {
  if (e.kind != event_kind::arrived && e.kind != event_kind::moved)
    return std::nullopt;
  const std::string epc = epc_uri(e);
  if (epc.empty()) return std::nullopt;  // an id that is no EPC
  const std::string time = utc_ms_text(e.time_ms);
  const std::string offset =
      utc_offset_text(c.utc_offset_minutes ? *c.utc_offset_minutes
                                           : local_offset_minutes(e.time_ms));
  const std::string read_point = read_point_uri(c, e.antenna);

  // The canonical pre-hash string: the event's fields in the algorithm's
  // order, each as name=value, EPC URIs of GS1 keys as Digital Link URIs
  // and CBV words as their vocabulary URIs.
  std::string pre_hash = "eventType=ObjectEventeventTime=" + time +
                         "eventTimeZoneOffset=" + offset +
                         "epcListepc=" + hash_uri(epc) + "action=OBSERVE";
  if (!c.biz_step.empty()) {
    pre_hash += "bizStep=" + vocabulary_uri(c.biz_step, "BizStep-",
                                            is_word(c.biz_step, kBizSteps));
  }
  if (!c.disposition.empty()) {
    pre_hash +=
        "disposition=" + vocabulary_uri(c.disposition, "Disp-",
                                        is_word(c.disposition, kDispositions));
  }
  pre_hash += "readPointid=" + hash_uri(read_point);
  if (!c.business_location.empty())
    pre_hash += "bizLocationid=" + hash_uri(c.business_location);

  nlohmann::ordered_json j = {
      {"type", "ObjectEvent"}, {"eventID", hash_id(pre_hash)},
      {"eventTime", time},     {"eventTimeZoneOffset", offset},
      {"epcList", {epc}},      {"action", "OBSERVE"}};
  if (!c.biz_step.empty()) j["bizStep"] = c.biz_step;
  if (!c.disposition.empty()) j["disposition"] = c.disposition;
  j["readPoint"] = {{"id", read_point}};
  if (!c.business_location.empty())
    j["bizLocation"] = {{"id", c.business_location}};
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string epcis_document(std::span<const std::string> object_events,
                           std::int64_t creation_ms) {
  std::size_t size = 256;
  for (const std::string& e : object_events) size += e.size() + 1;
  std::string doc;
  doc.reserve(size);
  doc += "{\"@context\":[\"";
  doc += kContext;
  doc +=
      "\"],\"type\":\"EPCISDocument\",\"schemaVersion\":\"2.0\","
      "\"creationDate\":\"";
  doc += utc_ms_text(creation_ms);
  doc += "\",\"epcisBody\":{\"eventList\":[";
  for (std::size_t i = 0; i < object_events.size(); ++i) {
    if (i > 0) doc += ',';
    doc += object_events[i];
  }
  doc += "]}}";
  return doc;
}

}  // namespace tag_service::events
