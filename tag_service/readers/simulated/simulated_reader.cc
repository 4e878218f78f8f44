#include "tag_service/readers/simulated/simulated_reader.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "platform/utf.h"
#include "protocol/wire_time.h"
#include "tag_service/model/write_data.h"

namespace tag_service {
namespace {

std::uint64_t now_filetime() {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  return tag_protocol::filetime_from_unix_ns(ns);
}

const reader_error kNotConnected{409, "the reader is not connected"};

}  // namespace

simulated_reader::simulated_reader(scene s, simulated_options options)
    : scene_(std::move(s)),
      connected_(options.inventory_always),
      options_(options) {}

simulated_reader::~simulated_reader() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (reporter_.joinable()) reporter_.join();
}

std::vector<std::pair<const item*, std::uint16_t>> simulated_reader::in_field()
    const {
  std::vector<std::pair<const item*, std::uint16_t>> out;
  const auto cycle = options_.field_cycle.count();
  const auto n = cycle > 0 ? (std::chrono::steady_clock::now() - start_) /
                                 options_.field_cycle
                           : 0;
  for (std::size_t i = 0; i < scene_.items.size(); ++i) {
    if (cycle <= 0) {
      out.push_back({&scene_.items[i], 1});
      continue;
    }
    const auto phase = (static_cast<std::uint64_t>(n) + i) % 3;
    if (phase < 2)
      out.push_back({&scene_.items[i], static_cast<std::uint16_t>(phase + 1)});
  }
  return out;
}

void simulated_reader::observe(reader_observer* observer) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (observer_ || !observer) return;
    observer_ = observer;
  }
  const std::int64_t now = utc_now_ms();
  observer->state_changed({reader_change::connected, "", now});
  if (status().connected)
    observer->state_changed({reader_change::inventory_started, "", now});
  reporter_ = std::thread([this] { report(); });
}

void simulated_reader::report() {
  std::vector<sighting> batch;
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    batch.clear();
    if (connected_) {
      const std::int64_t now = utc_now_ms();
      for (const auto& [i, antenna] : in_field()) {
        for (const tag& t : i->tags) {
          sighting s;
          s.seen.id = i->id;
          s.seen.valid = i->valid;
          s.seen.type = i->type;
          s.seen.first_seen = i->first_seen;
          s.seen.tags.push_back(t);
          s.scheme = "simulated";
          s.antenna = antenna;
          s.time_ms = now;
          batch.push_back(std::move(s));
        }
      }
    }
    // The observer hears them without the reader's lock held.
    lock.unlock();
    for (const sighting& s : batch) observer_->sighted(s);
    lock.lock();
    wake_.wait_for(lock, options_.report_period, [&] { return stopping_; });
  }
}

std::vector<tag_format> simulated_reader::formats() {
  std::lock_guard<std::mutex> lock(mutex_);
  return scene_.formats;
}

bool simulated_reader::set_connected(bool connected) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (options_.inventory_always) return connected_;
  const bool changed = connected_ != connected;
  connected_ = connected;
  reader_observer* o = observer_;
  lock.unlock();
  if (o && changed) {
    o->state_changed({connected ? reader_change::inventory_started
                                : reader_change::inventory_stopped,
                      "", utc_now_ms()});
  }
  return connected;
}

std::vector<item> simulated_reader::items() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!connected_) throw kNotConnected;
  if (options_.field_cycle.count() <= 0) return scene_.items;
  std::vector<item> out;
  for (const auto& entry : in_field()) out.push_back(*entry.first);
  return out;
}

std::shared_ptr<const std::vector<item>> simulated_reader::shared_items() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!connected_) throw kNotConnected;
  if (options_.field_cycle.count() > 0) {
    auto out = std::make_shared<std::vector<item>>();
    for (const auto& entry : in_field()) out->push_back(*entry.first);
    return out;
  }
  if (shared_ == nullptr) {
    shared_ = std::make_shared<const std::vector<item>>(scene_.items);
  }
  return shared_;
}

tag simulated_reader::create_tag(std::string_view data) {
  std::lock_guard<std::mutex> lock(mutex_);
  tag t;
  try {
    t = parse_write_data(scene_, data);
  } catch (const input_error& e) {
    throw reader_error{422, e.what()};
  }
  t.id = fresh_tag_id();
  if (pending_.size() >= kMaxPendingTags) {
    pending_.erase(pending_order_.front());
    pending_order_.pop_front();
  }
  pending_order_.push_back(t.id);
  pending_.emplace(t.id, t);
  return t;
}

written_tag simulated_reader::write_tag(const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!connected_) throw kNotConnected;
  const auto it = pending_.find(id);
  if (it == pending_.end()) {
    throw reader_error{404, "there is no created, unwritten tag '" + id + "'"};
  }
  if (scene_.items.size() >= kMaxItems) {
    throw reader_error{507, "the field is full (" + std::to_string(kMaxItems) +
                                " items); no tag can be added"};
  }
  item i;
  i.id = fresh_item_id();
  i.type = it->second.type;
  i.first_seen = now_filetime();
  i.tags.push_back(std::move(it->second));
  i.tags.back().first_seen = i.first_seen;
  pending_.erase(it);
  std::erase(pending_order_, id);
  scene_.items.push_back(std::move(i));
  shared_.reset();
  const item& written = scene_.items.back();
  return {written.tags.back(), written.id};
}

tag simulated_reader::set_security(const std::string& id, bool secure) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!connected_) throw kNotConnected;
  tag* t = find_tag(id);
  if (t == nullptr) {
    throw reader_error{404, "there is no tag '" + id + "' in the field"};
  }
  t->security = secure;
  t->secured = secure;
  shared_.reset();
  return *t;
}

reader_status simulated_reader::status() {
  std::lock_guard<std::mutex> lock(mutex_);
  return {connected_, scene_.items.size(), pending_.size()};
}

reader_view simulated_reader::view() {
  std::lock_guard<std::mutex> lock(mutex_);
  reader_view v;
  v.connected = connected_;
  v.inventory = connected_;
  for (const auto& entry : in_field()) v.items.push_back(*entry.first);
  return v;
}

// Tag ids look like the 96-bit EPCs of the demo scene: 24 hex digits.
std::string simulated_reader::fresh_tag_id() {
  for (;;) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "E2801190200000%010llX",
                  static_cast<unsigned long long>(next_tag_++));
    if (find_tag(buf) == nullptr && pending_.count(buf) == 0) return buf;
  }
}

std::string simulated_reader::fresh_item_id() {
  for (;;) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "ITEM-%06llu",
                  static_cast<unsigned long long>(next_item_++));
    const bool used = std::any_of(
        scene_.items.begin(), scene_.items.end(),
        [&](const item& i) { return korvo::equals_ascii_nocase(i.id, buf); });
    if (!used) return buf;
  }
}

tag* simulated_reader::find_tag(const std::string& id) {
  for (item& i : scene_.items) {
    for (tag& t : i.tags) {
      if (korvo::equals_ascii_nocase(t.id, id)) return &t;
    }
  }
  return nullptr;
}

}  // namespace tag_service
