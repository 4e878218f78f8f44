// Loading the session library at run time (stands in for LoadLibraryW,
// GetProcAddress and PathFileExistsW).
#ifndef KORVO_PLATFORM_LIBRARY_H_
#define KORVO_PLATFORM_LIBRARY_H_

#include <string>

namespace korvo {

struct load_result {
  void* handle = nullptr;  // null when loading failed
  // Why it failed, as an errno value: the system error behind the failure
  // (ENOENT for a missing file or an empty path, EACCES, ...), or ENOEXEC
  // for a file that was found but is no usable library (wrong format, or a
  // library it needs is missing). Never 0 on failure.
  int code = 0;
  std::string message;  // the loader's own message, for standard error
};

// Loads a shared library by path (bytes, as the file system names it),
// resolving every symbol now and keeping its symbols local. The library is
// never unloaded. A path without '/' is looked for by the dynamic loader's
// usual search: LD_LIBRARY_PATH first, then the executable's RUNPATH, then
// the system paths.
load_result load_library(const std::string& path);

// Address of a symbol the loaded library itself exports, or null when it
// has none; a symbol that only a library it depends on exports is not its
// own and gives null.
void* resolve_own_symbol(void* handle, const char* name);

// True iff path names an existing file system entry.
bool file_exists(const std::string& path);

}  // namespace korvo

#endif  // KORVO_PLATFORM_LIBRARY_H_
