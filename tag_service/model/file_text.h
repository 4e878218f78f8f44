// Reading the service's own input files (a scene, the access password, the
// state of secured tags) safely, and replacing a file atomically.
#ifndef KORVO_TAG_SERVICE_MODEL_FILE_TEXT_H_
#define KORVO_TAG_SERVICE_MODEL_FILE_TEXT_H_

#include <cstddef>
#include <optional>
#include <string>

namespace tag_service {

struct file_text {
  std::string text;
  unsigned permissions = 0;  // the file's mode bits 07777
};

// The contents of the regular file at path, of at most max_bytes. The file
// is opened without blocking and checked before a byte is read: a FIFO
// (which never hangs the caller), a device such as /dev/zero, a directory,
// a file over the limit, and one that grows past the size it had while it
// is read are refused. Symbolic links are followed (a packaged file may be
// one). Throws input_error with a message that names the file. With
// missing_ok, a file that does not exist is nullopt instead.
std::optional<file_text> read_file_text(const std::string& path,
                                        std::size_t max_bytes,
                                        bool missing_ok = false);

// Replaces the file at path with text, atomically: the text goes into a
// new temporary file of mode 0600 in the same folder, created exclusively
// under a fresh name (never through a link planted there), is flushed to
// disk and renamed over path; a crash leaves the old file or the new one.
// On failure returns false with the system's reason (no path in it) and
// leaves no temporary file behind.
bool replace_file(const std::string& path, const std::string& text,
                  std::string& why);

// True when a file can be created in the folder of path (probed by
// creating and removing a temporary file as replace_file does); else false
// with the system's reason.
bool folder_writable(const std::string& path, std::string& why);

}  // namespace tag_service

#endif  // KORVO_TAG_SERVICE_MODEL_FILE_TEXT_H_
