#include "tag_service/readers/llrp/llrp_reader.h"

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "protocol/wire_time.h"
#include "tag_service/model/file_text.h"

namespace tag_service {

namespace {

constexpr std::size_t kMaxPending = 1000;
const reader_error kNotConnected{409, "the reader is not connected"};

std::string upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return out;
}

std::vector<std::uint16_t> words_of(const std::vector<std::uint8_t>& b) {
  std::vector<std::uint16_t> w;
  for (std::size_t i = 0; i < b.size(); i += 2) {
    const std::uint8_t low = i + 1 < b.size() ? b[i + 1] : 0;
    w.push_back(static_cast<std::uint16_t>((b[i] << 8) | low));
  }
  return w;
}

// Tag operation results: which HTTP status, and what the user can do.
// with_password: the operation gave a (non-zero) access password.
reader_error op_error(const char* what, const llrp::op_result& r,
                      bool with_password) {
  std::string message = std::string(what) + " failed: " + op_result_text(r);
  int status = 502;
  const bool write = r.kind == llrp::op_kind::write;
  // A tag given the wrong access password stops answering; LLRP has no
  // result of its own for that, so a reader reports no response or a tag
  // error.
  const bool no_response = write ? r.result == 5 : r.result == 3;
  const bool tag_error = write ? r.result == 4 : r.result == 2;
  if (write && r.result == 2) {
    message +=
        " (its security is set: clear it first, or configure its "
        "access password)";
    status = 409;
  } else if (with_password && (no_response || tag_error)) {
    message +=
        " (bring the tag closer to the antenna, or check that the tag's "
        "access password is the configured one: readers report a wrong "
        "password as no response or a tag error)";
    status = no_response ? 504 : 502;
  } else if (no_response || (write ? r.result == 3 : r.result == 1)) {
    message += " (bring the tag closer to the antenna)";
    status = 504;
  } else if (r.kind == llrp::op_kind::write && r.result == 1) {
    message += " (the new EPC does not fit the tag's EPC memory)";
    status = 422;
  }
  return {status, message};
}

}  // namespace

item sighting_item(const llrp::seen_tag& s) {
  const epc::decoded d = epc::decode(s.epc, s.epc_bits);
  tag t = epc::epc_tag(d);
  t.first_seen = tag_protocol::filetime_from_unix_ns(
      static_cast<std::int64_t>(s.first_seen_us) * 1000);
  if (s.antenna)
    t.values.push_back({"antenna", std::to_string(*s.antenna), {}});
  if (s.peak_rssi)
    t.values.push_back({"peak_rssi", std::to_string(*s.peak_rssi), "dBm"});
  t.values.push_back({"seen_count", std::to_string(s.seen_count), {}});
  item i;
  i.id = epc::item_id(d);
  i.type = epc::item_type(d);
  i.first_seen = t.first_seen;
  i.tags.push_back(std::move(t));
  return i;
}

bool read_access_password(const std::string& path, std::uint32_t& out,
                          std::string& error, std::string& warning) {
  file_text file;
  try {
    file = *read_file_text(path, kMaxPasswordFileBytes);
  } catch (const input_error& e) {
    error = std::string("the access password file: ") + e.what();
    return false;
  }
  const std::string& text = file.text;
  const auto first = text.find_first_not_of(" \t\r\n");
  const auto last = text.find_last_not_of(" \t\r\n");
  const std::string digits =
      first == std::string::npos ? "" : text.substr(first, last - first + 1);
  if (digits.size() != 8 ||
      digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
    error = "the access password file " + path +
            " must hold exactly 8 hex digits and nothing else";
    return false;
  }
  out = static_cast<std::uint32_t>(std::stoul(digits, nullptr, 16));
  if (out == 0) {
    error = "the access password in " + path +
            " is 00000000, which Gen2 tags take as no password";
    return false;
  }
  warning.clear();
  // Group access is left to the operator, as for the TLS key and tokens
  // (the system service reads its files through its group); others never.
  if ((file.permissions & 004) != 0) {
    warning = "the access password file " + path +
              " may be read by others (chmod o-rwx it)";
  }
  return true;
}

bool read_state_file(const std::string& path, std::set<std::string>& secured,
                     std::string& error) {
  std::optional<file_text> file;
  try {
    file = read_file_text(path, kMaxStateFileBytes, /*missing_ok=*/true);
  } catch (const input_error& e) {
    error = std::string("the state file: ") + e.what();
    return false;
  }
  if (file) {
    const auto j = nlohmann::json::parse(file->text, nullptr, false);
    const auto* list =
        j.is_object() && j.contains("secured") ? &j["secured"] : nullptr;
    if (!list || !list->is_array()) {
      error = "state file " + path + " is not a tag-service state file";
      return false;
    }
    for (const auto& e : *list) {
      if (!e.is_string()) {
        error = "state file " + path + " lists something that is not an EPC";
        return false;
      }
      secured.insert(upper(e.get<std::string>()));
    }
  }
  std::string why;
  if (!folder_writable(path, why)) {
    error = "the state file " + path + " cannot be written: " + why;
    return false;
  }
  return true;
}

llrp_reader::llrp_reader(llrp_reader_options options)
    : options_(std::move(options)), client_(hooked()) {
  secured_ = std::move(options_.secured);
  client_.start();
}

llrp_reader::~llrp_reader() { client_.stop(); }

llrp::client_options llrp_reader::hooked() {
  llrp::client_options o = options_.client;
  o.inventory_at_start = options_.inventory_always;
  o.on_report = [this](const llrp::tag_report& r) { reported(r); };
  o.on_link = [this](bool up, const std::string& cause) {
    link_changed(up, cause);
  };
  return o;
}

void llrp_reader::observe(reader_observer* observer) { observer_ = observer; }

// Times are the service's clock when the report came: a reader's own clock
// may be unset or far off, and departures are timed by ours.
void llrp_reader::reported(const llrp::tag_report& r) {
  reader_observer* o = observer_;
  if (!o) return;
  const epc::decoded d = epc::decode(r.epc, r.epc_bits);
  sighting s;
  s.seen.id = epc::item_id(d);
  s.seen.type = epc::item_type(d);
  s.seen.tags.push_back(epc::epc_tag(d));
  s.scheme = epc::scheme_name(d.kind);
  s.antenna = r.antenna.value_or(0);
  if (r.peak_rssi) s.peak_rssi = *r.peak_rssi;
  s.time_ms = utc_now_ms();
  o->sighted(s);
}

void llrp_reader::link_changed(bool up, const std::string& cause) {
  reader_observer* o = observer_;
  if (!o) return;
  const std::int64_t now = utc_now_ms();
  if (!up) {
    o->state_changed({reader_change::disconnected, cause, now});
    return;
  }
  o->state_changed({reader_change::connected, "", now});
  if (client_.inventory_running())
    o->state_changed({reader_change::inventory_started, "", now});
}

void llrp_reader::save_state() {
  if (options_.state_file.empty()) return;
  nlohmann::json j = {{"secured", nlohmann::json::array()}};
  for (const auto& epc : secured_) j["secured"].push_back(epc);
  std::string why;
  if (!replace_file(options_.state_file, j.dump(2) + "\n", why)) {
    // The path is for the operator; clients learn only what failed.
    std::fprintf(stderr, "tag-service: cannot write the state file %s: %s\n",
                 options_.state_file.c_str(), why.c_str());
    throw reader_error{500,
                       "the tag was changed, but the service could not "
                       "record it in its state file: " +
                           why};
  }
}

void llrp_reader::need_link() {
  std::string cause;
  if (!client_.ready(cause)) throw reader_error{503, cause};
}

std::vector<llrp::seen_tag> llrp_reader::field_tags() {
  need_link();
  if (!client_.inventory_running()) throw kNotConnected;
  llrp::reader_client::field f = client_.current_field();
  not_kept_ = f.not_kept;
  return std::move(f.tags);
}

// Gen2 tags hold at most kMaxEpcBits of EPC: a longer one no tag can
// answer to, and its bit count would not fit the AccessSpec's target.
void llrp_reader::need_gen2_epc(const llrp::seen_tag& target) {
  if (target.epc_bits > epc::kMaxEpcBits) {
    throw reader_error{
        422, "the tag's EPC has " + std::to_string(target.epc_bits) +
                 " bits, more than the " + std::to_string(epc::kMaxEpcBits) +
                 " a Gen2 tag holds: no operation can address it"};
  }
}

reader_view llrp_reader::view() {
  reader_view v = reader::view();
  v.not_shown = not_kept_;
  return v;
}

void llrp_reader::mark_security(tag& t) {
  std::lock_guard lock(mutex_);
  t.security = t.secured = secured_.count(upper(t.id)) > 0;
}

tag llrp_reader::tag_of(const llrp::seen_tag& s) {
  tag t = std::move(sighting_item(s).tags.front());
  mark_security(t);
  return t;
}

std::vector<tag_format> llrp_reader::formats() { return epc::epc_formats(); }

bool llrp_reader::set_connected(bool connected) {
  std::string error;
  const bool was = client_.inventory_running();
  reader_observer* o = observer_;
  if (connected) {
    need_link();
    if (!client_.start_inventory(error)) throw reader_error{503, error};
    if (o && !was)
      o->state_changed({reader_change::inventory_started, "", utc_now_ms()});
    return true;
  }
  if (options_.inventory_always) return was;
  if (!client_.stop_inventory(error)) throw reader_error{503, error};
  if (o && was)
    o->state_changed({reader_change::inventory_stopped, "", utc_now_ms()});
  return false;
}

std::vector<item> llrp_reader::items() {
  std::vector<item> out;
  for (const llrp::seen_tag& s : field_tags()) {
    out.push_back(sighting_item(s));
    mark_security(out.back().tags.front());
  }
  return out;
}

tag llrp_reader::create_tag(std::string_view data) {
  epc::new_epc made;
  try {
    made = epc::epc_from_write_data(data);
  } catch (const input_error& e) {
    throw reader_error{422, e.what()};
  }
  tag t = made.tag;
  const std::string key = upper(t.id);
  std::lock_guard lock(mutex_);
  if (!pending_.count(key)) pending_order_.push_back(key);
  pending_[key] = std::move(made);
  while (pending_.size() > kMaxPending) {
    pending_.erase(pending_order_.front());
    pending_order_.pop_front();
  }
  return t;
}

written_tag llrp_reader::write_tag(const std::string& id) {
  epc::new_epc made;
  {
    std::lock_guard lock(mutex_);
    const auto it = pending_.find(upper(id));
    if (it == pending_.end())
      throw reader_error{404,
                         "there is no created, unwritten tag '" + id + "'"};
    made = it->second;
  }
  const auto field = field_tags();
  if (field.size() != 1) {
    throw reader_error{409,
                       "writing needs exactly one tag in the field, and "
                       "the reader sees " +
                           std::to_string(field.size())};
  }
  const llrp::seen_tag& target = field.front();
  need_gen2_epc(target);
  const std::string old_id =
      upper(epc::tag_id(epc::decode(target.epc, target.epc_bits)));

  llrp::access_op op;
  op.op_spec_id = 1;
  std::vector<std::uint16_t> words = words_of(made.epc.bytes);
  if (made.epc.bits == target.epc_bits) {
    op.write = llrp::write_op{1, 2, std::move(words)};
  } else {
    // A new length goes into the PC word's length bits; its other bits stay.
    const std::uint16_t low = target.pc.value_or(0) & 0x07FF;
    words.insert(words.begin(),
                 static_cast<std::uint16_t>((words.size() << 11) | low));
    op.write = llrp::write_op{1, 1, std::move(words)};
  }
  // No access password: a tag whose security is set stays as it is until
  // its security is cleared.
  std::vector<llrp::op_result> results;
  std::string error;
  if (!client_.run_access(target.epc, {op}, results, error,
                          options_.operation_timeout)) {
    throw reader_error{504, "writing the tag failed: " + error};
  }
  if (results[0].result != 0)
    throw op_error("writing the tag", results[0], false);
  if (!client_.await_sighting(made.epc.bytes, options_.operation_timeout)) {
    throw reader_error{504,
                       "the tag was written, but the reader has not seen "
                       "its new EPC " +
                           made.tag.id + " within " +
                           std::to_string(options_.operation_timeout.count()) +
                           " ms"};
  }
  client_.forget(target.epc, target.epc_bits);  // that EPC is gone
  std::lock_guard lock(mutex_);
  // Should the tag have been unlocked elsewhere, its entry follows it.
  const std::string new_id = upper(made.tag.id);
  if (secured_.erase(old_id)) {
    secured_.insert(new_id);
    save_state();
  }
  pending_.erase(new_id);
  std::erase(pending_order_, new_id);
  written_tag w;
  w.written = made.tag;
  w.written.security = w.written.secured = secured_.count(new_id) > 0;
  w.item_id = epc::item_id(made.epc);
  return w;
}

tag llrp_reader::set_security(const std::string& id, bool secure) {
  const auto field = field_tags();
  const std::string wanted = upper(id);
  const llrp::seen_tag* target = nullptr;
  epc::decoded d;
  for (const auto& s : field) {
    if (upper(epc::tag_id(epc::decode(s.epc, s.epc_bits))) == wanted)
      target = &s;
  }
  if (!target)
    throw reader_error{404, "there is no tag '" + id + "' in the field"};
  need_gen2_epc(*target);
  if (!options_.access_password) {
    throw reader_error{409,
                       "security needs an access password: start "
                       "tag-service with --access-password-file"};
  }
  const std::uint32_t password = *options_.access_password;
  bool was;
  {
    std::lock_guard lock(mutex_);
    was = secured_.count(wanted) > 0;
  }
  std::vector<llrp::access_op> ops;
  if (secure) {
    // The password first (a tag without one takes it in the open state),
    // then EPC memory and the password itself locked behind it. Never a
    // permanent lock.
    llrp::access_op give;
    give.op_spec_id = 1;
    give.access_password = was ? password : 0;
    give.write = llrp::write_op{0,
                                2,
                                {static_cast<std::uint16_t>(password >> 16),
                                 static_cast<std::uint16_t>(password)}};
    ops.push_back(give);
  }
  llrp::access_op lock;
  lock.op_spec_id = 2;
  lock.access_password = password;
  const std::uint8_t privilege =
      secure ? llrp::lock_read_write : llrp::lock_unlock;
  lock.lock = llrp::lock_op{{{privilege, llrp::lock_epc_memory},
                             {privilege, llrp::lock_access_password}}};
  ops.push_back(lock);

  std::vector<llrp::op_result> results;
  std::string error;
  const char* what =
      secure ? "setting the tag's security" : "clearing the tag's security";
  if (!client_.run_access(target->epc, ops, results, error,
                          options_.operation_timeout)) {
    throw reader_error{504, std::string(what) + " failed: " + error};
  }
  for (std::size_t i = 0; i < results.size(); ++i) {
    const llrp::op_result& r = results[i];
    if (r.result == 0) continue;
    if (r.kind == llrp::op_kind::write && r.result == 2) {
      throw reader_error{409, std::string(what) +
                                  " failed: the tag's password is locked and "
                                  "is not the configured access password"};
    }
    throw op_error(what, r, ops[i].access_password != 0);
  }
  {
    std::lock_guard guard(mutex_);
    if (secure) {
      secured_.insert(wanted);
    } else {
      secured_.erase(wanted);
    }
    if (was != secure) save_state();
  }
  return tag_of(*target);
}

reader_status llrp_reader::status() {
  reader_status s;
  s.connected = client_.inventory_running();
  if (s.connected) {
    std::string cause;
    if (client_.ready(cause)) s.items = client_.tags().size();
  }
  std::lock_guard lock(mutex_);
  s.pending = pending_.size();
  return s;
}

}  // namespace tag_service
