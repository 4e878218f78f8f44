#include "tag_service/service/live_view.h"

#include "protocol/wire_time.h"
#include "tag_service/model/json_writer.h"
#include "tag_service/model/wire_json.h"
#include "tag_service/service/service.h"

namespace tag_service {

std::string live_status(const reader_view& reader,
                        const std::vector<tag_format>& formats,
                        std::uint64_t now_filetime,
                        const live_additions& added) {
  json_writer w;
  w.begin_object();
  if (added.capture) {
    const live_capture& c = *added.capture;
    w.key("capture");
    w.begin_object();
    w.member("captured", c.captured);
    w.member("dropped", c.dropped);
    w.member("last_error", c.last_error);
    w.member("outbox", c.outbox);
    w.member("outbox_bytes", c.outbox_bytes);
    w.member("reachable", c.reachable);
    w.member("rejected", c.rejected);
    w.member("url", c.url);
    w.end_object();
  }
  if (added.events) {
    const live_events& e = *added.events;
    w.key("events");
    w.begin_object();
    w.member("broker", e.broker);
    w.member("connected", e.connected);
    w.member("dropped", e.dropped);
    w.member("last_error", e.last_error);
    w.member("outbox", e.outbox);
    w.member("outbox_bytes", e.outbox_bytes);
    w.member("sent", e.sent);
    w.end_object();
  }
  w.key("formats");
  w.begin_array();
  for (const tag_format& f : formats) write_format(w, f);
  w.end_array();
  if (added.insecure) w.member("insecure", true);
  w.key("items");
  w.begin_array();
  for (const item& i : reader.items) write_item(w, i);
  w.end_array();
  w.key("reader");
  w.begin_object();
  w.member("connected", reader.connected);
  w.member("inventory", reader.inventory);
  w.member("last_error", reader.last_error);
  w.member("not_shown", std::uint64_t{reader.not_shown});
  w.member("source", reader.source);
  w.end_object();
  w.member("time", tag_protocol::format_utc_timestamp(now_filetime));
  w.end_object();
  return w.take();
}

std::string service::live_snapshot(std::uint64_t now_filetime,
                                   const live_additions& added) {
  reader_view v = reader_->view();
  std::vector<tag_format> formats;
  try {
    formats = reader_->formats();
  } catch (const reader_error& e) {
    if (v.last_error.empty()) v.last_error = e.message;
  }
  // A reader's text may be anything: bounded and valid UTF-8 here, as in
  // every answer.
  v.last_error = printable(v.last_error, kMaxLastErrorBytes);
  return live_status(v, formats, now_filetime, added);
}

shared_snapshot::shared_snapshot(std::function<std::string()> build,
                                 std::chrono::milliseconds max_age)
    : build_(std::move(build)), max_age_(max_age) {}

std::shared_ptr<const std::string> shared_snapshot::get() {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto now = std::chrono::steady_clock::now();
  if (latest_ != nullptr && now - built_ < max_age_) return latest_;
  if (building_) {
    if (latest_ != nullptr) return latest_;
    built_wake_.wait(lock, [this] { return !building_; });
    if (latest_ != nullptr) return latest_;
  }
  building_ = true;
  lock.unlock();
  std::shared_ptr<const std::string> made;
  try {
    made = std::make_shared<const std::string>(build_());
  } catch (...) {
    lock.lock();
    building_ = false;
    built_wake_.notify_all();
    throw;
  }
  lock.lock();
  latest_ = made;
  built_ = std::chrono::steady_clock::now();
  building_ = false;
  built_wake_.notify_all();
  return made;
}

// The script builds every element with createElement and fills it with
// textContent: tag texts come from whoever wrote the tag and are never
// parsed as markup. Page and script keep working offline (nothing from
// elsewhere).
std::string_view live_page() {
  static const char kPage[] = R"html(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>tag-service: live field</title>
<style>
:root { --bg: #f6f7f9; --fg: #1c2330; --muted: #5c6675; --card: #fff;
        --line: #dde1e7; --ok: #1d7f3a; --bad: #b3261e; --warn: #8a5a00; }
@media (prefers-color-scheme: dark) {
  :root { --bg: #14171c; --fg: #e6e9ee; --muted: #9aa3b0; --card: #1d2128;
          --line: #323844; --ok: #5ccf7e; --bad: #ff8a80; --warn: #f0c060; }
}
* { box-sizing: border-box; }
body { margin: 0; background: var(--bg); color: var(--fg);
       font: 15px/1.45 system-ui, -apple-system, "Segoe UI", sans-serif; }
header, main { max-width: 1200px; margin: 0 auto; padding: 12px 16px; }
header { display: flex; flex-wrap: wrap; align-items: baseline; gap: 8px 16px; }
h1 { font-size: 1.3rem; margin: 0; }
h2 { font-size: 1.05rem; margin: 20px 0 8px; }
#updated { color: var(--muted); font-size: .9rem; }
#updated.stale { color: var(--bad); font-weight: 600; }
.card { background: var(--card); border: 1px solid var(--line);
        border-radius: 8px; padding: 12px 14px; }
#reader { display: grid; gap: 6px 18px;
          grid-template-columns: repeat(auto-fit, minmax(170px, 1fr)); }
#reader .k { color: var(--muted); font-size: .8rem; display: block; }
.badge { display: inline-block; padding: 1px 9px; border-radius: 10px;
         font-weight: 600; font-size: .9rem; border: 1px solid currentColor; }
.yes { color: var(--ok); } .no { color: var(--bad); } .err { color: var(--bad); }
.none { color: var(--muted); }
.wrap { overflow-x: auto; }
table { width: 100%; border-collapse: collapse; background: var(--card);
        border: 1px solid var(--line); border-radius: 8px; }
th, td { text-align: left; padding: 6px 10px; border-bottom: 1px solid var(--line);
         vertical-align: top; }
th { font-size: .8rem; color: var(--muted); position: sticky; top: 0;
     background: var(--card); }
td.id { font-family: ui-monospace, "DejaVu Sans Mono", monospace;
        font-size: .85rem; white-space: nowrap; }
td .v { white-space: pre-wrap; word-break: break-word; }
td .v b { font-weight: 600; }
td .d { color: var(--muted); }
tr.invalid td { color: var(--muted); font-style: italic; }
tr.more td { color: var(--muted); font-style: italic; }
#formats { display: grid; gap: 10px;
           grid-template-columns: repeat(auto-fill, minmax(260px, 1fr)); }
#formats ul { margin: 6px 0 0; padding-left: 18px; }
#formats .off { color: var(--muted); }
@media (max-width: 700px) {
  thead { display: none; }
  table, tbody, tr, td { display: block; width: 100%; }
  table { border: 0; background: none; }
  tr { background: var(--card); border: 1px solid var(--line);
       border-radius: 8px; margin-bottom: 10px; padding: 4px 0; }
  td { border: 0; padding: 3px 12px; display: grid;
       grid-template-columns: 7.5em 1fr; gap: 8px; }
  td::before { content: attr(data-label); color: var(--muted); font-size: .8rem;
               font-family: system-ui, sans-serif; }
  td.id { white-space: normal; word-break: break-all; }
}
</style>
</head>
<body>
<header>
  <h1>tag-service: live field</h1>
  <span id="updated">waiting for the service&hellip;</span>
</header>
<p id="insecure" class="err" hidden>This service is open: it was started with
--insecure, so anyone who can reach it can read and write tags.</p>
<main>
  <section class="card" id="reader" aria-label="Reader">
    <div><span class="k">Reader</span><span id="source">&ndash;</span></div>
    <div><span class="k">Connection</span><span id="connected" class="badge none">&ndash;</span></div>
    <div><span class="k">Inventory</span><span id="inventory" class="badge none">&ndash;</span></div>
    <div><span class="k">Last error</span><span id="last-error" class="none">none</span></div>
    <div id="not-shown-row" hidden><span class="k">Not shown</span><span id="not-shown" class="err"></span></div>
    <div id="events" hidden><span class="k">Broker</span><span id="broker" class="badge none">&ndash;</span>
      <span id="outbox"></span></div>
    <div id="capture" hidden><span class="k">EPCIS repository</span><span id="repository" class="badge none">&ndash;</span>
      <span id="capture-outbox"></span></div>
  </section>
  <h2 id="field-title">Field</h2>
  <div class="wrap">
    <table id="field">
      <thead><tr><th>Item</th><th>Tag id</th><th>Format</th><th>Decoded values</th>
        <th>Antenna</th><th>Peak RSSI</th><th>Last seen</th></tr></thead>
      <tbody></tbody>
    </table>
  </div>
  <h2>Formats</h2>
  <div id="formats"></div>
</main>
<script src="/live.js"></script>
</body>
</html>
)html";
  return {kPage, sizeof kPage - 1};
}

std::string_view live_script() {
  static const char kScript[] = R"js('use strict';
const labels = ['Item', 'Tag id', 'Format', 'Decoded values', 'Antenna',
                'Peak RSSI', 'Last seen'];
const fieldTypes = {1: 'text', 2: 'number', 3: 'code'};

function el(name, text, cls) {
  const e = document.createElement(name);
  if (text !== undefined && text !== null) e.textContent = String(text);
  if (cls) e.className = cls;
  return e;
}
function shown(v) { return v === undefined || v === null || v === '' ? '\u2013' : v; }
function when(t) { return t ? String(t).replace('T', ' ').replace(/\.\d+Z$|Z$/, ' UTC') : '\u2013'; }

function badge(id, on, yes, no) {
  const b = document.getElementById(id);
  b.textContent = on ? yes : no;
  b.className = 'badge ' + (on ? 'yes' : 'no');
}

function renderReader(r) {
  document.getElementById('source').textContent = shown(r.source);
  badge('connected', r.connected, 'connected', 'disconnected');
  badge('inventory', r.inventory, 'running', 'stopped');
  const e = document.getElementById('last-error');
  e.textContent = r.last_error ? r.last_error : 'none';
  e.className = r.last_error ? 'err' : 'none';
  document.getElementById('not-shown-row').hidden = !r.not_shown;
  document.getElementById('not-shown').textContent =
      r.not_shown + ' more tags in the field than the service keeps';
}

// The broker link, when the service publishes events.
function renderEvents(ev) {
  document.getElementById('events').hidden = !ev;
  if (!ev) return;
  badge('broker', ev.connected, 'connected', 'away');
  document.getElementById('broker').title = ev.broker;
  let text = ' outbox ' + ev.outbox + ', dropped ' + ev.dropped;
  if (ev.last_error) text += ' \u2013 ' + ev.last_error;
  const o = document.getElementById('outbox');
  o.textContent = text;
  o.className = ev.dropped > 0 || ev.last_error ? 'err' : 'none';
}

// The EPCIS repository, when the service captures events into one.
function renderCapture(c) {
  document.getElementById('capture').hidden = !c;
  if (!c) return;
  badge('repository', c.reachable, 'reachable', 'away');
  document.getElementById('repository').title = c.url;
  let text = ' outbox ' + c.outbox + ', captured ' + c.captured +
      ', rejected ' + c.rejected + ', dropped ' + c.dropped;
  if (c.last_error) text += ' \u2013 ' + c.last_error;
  const o = document.getElementById('capture-outbox');
  o.textContent = text;
  o.className = c.dropped > 0 || c.rejected > 0 || c.last_error ? 'err' : 'none';
}

function valuesCell(td, values) {
  if (!values || values.length === 0) { td.textContent = '\u2013'; return; }
  const box = el('div');
  for (const v of values) {
    const line = el('div', null, 'v');
    line.appendChild(el('b', v.name));
    line.appendChild(document.createTextNode('=' + v.value));
    if (v.description) line.appendChild(el('span', ' (' + v.description + ')', 'd'));
    box.appendChild(line);
  }
  td.appendChild(box);
}

// A field may hold far more rows than a page can show: the first kMaxRows
// are shown, and a last row says how many more there are.
const kMaxRows = 1000;

function fieldRow(item, t, names) {
  const tr = el('tr', null, item.valid === false ? 'invalid' : '');
  const cells = [];
  for (const label of labels) {
    const td = el('td');
    td.dataset.label = label;
    cells.push(td);
    tr.appendChild(td);
  }
  cells[0].textContent = item.id + (item.valid === false ? ' (invalid)' : '');
  if (t) {
    cells[1].textContent = t.id;
    cells[1].className = 'id';
    const name = names.get(t.format);
    cells[2].textContent = t.format + (name !== undefined ? ' \u00b7 ' + name : ' (not listed)');
    valuesCell(cells[3], t.values);
    cells[4].textContent = shown(t.antenna);
    cells[5].textContent = t.peak_rssi === undefined || t.peak_rssi === null ? '\u2013' : t.peak_rssi + ' dBm';
    cells[6].textContent = when(t.last_seen);
  } else {
    cells[1].textContent = 'no tag';
    for (let i = 2; i < cells.length; ++i) cells[i].textContent = '\u2013';
  }
  return tr;
}

function renderField(items, formats) {
  const names = new Map(formats.map(f => [f.id, f.description]));
  const body = document.querySelector('#field tbody');
  const rows = document.createDocumentFragment();
  let shownRows = 0;
  let hiddenRows = 0;
  let tags = 0;
  for (const item of items) {
    const list = item.tags && item.tags.length ? item.tags : [null];
    for (const t of list) {
      if (t) ++tags;
      if (shownRows < kMaxRows) {
        rows.appendChild(fieldRow(item, t, names));
        ++shownRows;
      } else {
        ++hiddenRows;
      }
    }
  }
  if (hiddenRows > 0) {
    const tr = el('tr', null, 'more');
    const td = el('td', hiddenRows + ' more ' + (hiddenRows === 1 ? 'row' : 'rows') +
                        ' not shown (the first ' + kMaxRows + ' are)');
    td.colSpan = labels.length;
    td.id = 'more-rows';
    tr.appendChild(td);
    rows.appendChild(tr);
  }
  body.replaceChildren(rows);
  document.getElementById('field-title').textContent =
      'Field: ' + items.length + (items.length === 1 ? ' item, ' : ' items, ') +
      tags + (tags === 1 ? ' tag' : ' tags');
}

function renderFormats(formats) {
  const box = document.getElementById('formats');
  const cards = document.createDocumentFragment();
  for (const f of formats) {
    const card = el('div', null, 'card' + (f.enabled === false ? ' off' : ''));
    const title = el('div');
    title.appendChild(el('b', f.id + ' \u00b7 ' + f.description));
    if (f.enabled === false) title.appendChild(el('span', ' (disabled)'));
    card.appendChild(title);
    const list = el('ul');
    for (const d of f.fields || []) {
      const range = d.type === 3 ? (d.codes || []).map(c => c.code).join(', ')
                                 : d.minimum + '\u2013' + d.maximum;
      list.appendChild(el('li', d.name + ': ' + (fieldTypes[d.type] || d.type) + ' ' + range));
    }
    card.appendChild(list);
    cards.appendChild(card);
  }
  box.replaceChildren(cards);
}

let shownKey = '';
let lastAnswer = null;
function render(s) {
  lastAnswer = new Date();
  const u = document.getElementById('updated');
  u.textContent = 'updated ' + when(s.time);
  u.className = '';
  document.getElementById('insecure').hidden = !s.insecure;
  renderEvents(s.events);
  renderCapture(s.capture);
  const key = JSON.stringify([s.reader, s.formats, s.items]);
  if (key === shownKey) return;
  shownKey = key;
  renderReader(s.reader || {});
  renderField(s.items || [], s.formats || []);
  renderFormats(s.formats || []);
}

async function poll() {
  try {
    const r = await fetch('/status.json', {cache: 'no-store'});
    if (!r.ok) throw new Error('HTTP ' + r.status);
    render(await r.json());
  } catch (e) {
    const u = document.getElementById('updated');
    u.textContent = 'the service does not answer' +
        (lastAnswer ? ' (last answer ' + lastAnswer.toLocaleTimeString() + ')' : '');
    u.className = 'stale';
  }
  setTimeout(poll, 1000);
}
poll();
)js";
  return {kScript, sizeof kScript - 1};
}

}  // namespace tag_service
