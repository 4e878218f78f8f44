// A real reader as the tag service's reader: the formats are the EPC
// schemes, the items are the tags the reader reports within the hold time,
// writing commissions a new EPC on the one tag in the field, and security
// locks a tag's EPC memory behind the access password.
#ifndef KORVO_TAG_SERVICE_READERS_LLRP_LLRP_READER_H_
#define KORVO_TAG_SERVICE_READERS_LLRP_LLRP_READER_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "tag_service/gs1/epc_field.h"
#include "tag_service/readers/llrp/client.h"
#include "tag_service/readers/reader.h"

namespace tag_service {

struct llrp_reader_options {
  llrp::client_options client;
  // The access password set on tags and used to lock and unlock them;
  // without one, security cannot be set or cleared.
  std::optional<std::uint32_t> access_password;
  // Where the tags secured by this service are kept (empty: in memory only),
  // and the EPCs (upper-case hex) it holds at start, from read_state_file.
  std::string state_file;
  std::set<std::string> secured;
  // Bound of one tag operation, and of seeing the written EPC afterwards.
  std::chrono::milliseconds operation_timeout{3000};
  // The inventory runs from the start and disconnecting leaves it running
  // (an event output depends on it).
  bool inventory_always = false;
};

// Largest access password file and state file read, in bytes.
inline constexpr std::size_t kMaxPasswordFileBytes = 256;
inline constexpr std::size_t kMaxStateFileBytes = 4 * 1024 * 1024;

// Reads an access password file (read as read_file_text reads): 8 hex
// digits, white space around them allowed, nothing else. False with a
// reason (which never contains the file's contents). A file that others
// (neither its owner nor its group) may read gives a warning.
bool read_access_password(const std::string& path, std::uint32_t& out,
                          std::string& error, std::string& warning);

// Reads a state file (read as read_file_text reads) into the EPCs it
// lists; a missing file is an empty state. Also makes sure the file's
// folder takes new files, so that a change of security is never made and
// then lost. False with a reason.
bool read_state_file(const std::string& path, std::set<std::string>& secured,
                     std::string& error);

// What the service shows of one sighting: the item of its EPC (as the EPC
// codec decodes it, whatever its length) with one tag, first seen when the
// reader says, and what the reader measured (antenna, peak RSSI, seen count)
// among the tag's values. Security is left clear for the caller, who knows.
item sighting_item(const llrp::seen_tag& s);

class llrp_reader final : public reader {
 public:
  // Starts the link.
  explicit llrp_reader(llrp_reader_options options);
  ~llrp_reader() override;  // leaves the reader tidy, bounded

  std::vector<tag_format> formats() override;
  bool set_connected(bool connected) override;
  std::vector<item> items() override;
  tag create_tag(std::string_view data) override;
  written_tag write_tag(const std::string& id) override;
  tag set_security(const std::string& id, bool secure) override;
  reader_status status() override;
  reader_view view() override;  // with the tags the table had no place for
  void observe(reader_observer* observer) override;

 private:
  llrp::client_options hooked();  // the client's options, with our hooks
  void reported(const llrp::tag_report& r);
  void link_changed(bool up, const std::string& cause);
  void need_link();  // 503 naming the reader and the cause
  std::vector<llrp::seen_tag> field_tags();
  static void need_gen2_epc(const llrp::seen_tag& target);  // else 422
  tag tag_of(const llrp::seen_tag& s);
  void mark_security(tag& t);
  // Throws reader_error (naming no path) when the file cannot be written.
  void save_state();  // REQUIRES: mutex_ held

  llrp_reader_options options_;
  std::atomic<reader_observer*> observer_{nullptr};
  llrp::reader_client client_;
  std::atomic<std::size_t> not_kept_{0};         // as of the last reading
  std::mutex mutex_;                             // guards what follows
  std::map<std::string, epc::new_epc> pending_;  // by tag id (EPC hex)
  std::deque<std::string> pending_order_;
  std::set<std::string> secured_;  // EPC hex of the tags we locked
};

}  // namespace tag_service

#endif  // KORVO_TAG_SERVICE_READERS_LLRP_LLRP_READER_H_
