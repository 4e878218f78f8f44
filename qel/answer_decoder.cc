#include "qel/answer_decoder.h"

#include "protocol/tag_protocol.h"
#include "protocol/wire_time.h"

namespace rfid_qel {
namespace {

using nlohmann::json;

// Builds the answer's document from the parser's events, as nlohmann's own
// builder does, but stops the parse once the answer nests deeper or holds
// more values than the limits allow.
class bounded_document {
 public:
  explicit bounded_document(json& root) : builder_(root, false) {}

  const std::string& why() const { return why_; }

  bool null() { return value() && builder_.null(); }
  bool boolean(bool v) { return value() && builder_.boolean(v); }
  bool number_integer(json::number_integer_t v) {
    return value() && builder_.number_integer(v);
  }
  bool number_unsigned(json::number_unsigned_t v) {
    return value() && builder_.number_unsigned(v);
  }
  bool number_float(json::number_float_t v, const std::string& s) {
    return value() && builder_.number_float(v, s);
  }
  bool string(std::string& v) { return value() && builder_.string(v); }
  bool binary(json::binary_t& v) { return value() && builder_.binary(v); }
  bool start_object(std::size_t n) {
    return open() && builder_.start_object(n);
  }
  bool key(std::string& k) { return builder_.key(k); }
  bool end_object() {
    --depth_;
    return builder_.end_object();
  }
  bool start_array(std::size_t n) { return open() && builder_.start_array(n); }
  bool end_array() {
    --depth_;
    return builder_.end_array();
  }
  // Malformed text is reported as "not a JSON object", like any other
  // answer that is not one.
  bool parse_error(std::size_t, const std::string&, const json::exception&) {
    return false;
  }

 private:
  bool value() {
    if (++values_ <= kMaxAnswerValues) return true;
    why_ = "it holds more than " + std::to_string(kMaxAnswerValues) +
           " JSON values";
    return false;
  }
  bool open() {
    if (!value()) return false;
    if (++depth_ <= kMaxAnswerDepth) return true;
    why_ =
        "it nests deeper than " + std::to_string(kMaxAnswerDepth) + " levels";
    return false;
  }

  nlohmann::detail::json_sax_dom_parser<json> builder_;
  std::size_t values_ = 0;
  std::size_t depth_ = 0;
  std::string why_;
};

// The answer as a JSON object; false with the reason otherwise.
bool parse_object(std::string_view answer, json& out, std::string& why) {
  out = json();
  bounded_document document(out);
  if (!json::sax_parse(answer, &document) || !out.is_object()) {
    why = !document.why().empty() ? document.why() : "it is not a JSON object";
    out = json();
    return false;
  }
  return true;
}

const json* member(const json& object, const char* key) {
  const auto it = object.find(key);
  return it == object.end() || it->is_null() ? nullptr : &*it;
}

}  // namespace

std::string service_error_message(std::string_view answer) {
  json doc;
  std::string why;
  if (!parse_object(answer, doc, why)) return {};
  const json* error = member(doc, "error");
  if (error == nullptr || !error->is_object()) return {};
  const json* message = member(*error, "message");
  if (message == nullptr || !message->is_string()) return {};
  return message->get<std::string>();
}

bool decode_ping(std::string_view answer, ping_answer& out, std::string& why) {
  json doc;
  if (!parse_object(answer, doc, why)) return false;
  const json* service = member(doc, "service");
  const json* protocol = member(doc, "protocol");
  out = ping_answer();
  if (service != nullptr && *service == tag_protocol::kServiceName &&
      protocol != nullptr && protocol->is_number_integer()) {
    out.tag_service = true;
    out.protocol = protocol->is_number_unsigned()
                       ? static_cast<std::int64_t>(std::min<std::uint64_t>(
                             protocol->get<std::uint64_t>(), INT64_MAX))
                       : protocol->get<std::int64_t>();
  }
  return true;
}

bool decode_acknowledgement(std::string_view answer, std::string& why) {
  json doc;
  return parse_object(answer, doc, why);
}

bool decode_written_tag(std::string_view answer,
                        std::optional<std::uint64_t>& first_seen,
                        std::string& why) {
  first_seen.reset();
  json doc;
  if (!parse_object(answer, doc, why)) return false;
  const json* tag = member(doc, "tag");
  if (tag != nullptr && tag->is_object()) {
    const json* seen = member(*tag, "first_seen");
    if (seen != nullptr && seen->is_string()) {
      first_seen = tag_protocol::parse_utc_timestamp(
          seen->get_ref<const std::string&>());
    }
  }
  return true;
}

std::unique_ptr<tag_format_list_impl> decode_formats(std::string_view answer,
                                                     std::string& why) {
  json doc;
  if (!parse_object(answer, doc, why)) return nullptr;
  try {
    return std::make_unique<tag_format_list_impl>(doc);
  } catch (const decode_error& e) {
    why = e.what();
    return nullptr;
  }
}

}  // namespace rfid_qel
