#include "platform/library.h"

#include <dlfcn.h>
#include <errno.h>
#include <link.h>
#include <string.h>
#include <sys/stat.h>

#include <string_view>

namespace korvo {

namespace {

// The loader does not leave errno behind, but when a system call failed it
// ends its message with that call's strerror text. Find which error it was.
// The message starts with the name of the object it is about: when that is
// not the path asked for, the named file was found but a library it needs
// was not, and the file counts as unusable (ENOEXEC) like one of the wrong
// format; the loader's message names the missing library.
int code_of_loader_message(std::string_view path, std::string_view message) {
  const bool about_the_path = message.size() > path.size() &&
                              message.substr(0, path.size()) == path &&
                              message[path.size()] == ':';
  if (!about_the_path) return ENOEXEC;
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
  if (path.empty()) {
    // dlopen("") would hand back the program itself.
    r.code = ENOENT;
    r.message = "an empty path names no library";
    return r;
  }
  r.handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (r.handle == nullptr) {
    const char* why = ::dlerror();
    r.message = why != nullptr ? why : "unknown loader error";
    r.code = code_of_loader_message(path, r.message);
  }
  return r;
}

void* resolve_own_symbol(void* handle, const char* name) {
  ::dlerror();
  void* symbol = ::dlsym(handle, name);
  if (symbol == nullptr) return nullptr;
  // dlsym also searches the libraries the loaded one depends on; a symbol
  // found there is not this library's own.
  link_map* own = nullptr;
  if (::dlinfo(handle, RTLD_DI_LINKMAP, &own) != 0 || own == nullptr) {
    return nullptr;
  }
  Dl_info info;
  void* extra = nullptr;
  if (::dladdr1(symbol, &info, &extra, RTLD_DL_LINKMAP) == 0) return nullptr;
  return static_cast<link_map*>(extra) == own ? symbol : nullptr;
}

bool file_exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace korvo
