// The service's operations on request bodies, in sequences: the input is
// split at 0xFF bytes (never part of UTF-8) into requests, each a byte that
// picks the operation and the body after it. Every sequence runs on a fresh
// service on the simulated reader of the demo scene.
//
// Properties: every answer is a JSON object that serializes; a failure
// carries {"error": {"status": S, "message": text}} with S its own HTTP
// status (400 to 599); a success carries what its operation promises; the
// scene never grows past its limit.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "tag_service/readers/simulated/scene_file.h"
#include "tag_service/readers/simulated/simulated_reader.h"
#include "tag_service/service/service.h"

namespace {

using nlohmann::json;

// Not the injection hook: an injected delay would stall the run.
constexpr const char* kOps[] = {"ping",  "connect", "disconnect", "formats",
                                "items", "create",  "write",      "security",
                                "clear", "state",   "nonsense"};

void check_answer(const std::string& op,
                  const tag_service::service::answer& a) {
  FUZZ_CHECK(a.body.is_object());
  FUZZ_CHECK(!a.body.dump().empty());  // throws for text that is not UTF-8
  if (a.status >= 400) {
    FUZZ_CHECK(a.status <= 599);
    FUZZ_CHECK(a.body.size() == 1);
    const json& e = a.body.at("error");
    FUZZ_CHECK(e.at("status") == a.status);
    FUZZ_CHECK(e.at("message").is_string());
    return;
  }
  FUZZ_CHECK(a.status == (op == "create" ? 201 : 200));
  if (op == "create" || op == "write" || op == "security") {
    FUZZ_CHECK(a.body.at("tag").at("id").is_string());
  } else if (op == "items") {
    FUZZ_CHECK(a.body.at("items").is_array());
  } else if (op == "formats") {
    FUZZ_CHECK(a.body.at("formats").is_array());
  } else if (op == "state") {
    FUZZ_CHECK(a.body.at("items").get<std::size_t>() <= tag_service::kMaxItems);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  static const tag_service::scene demo =
      tag_service::load_scene(json::parse(tag_service::demo_scene_json()), 0);
  tag_service::service sim(
      std::make_unique<tag_service::simulated_reader>(demo));
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  for (int n = 0; !rest.empty() && n < 64; ++n) {
    const std::size_t end = rest.find('\xFF');
    const std::string_view request = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view()
                                         : rest.substr(end + 1);
    if (request.empty()) continue;
    const std::string op =
        kOps[static_cast<unsigned char>(request[0]) % std::size(kOps)];
    check_answer(op, sim.run(op, std::string(request.substr(1))));
  }
  return 0;
}
