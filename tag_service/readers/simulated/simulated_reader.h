// The simulated reader: a scene in memory, loaded from a scene file or the
// built-in demo scene, that written tags join.
#ifndef KORVO_TAG_SERVICE_READERS_SIMULATED_SIMULATED_READER_H_
#define KORVO_TAG_SERVICE_READERS_SIMULATED_SIMULATED_READER_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "tag_service/model/model.h"
#include "tag_service/readers/reader.h"

namespace tag_service {

// Tags made by create_tag and not yet written that the reader keeps; the
// oldest goes first.
inline constexpr std::size_t kMaxPendingTags = 1000;

struct simulated_options {
  // Zero: every item is always in the field. Else the field changes each
  // cycle: item number i (from 0) is at antenna 1 in cycles where
  // (cycle + i) % 3 is 0, at antenna 2 where it is 1, and away where it is
  // 2, so that each item arrives, moves and departs in turn.
  std::chrono::milliseconds field_cycle{0};
  // The inventory runs from the start and disconnecting leaves it running
  // (an event output depends on it).
  bool inventory_always = false;
  // How often an observer hears of each tag in the field.
  std::chrono::milliseconds report_period{100};
};

class simulated_reader final : public reader {
 public:
  explicit simulated_reader(scene s, simulated_options options = {});
  ~simulated_reader() override;  // stops the reports

  std::vector<tag_format> formats() override;
  bool set_connected(bool connected) override;
  std::vector<item> items() override;
  // Without a field cycle one snapshot serves every caller until the
  // items change.
  std::shared_ptr<const std::vector<item>> shared_items() override;
  tag create_tag(std::string_view data) override;
  written_tag write_tag(const std::string& id) override;
  tag set_security(const std::string& id, bool secure) override;
  reader_status status() override;
  // The whole scene; the simulated reader reads it whenever connected.
  reader_view view() override;
  // Reports every tag in the field each report period while the inventory
  // runs, on a thread of the reader's own.
  void observe(reader_observer* observer) override;

 private:
  // The items in the field now, with the antenna each is at (the field
  // cycle's doing). REQUIRES: mutex_ held
  std::vector<std::pair<const item*, std::uint16_t>> in_field() const;
  void report();
  std::string fresh_tag_id();
  std::string fresh_item_id();
  tag* find_tag(const std::string& id);

  std::mutex mutex_;
  scene scene_;
  // A copy of scene_.items for shared_items(), made when first asked for
  // and dropped whenever they change.
  std::shared_ptr<const std::vector<item>> shared_;
  bool connected_ = false;
  std::map<std::string, tag> pending_;  // by id
  std::deque<std::string> pending_order_;
  std::uint64_t next_tag_ = 1;
  std::uint64_t next_item_ = 1;
  simulated_options options_;
  std::chrono::steady_clock::time_point start_ =
      std::chrono::steady_clock::now();
  reader_observer* observer_ = nullptr;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread reporter_;
};

}  // namespace tag_service

#endif  // KORVO_TAG_SERVICE_READERS_SIMULATED_SIMULATED_READER_H_
