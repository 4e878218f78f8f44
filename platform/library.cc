#include "platform/library.h"

#include <dlfcn.h>
#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <string_view>

namespace korvo {

namespace {

// The loader does not leave errno behind, but when a system call failed it
// ends its message with that call's strerror text. Find which error it was;
// a library that opened but could not be used (wrong format, missing
// dependency or symbol) counts as ENOEXEC.
int code_of_loader_message(std::string_view message) {
  static const int kCandidates[] = {ENOENT, EACCES,       ENOTDIR, ELOOP,
                                    EISDIR, ENAMETOOLONG, ENOMEM,  EMFILE,
                                    ENFILE, EIO,          EPERM};
  for (int e : kCandidates) {
    const std::string_view text = ::strerror(e);
    if (message.size() >= text.size() &&
        message.substr(message.size() - text.size()) == text) {
      return e;
    }
  }
  return ENOEXEC;
}

}  // namespace

load_result load_library(const std::string& path) {
  load_result r;
  r.handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (r.handle == nullptr) {
    const char* why = ::dlerror();
    r.message = why != nullptr ? why : "unknown loader error";
    r.code = code_of_loader_message(r.message);
  }
  return r;
}

void* resolve_symbol(void* handle, const char* name) {
  ::dlerror();
  return ::dlsym(handle, name);
}

bool file_exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace korvo
