// Test driver for the cross-check: reads one request per line on standard
// input and answers each with one line on standard output.
//   D <hex>          -> OK <tag uri>\t<pure identity uri>\t<element string>
//                       or RAW <problem>
//   W <write data>   -> OK <hex of the new EPC>, or ERR <message>
#include <iostream>
#include <string>

#include "tag_service/gs1/epc_field.h"

int main() {
  std::string line;
  while (std::getline(std::cin, line)) {
    const std::string_view rest =
        line.size() >= 2 ? std::string_view(line).substr(2) : "";
    if (line.starts_with("D ")) {
      const std::optional<epc::decoded> d = epc::decode_hex(rest);
      if (!d) {
        std::cout << "ERR not hex\n";
      } else if (d->kind == epc::scheme::raw) {
        std::cout << "RAW " << d->problem << '\n';
      } else {
        std::cout << "OK " << epc::tag_uri(*d) << '\t'
                  << epc::pure_identity_uri(*d) << '\t'
                  << epc::element_string(*d) << '\n';
      }
    } else if (line.starts_with("W ")) {
      try {
        std::cout << "OK " << epc::hex(epc::epc_from_write_data(rest).epc)
                  << '\n';
      } catch (const std::exception& e) {
        std::cout << "ERR " << e.what() << '\n';
      }
    } else {
      std::cout << "ERR unknown request\n";
    }
  }
  return std::cout ? 0 : 1;
}
