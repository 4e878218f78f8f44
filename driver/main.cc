// korvo: command-line client for an RFID tag service.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "driver/run.h"
#include "platform/console.h"

int main(int argc, char** argv) {
  korvo::keep_running_when_output_closes();
  std::vector<std::string> args(argv, argv + argc);
  int code = korvo::run_korvo(args);
  // A run that lost its output must not report success. A reader that left
  // (`korvo print | head -1`) did so on purpose and needs no message.
  if (!korvo::flush_output()) {
    if (!korvo::output_reader_left()) {
      std::fprintf(stderr, "korvo: cannot write standard output: %s\n",
                   std::strerror(korvo::output_error_number()));
    }
    if (code == 0) code = 1;
  }
  return code;
}
