// The service's tokens file.
//
// Properties: the text is refused with a reason naming a line, or every
// token has a name of 1 to 64 name
// characters, a length within the limits, no blank or control character,
// and names and tokens are unique; each is then found by the check with its
// own name.
#include <cstdint>
#include <set>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "tag_service/service/access.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace tag_service;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<token_entry> tokens;
  std::string error;
  if (!parse_tokens(text, tokens, error)) {
    FUZZ_CHECK(error.rfind("line ", 0) == 0);
    return 0;
  }
  std::set<std::string> names;
  std::set<std::string> secrets;
  for (const token_entry& t : tokens) {
    FUZZ_CHECK(!t.name.empty() && t.name.size() <= 64);
    FUZZ_CHECK(t.token.size() >= kMinTokenLength &&
               t.token.size() <= kMaxTokenLength);
    for (const char c : t.token) {
      const auto b = static_cast<unsigned char>(c);
      FUZZ_CHECK(b > 0x20 && b < 0x7F);
    }
    FUZZ_CHECK(names.insert(t.name).second);
    FUZZ_CHECK(secrets.insert(t.token).second);
  }
  const access_control access(tokens);
  for (const token_entry& t : tokens) {
    const access_verdict v =
        access.check("Bearer " + t.token, access_right::read, false);
    FUZZ_CHECK(v.status == 200 && v.name == t.name);
  }
  return 0;
}
