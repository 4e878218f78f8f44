// A real reader as the tag service's reader: the formats are the EPC
// schemes, the items are the tags the reader reports within the hold time,
// writing commissions a new EPC on the one tag in the field, and security
// locks a tag's EPC memory behind the access password.
#ifndef KORVO_TAG_SERVICE_READERS_LLRP_LLRP_READER_H_
#define KORVO_TAG_SERVICE_READERS_LLRP_LLRP_READER_H_

#include <atomic>
#include <chrono>
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
  // Where the tags secured by this service are kept (empty: in memory only).
  std::string state_file;
  // Bound of one tag operation, and of seeing the written EPC afterwards.
  std::chrono::milliseconds operation_timeout{3000};
  // The inventory runs from the start and disconnecting leaves it running
  // (an event output depends on it).
  bool inventory_always = false;
};

// Reads an access password file: 8 hex digits, white space around allowed.
// False with a reason (which never contains the file's contents).
bool read_access_password(const std::string& path, std::uint32_t& out,
                          std::string& error);

// What the service shows of one sighting: the item of its EPC (as the EPC
// codec decodes it, whatever its length) with one tag, first seen when the
// reader says, and what the reader measured (antenna, peak RSSI, seen count)
// among the tag's values. Security is left clear for the caller, who knows.
item sighting_item(const llrp::seen_tag& s);

class llrp_reader final : public reader {
 public:
  // Loads the state file (a missing file is an empty state) and starts the
  // link. Throws reader_error for an unreadable or malformed state file.
  explicit llrp_reader(llrp_reader_options options);
  ~llrp_reader() override;  // leaves the reader tidy, bounded

  std::vector<tag_format> formats() override;
  bool set_connected(bool connected) override;
  std::vector<item> items() override;
  tag create_tag(std::string_view data) override;
  written_tag write_tag(const std::string& id) override;
  tag set_security(const std::string& id, bool secure) override;
  reader_status status() override;
  void observe(reader_observer* observer) override;

 private:
  llrp::client_options hooked();  // the client's options, with our hooks
  void reported(const llrp::tag_report& r);
  void link_changed(bool up, const std::string& cause);
  void need_link();  // 503 naming the reader and the cause
  std::vector<llrp::seen_tag> field_tags();
  tag tag_of(const llrp::seen_tag& s);
  void mark_security(tag& t);
  void save_state();  // REQUIRES: mutex_ held

  llrp_reader_options options_;
  std::atomic<reader_observer*> observer_{nullptr};
  llrp::reader_client client_;
  std::mutex mutex_;                             // guards what follows
  std::map<std::string, epc::new_epc> pending_;  // by tag id (EPC hex)
  std::deque<std::string> pending_order_;
  std::set<std::string> secured_;  // EPC hex of the tags we locked
};

}  // namespace tag_service

#endif  // KORVO_TAG_SERVICE_READERS_LLRP_LLRP_READER_H_
