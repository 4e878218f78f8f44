// The simulated reader: a scene in memory, loaded from a scene file or the
// built-in demo scene, that written tags join.
#ifndef KORVO_TAG_SERVICE_READERS_SIMULATED_SIMULATED_READER_H_
#define KORVO_TAG_SERVICE_READERS_SIMULATED_SIMULATED_READER_H_

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>

#include "tag_service/model/model.h"
#include "tag_service/readers/reader.h"

namespace tag_service {

// Tags made by create_tag and not yet written that the reader keeps; the
// oldest goes first.
inline constexpr std::size_t kMaxPendingTags = 1000;

class simulated_reader final : public reader {
 public:
  explicit simulated_reader(scene s);

  std::vector<tag_format> formats() override;
  bool set_connected(bool connected) override;
  std::vector<item> items() override;
  tag create_tag(std::string_view data) override;
  written_tag write_tag(const std::string& id) override;
  tag set_security(const std::string& id, bool secure) override;
  reader_status status() override;
  // The whole scene; the simulated reader reads it whenever connected.
  reader_view view() override;

 private:
  std::string fresh_tag_id();
  std::string fresh_item_id();
  tag* find_tag(const std::string& id);

  std::mutex mutex_;
  scene scene_;
  bool connected_ = false;
  std::map<std::string, tag> pending_;  // by id
  std::deque<std::string> pending_order_;
  std::uint64_t next_tag_ = 1;
  std::uint64_t next_item_ = 1;
};

}  // namespace tag_service

#endif  // KORVO_TAG_SERVICE_READERS_SIMULATED_SIMULATED_READER_H_
