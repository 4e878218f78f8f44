'use strict';
// The emulated reader: one LLRP connection at a time over TCP, ROSpecs that
// inventory a tag population, AccessSpecs that read, write and lock tags,
// and faults switched on and off at run time. Every LLRP message is encoded
// and decoded by llrpjs; only the framing (by the length in the 10-byte
// header) is done here, so that several messages in one TCP read, or one
// message over several, are all handled.

const net = require('net');
const {LLRPMessage, LLRPCoreDef} = require('llrpjs');
const {tag, hex_to_words, words_to_hex} = require('./tag');

const HEADER_BYTES = 10;
const LLRP_VERSION = 1;
// A frame longer than this is treated as malformed and ends the connection.
const MAX_FRAME_BYTES = 4 * 1024 * 1024;

const FAULT_KINDS = ['refuse', 'busy', 'drop', 'error_status', 'slow', 'garbage',
  'no_keepalive', 'hang', 'hold_reports', 'sticky_session', 'leftover_specs', 'clock',
  'omit_unchanged', 'keepalive_period', 'llrp_off', 'none'];
const CLOCK_MODES = ['uptime', 'y2000'];
// What a foreign client left on the reader (the leftover_specs fault).
const FOREIGN_ROSPEC_ID = 7001;
const FOREIGN_ACCESSSPEC_ID = 7002;
// Report fields a reader may leave out while they equal the previous
// report's (the omit_unchanged fault).
const OMITTABLE = ['AntennaID', 'PeakRSSI', 'FirstSeenTimestampUTC', 'FirstSeenTimestampUptime',
  'LastSeenTimestampUTC', 'LastSeenTimestampUptime', 'TagSeenCount'];
const GARBAGE_KINDS = ['bytes', 'bad_length', 'huge_length', 'truncated_tlv', 'bad_version'];
// Population feed (--static-reports): llrpjs encodes at most this long per
// round, so requests are still answered while a big population is built.
const STATIC_BUDGET_MS = 200;
// A round of the feed is skipped while this much is still waiting to be sent
// to a client that does not keep up.
const STATIC_BACKLOG_BYTES = 8 * 1024 * 1024;

// Microseconds since 1970 with microsecond resolution, never going backwards.
const clock_base_us = BigInt(Date.now()) * 1000n;
const clock_base_ns = process.hrtime.bigint();
let last_us = 0n;
function now_us() {
  let t = clock_base_us + (process.hrtime.bigint() - clock_base_ns) / 1000n;
  if (t <= last_us) t = last_us + 1n;
  last_us = t;
  return t;
}
// The reader's uptime: it was switched on 1000 s before the emulator started.
const BOOT_US = clock_base_us - 1000n * 1000000n;
// A clock never set: it counts from 2000-01-01 since the emulator started.
const Y2000_SHIFT_US = clock_base_us - BigInt(Date.UTC(2000, 0, 1)) * 1000n;

function default_config() {
  return {
    keepalive_ms: 0,
    ro_report_spec: {
      ROReportTrigger: 'None',
      N: 0,
      TagReportContentSelector: {
        EnableROSpecID: 0, EnableSpecIndex: 0, EnableInventoryParameterSpecID: 0,
        EnableAntennaID: 0, EnableChannelIndex: 0, EnablePeakRSSI: 0,
        EnableFirstSeenTimestamp: 0, EnableLastSeenTimestamp: 0,
        EnableTagSeenCount: 0, EnableAccessSpecID: 0,
      },
    },
    access_report_trigger: 'Whenever_ROReport_Is_Generated',
    hold_events_and_reports: 0,
    event_notification_states: [],
    session: null,  // Gen2 session asked for by C1G2SingulationControl
  };
}

const STATUS_CODES = LLRPCoreDef.LLRPStatus.fieldDescriptors
    .find((f) => f.name === 'StatusCode').enumTable.map((e) => e.name);

// The name of the message type with this number, or null.
function message_name(type_num) {
  const def = Object.values(LLRPCoreDef).find((d) => d.isMessage && d.typeNum === type_num);
  return def ? def.name : null;
}

// The name of the answer to a message type, or null when it has none.
function response_name(name) {
  const def = LLRPCoreDef[name];
  return (def && def.isMessage && def.responseType) || null;
}

// Closes a socket once what was written has gone out; a peer that does not
// close its side within a second is cut off.
function end_soon(socket) {
  socket.end();
  setTimeout(() => socket.destroy(), 1000).unref();
}

function status(code = 'M_Success', description = '') {
  return {StatusCode: code, ErrorDescription: description};
}

function as_list(v) {
  if (v === undefined || v === null) return [];
  return Array.isArray(v) ? v : [v];
}

class emulator {
  constructor(options) {
    this.antennas = options.antennas;
    this.gen2 = options.gen2;
    this.report_ms = options.report_ms;
    // Tags per RO_ACCESS_REPORT of the population feed; 0: no feed.
    this.static_reports = options.static_reports || 0;
    this.log = options.log || (() => {});
    this.tags = [];
    this.schedule = [];  // the steps of a changing field still to come
    this.schedule_timer = null;
    // Tags that took part in an inventory in a persistent session: in
    // session 2 or 3 they answer once per stay in the field.
    this.inventoried = new WeakSet();
    this.faults = {};
    this.rospecs = new Map();
    this.accessspecs = new Map();
    this.config = default_config();
    this.received = {};
    this.sent = {};
    this.connections = 0;
    this.conn = null;  // the one accepted connection
    this.next_message_id = 1;
    this.server = net.createServer((socket) => this.on_connection(socket));
    // The next round is due a full period after the last one ended: llrpjs
    // takes milliseconds per tag to encode a report, and rounds back to back
    // would starve the requests and the control interface.
    const round = () => {
      this.tick();
      this.report_timer = setTimeout(round, this.report_ms);
    };
    this.report_timer = setTimeout(round, this.report_ms);
  }

  listen(port) {
    return new Promise((resolve, reject) => {
      this.server.once('error', reject);
      this.server.listen(port, '127.0.0.1', () => {
        this.port = this.server.address().port;
        resolve(this.port);
      });
    });
  }

  close() {
    clearTimeout(this.report_timer);
    clearTimeout(this.schedule_timer);
    if (this.conn) this.drop_connection('emulator closing');
    this.server.close();
  }

  // ---- the control interface ------------------------------------------------

  set_tags(list) {
    this.cancel_schedule();
    this.replace_tags(list);
  }

  replace_tags(list) {
    if (!Array.isArray(list)) throw new Error('"tags" must be a list');
    const tags = list.map((desc) => new tag(desc));
    this.tags = tags;
    // Sightings of the tags replaced are not reported.
    for (const r of this.rospecs.values()) r.pending = new Map();
  }

  // A field that changes over time: each step replaces the population, as
  // a tags command would, after_ms after the step before it (the first
  // after the schedule command). Every step is checked before any is run;
  // a new schedule or tags command ends the one running.
  set_schedule(steps) {
    if (!Array.isArray(steps) || steps.length === 0) {
      throw new Error('"steps" must be a list of {"after_ms":N,"tags":[...]}');
    }
    for (const step of steps) {
      if (!step || !Number.isInteger(step.after_ms) || step.after_ms < 0 ||
          !Array.isArray(step.tags)) {
        throw new Error('each step needs "after_ms" (a whole number >= 0) and "tags" (a list)');
      }
      step.tags.forEach((desc) => new tag(desc));
    }
    this.cancel_schedule();
    this.schedule = steps.slice();
    const next = () => {
      const step = this.schedule.shift();
      this.replace_tags(step.tags);
      this.log(`schedule: ${step.tags.length} tags, ${this.schedule.length} steps left`);
      if (this.schedule.length) {
        this.schedule_timer = setTimeout(next, this.schedule[0].after_ms);
      }
    };
    this.schedule_timer = setTimeout(next, this.schedule[0].after_ms);
  }

  cancel_schedule() {
    clearTimeout(this.schedule_timer);
    this.schedule = [];
  }

  set_fault(cmd) {
    const kind = cmd.kind;
    if (!FAULT_KINDS.includes(kind)) {
      throw new Error(`unknown fault kind ${JSON.stringify(kind)}; one of ${FAULT_KINDS.join(', ')}`);
    }
    switch (kind) {
      case 'none':
        if (this.faults.llrp_off) this.server.listen(this.port, '127.0.0.1');
        this.faults = {};
        return;
      case 'refuse': {
        const mode = cmd.mode || 'close';
        if (!['close', 'event'].includes(mode)) throw new Error('"mode" is "close" or "event"');
        this.faults.refuse = {mode};
        return;
      }
      case 'busy':
      case 'no_keepalive':
      case 'hang':
      case 'omit_unchanged':
        this.faults[kind] = {};
        return;
      case 'hold_reports':
        this.faults.hold_reports = {};
        this.config.hold_events_and_reports = 1;
        return;
      case 'sticky_session': {
        const session = cmd.session === undefined ? 2 : cmd.session;
        if (![2, 3].includes(session)) throw new Error('"session" is 2 or 3');
        this.faults.sticky_session = {session};
        return;
      }
      case 'leftover_specs':
        this.faults.leftover_specs = {};
        this.add_foreign_specs();
        return;
      case 'clock': {
        if (!CLOCK_MODES.includes(cmd.mode)) throw new Error(`"mode" is one of ${CLOCK_MODES.join(', ')}`);
        this.faults.clock = {mode: cmd.mode};
        return;
      }
      case 'keepalive_period': {
        if (!Number.isInteger(cmd.ms) || cmd.ms < 1) throw new Error('"ms" must be >= 1');
        this.faults.keepalive_period = {ms: cmd.ms};
        return;
      }
      case 'llrp_off':
        if (!this.faults.llrp_off) this.server.close();
        this.faults.llrp_off = {};
        if (this.conn) this.drop_connection('fault: LLRP switched off');
        return;
      case 'drop': {
        const after = cmd.after_reports || 0;
        if (!Number.isInteger(after) || after < 0) throw new Error('"after_reports" must be >= 0');
        if (after === 0) {
          if (this.conn) this.drop_connection('fault: drop');
        } else {
          this.faults.drop = {reports_left: after};
        }
        return;
      }
      case 'error_status': {
        // ENABLE_EVENTS_AND_REPORTS has no answer, but a reader may refuse it.
        if (!response_name(cmd.message) && cmd.message !== 'ENABLE_EVENTS_AND_REPORTS') {
          throw new Error('"message" must name a request type that has an answer, e.g. ' +
              '"ADD_ROSPEC", or be ENABLE_EVENTS_AND_REPORTS');
        }
        if (cmd.status !== undefined && !STATUS_CODES.includes(cmd.status)) {
          throw new Error(`"status" is one of ${STATUS_CODES.join(', ')}`);
        }
        const count = cmd.count === undefined ? Infinity : cmd.count;
        if (count !== Infinity && (!Number.isInteger(count) || count < 1)) {
          throw new Error('"count" must be >= 1');
        }
        this.faults.error_status = {
          message: cmd.message,
          status: cmd.status || 'R_DeviceError',
          description: cmd.description || `emulated failure of ${cmd.message}`,
          count,
        };
        return;
      }
      case 'slow': {
        const ms = cmd.ms;
        if (!Number.isInteger(ms) || ms < 0) throw new Error('"ms" must be >= 0');
        if (cmd.message !== undefined && !(LLRPCoreDef[cmd.message] || {}).isMessage) {
          throw new Error('"message" must name an LLRP message type');
        }
        this.faults.slow = {ms, message: cmd.message || null};
        return;
      }
      case 'garbage': {
        const what = cmd.what || 'bytes';
        if (!GARBAGE_KINDS.includes(what)) {
          throw new Error(`"what" is one of ${GARBAGE_KINDS.join(', ')}`);
        }
        if (this.conn) {
          this.send_garbage(this.conn, what);
        } else {
          this.faults.garbage = {what};
        }
        return;
      }
    }
  }

  state() {
    return {
      connected: !!this.conn,
      connections: this.connections,
      rospecs: [...this.rospecs.values()].map((r) => ({id: r.id, state: r.state})),
      accessspecs: [...this.accessspecs.values()].map((a) => ({
        id: a.id, state: a.state, rospec_id: a.rospec_id,
        operations_left: a.operations_left === Infinity ? null : a.operations_left,
      })),
      keepalive_ms: this.config.keepalive_ms,
      session: this.config.session,
      hold_events_and_reports: this.config.hold_events_and_reports,
      held: this.conn ? this.conn.held.length : 0,
      tags: this.tags.map((t) => t.describe()),
      schedule_steps: this.schedule.length,
      faults: Object.keys(this.faults),
      messages: {...this.received},
      sent: {...this.sent},
    };
  }

  // ---- connections and framing -------------------------------------------------

  on_connection(socket) {
    socket.setNoDelay(true);
    socket.on('error', () => {});
    this.connections++;
    const refuse = this.faults.refuse;
    if (refuse && refuse.mode === 'close') {
      socket.destroy();
      return;
    }
    if (refuse) {
      this.send_on(socket, 'READER_EVENT_NOTIFICATION',
          this.connection_event('Failed_Reason_Other_Than_A_Connection_Already_Exists'));
      end_soon(socket);
      return;
    }
    if (this.conn || this.faults.busy) {
      this.send_on(socket, 'READER_EVENT_NOTIFICATION',
          this.connection_event('Failed_A_Client_Initiated_Connection_Already_Exists'));
      end_soon(socket);
      return;
    }
    // A reader whose configuration holds events and reports keeps them
    // until the client sends ENABLE_EVENTS_AND_REPORTS.
    const conn = {socket, buffer: Buffer.alloc(0), chain: Promise.resolve(), keepalive: null,
      holding: this.config.hold_events_and_reports === 1, held: [], last_fields: {}};
    this.conn = conn;
    socket.on('data', (data) => this.on_data(conn, data));
    socket.on('close', () => {
      if (this.conn === conn) {
        clearInterval(conn.keepalive);
        this.conn = null;
      }
    });
    this.send_on(socket, 'READER_EVENT_NOTIFICATION', this.connection_event('Success'));
    this.restart_keepalive();
    if (this.faults.garbage) {
      const {what} = this.faults.garbage;
      delete this.faults.garbage;
      this.send_garbage(conn, what);
    }
  }

  connection_event(status_name) {
    const data = this.clock_mode() === 'uptime' ?
      {Uptime: {Microseconds: this.uptime_us(now_us())}} :
      {UTCTimestamp: {Microseconds: this.utc_us(now_us())}};
    data.ConnectionAttemptEvent = {Status: status_name};
    return {ReaderEventNotificationData: data};
  }

  clock_mode() {
    return this.faults.clock ? this.faults.clock.mode : null;
  }

  // A time of now_us() as the reader's clocks show it.
  utc_us(t) {
    return this.clock_mode() === 'y2000' ? t - Y2000_SHIFT_US : t;
  }
  uptime_us(t) {
    return t - BOOT_US;
  }

  // The Gen2 session the reader inventories in: the one asked for, else
  // its own default.
  session() {
    if (this.config.session !== null) return this.config.session;
    return this.faults.sticky_session ? this.faults.sticky_session.session : 0;
  }

  // A ROSpec and an AccessSpec of another client, both enabled; the
  // AccessSpec reads every tag's TID.
  add_foreign_specs() {
    this.rospecs.set(FOREIGN_ROSPEC_ID, {
      id: FOREIGN_ROSPEC_ID, state: 'Inactive', antennas: [0], inventory_parameter_spec_id: 1,
      immediate: false, duration_ms: 0, stop_timer: null, report_spec: null,
      pending: new Map(), last_round: null,
    });
    this.accessspecs.set(FOREIGN_ACCESSSPEC_ID, {
      id: FOREIGN_ACCESSSPEC_ID, state: 'Active', antenna: 0, rospec_id: 0, targets: [],
      ops: [['C1G2Read', {OpSpecID: 1, AccessPassword: 0, MB: 2, WordPointer: 0, WordCount: 2}]],
      operations_left: Infinity,
    });
  }

  // Sends what a holding connection kept back, in order.
  release_held() {
    const conn = this.conn;
    if (!conn || !conn.holding) return;
    conn.holding = false;
    for (const [type, data, id] of conn.held.splice(0)) this.send(type, data, id);
  }

  // Ends the connection: at once, or (flush) after what was sent so far
  // has gone out, so the client sees the last message before the close.
  drop_connection(reason, flush = false) {
    const conn = this.conn;
    if (!conn) return;
    this.log(`dropping the connection: ${reason}`);
    clearInterval(conn.keepalive);
    this.conn = null;
    if (flush) {
      end_soon(conn.socket);
    } else {
      conn.socket.destroy();
    }
  }

  on_data(conn, data) {
    if (this.conn !== conn) return;
    conn.buffer = Buffer.concat([conn.buffer, data]);
    while (conn.buffer.length >= HEADER_BYTES) {
      const length = conn.buffer.readUInt32BE(2);
      if (length < HEADER_BYTES || length > MAX_FRAME_BYTES) {
        // The stream cannot be resynchronised after a bad length.
        const id = conn.buffer.readUInt32BE(6);
        this.send('ERROR_MESSAGE', {LLRPStatus: status('M_ParameterError',
            `message length ${length} outside ${HEADER_BYTES}..${MAX_FRAME_BYTES}`)}, id);
        this.drop_connection(`bad message length ${length}`, true);
        return;
      }
      if (conn.buffer.length < length) return;
      const frame = conn.buffer.subarray(0, length);
      conn.buffer = conn.buffer.subarray(length);
      conn.chain = conn.chain.then(() => this.on_frame(conn, Buffer.from(frame)))
          .catch((e) => this.log(`internal error: ${e.stack || e}`));
    }
  }

  async on_frame(conn, frame) {
    if (this.conn !== conn) return;
    const version = (frame[0] >> 2) & 7;
    const type_num = frame.readUInt16BE(0) & 0x3ff;
    const id = frame.readUInt32BE(6);
    if (version !== LLRP_VERSION) {
      this.count(this.received, `version_${version}`);
      if (this.faults.hang) return;
      this.send('ERROR_MESSAGE',
          {LLRPStatus: status('M_UnsupportedVersion', `LLRP version ${version} is not supported`)}, id);
      return;
    }
    let msg;
    try {
      msg = new LLRPMessage(frame).decode();
    } catch (e) {
      this.count(this.received, `type_${type_num}`);
      this.log(`cannot decode message type ${type_num}: ${e.message}`);
      if (this.faults.hang) return;
      const name = message_name(type_num);
      const response = name && response_name(name);
      if (response && response !== 'ERROR_MESSAGE') {
        this.send(response, {LLRPStatus: status('M_ParameterError', `cannot decode: ${e.message}`)}, id);
      } else {
        this.send('ERROR_MESSAGE', {LLRPStatus: status(name ? 'M_ParameterError' :
            'M_UnsupportedMessage', `cannot decode message type ${type_num}: ${e.message}`)}, id);
      }
      return;
    }
    const name = msg.getName();
    this.count(this.received, name);
    this.log(`<- ${name} #${id}`);
    if (this.faults.hang) return;
    const slow = this.faults.slow;
    if (slow && (!slow.message || slow.message === name) && name !== 'KEEPALIVE_ACK') {
      await new Promise((r) => setTimeout(r, slow.ms));
      if (this.conn !== conn) return;
    }
    const fail = this.faults.error_status;
    const response = response_name(name);
    if (fail && fail.message === name) {
      // A message without an answer of its own is refused with ERROR_MESSAGE.
      if (--fail.count <= 0) delete this.faults.error_status;
      this.send(response || 'ERROR_MESSAGE', {LLRPStatus: status(fail.status, fail.description)}, id);
      return;
    }
    const handler = this.handlers[name];
    if (!handler) {
      this.send('ERROR_MESSAGE',
          {LLRPStatus: status('M_UnsupportedMessage', `${name} is not supported`)}, id);
      return;
    }
    try {
      const data = msg.toLLRPData().data || {};
      const answer = handler.call(this, data, msg);
      if (answer && response) this.send(response, answer, id);
    } catch (e) {
      // A fault of the emulator itself: say so on the wire rather than
      // leave the client waiting.
      this.log(`internal error handling ${name}: ${e.stack || e}`);
      this.send('ERROR_MESSAGE', {LLRPStatus: status('R_DeviceError', `emulator: ${e.message}`)}, id);
    }
    if (name === 'CLOSE_CONNECTION') this.drop_connection('closed by the client', true);
  }

  count(table, name) {
    table[name] = (table[name] || 0) + 1;
  }

  send_on(socket, type, data, id) {
    const message_id = id === undefined ? this.next_message_id++ : id;
    const buf = new LLRPMessage({id: message_id, type, data}).encode().getBuffer();
    this.count(this.sent, type);
    this.log(`-> ${type} #${message_id}`);
    socket.write(buf);
  }

  send(type, data, id) {
    if (!this.conn) return;
    if (this.conn.holding && (type === 'RO_ACCESS_REPORT' || type === 'READER_EVENT_NOTIFICATION')) {
      this.conn.held.push([type, data, id]);
      return;
    }
    this.send_on(this.conn.socket, type, data, id);
  }

  send_garbage(conn, what) {
    let frame;
    const header = (type, length, id) => {
      const b = Buffer.alloc(HEADER_BYTES);
      b.writeUInt16BE((LLRP_VERSION << 10) | type, 0);
      b.writeUInt32BE(length, 2);
      b.writeUInt32BE(id, 6);
      return b;
    };
    switch (what) {
      case 'bytes':
        frame = Buffer.from('\xde\xad\xbe\xefgarbage\xff\xfe\x00\x01 not an LLRP message', 'latin1');
        break;
      case 'bad_length':
        frame = header(61, 6, this.next_message_id++);
        break;
      case 'huge_length':
        frame = header(61, 0xfffffff0, this.next_message_id++);
        break;
      case 'bad_version': {
        frame = header(62, HEADER_BYTES, this.next_message_id++);
        frame[0] = (frame[0] & 0xe3) | (7 << 2);
        break;
      }
      case 'truncated_tlv': {
        // A report whose TagReportData claims more bytes than the message holds.
        const body = Buffer.alloc(8);
        body.writeUInt16BE(240, 0);
        body.writeUInt16BE(64, 2);
        body.writeUInt16BE(0x8d30, 4);  // start of an EPC-96 TV parameter
        frame = Buffer.concat([header(61, HEADER_BYTES + body.length, this.next_message_id++), body]);
        break;
      }
    }
    this.count(this.sent, `garbage_${what}`);
    this.log(`-> garbage (${what})`);
    conn.socket.write(frame);
  }

  restart_keepalive() {
    const conn = this.conn;
    if (!conn) return;
    clearInterval(conn.keepalive);
    conn.keepalive = null;
    if (this.config.keepalive_ms > 0) {
      conn.keepalive = setInterval(() => {
        if (this.conn !== conn || this.faults.no_keepalive || this.faults.hang) return;
        this.send('KEEPALIVE', {});
      }, this.config.keepalive_ms);
    }
  }

  // ---- inventory and access --------------------------------------------------

  visible_tags(rospec) {
    const antennas = rospec.antennas;
    return this.tags.filter((t) => t.antenna <= this.antennas &&
        (antennas.includes(0) || antennas.includes(t.antenna)));
  }

  selector_of(rospec) {
    return (rospec.report_spec || this.config.ro_report_spec);
  }

  // One inventory round of every active ROSpec: access operations on the
  // tags they match, then a report of what was seen.
  tick() {
    if (!this.conn || this.faults.hang) return;
    for (const rospec of this.rospecs.values()) {
      if (rospec.state !== 'Active') continue;
      const trigger = this.selector_of(rospec).ROReportTrigger;
      if (this.static_reports && trigger !== 'None' &&
          ![...this.accessspecs.values()].some((a) => a.state === 'Active')) {
        this.send_static_reports(rospec);
        continue;
      }
      const now = now_us();
      // Each round reads every visible tag twice: as the round starts and as
      // it ends. Sightings add up until a report is sent.
      const start = rospec.last_round || now - 1000n;
      rospec.last_round = now;
      let has_access = false;
      const persistent = this.session() >= 2;
      for (const t of this.visible_tags(rospec)) {
        if (persistent && this.inventoried.has(t)) continue;
        if (persistent) this.inventoried.add(t);
        let record = rospec.pending.get(t);
        if (!record) {
          record = {tag: t, epc: t.epc_hex(), first: start, last: now, count: 0, results: [],
            accessspec: null};
          rospec.pending.set(t, record);
        }
        record.last = now;
        record.count += 2;
        this.run_access(rospec, t, record);
        has_access = has_access || record.results.length > 0;
      }
      if (trigger !== 'None' || has_access) this.flush_report(rospec);
    }
  }

  run_access(rospec, t, record) {
    for (const a of [...this.accessspecs.values()]) {
      if (a.state !== 'Active') continue;
      if (a.rospec_id !== 0 && a.rospec_id !== rospec.id) continue;
      if (a.antenna !== 0 && a.antenna !== t.antenna) continue;
      if (!a.targets.every((target) => t.matches(target))) continue;
      record.accessspec = a.id;
      for (const [op_name, op] of a.ops) {
        const result = this.run_op(t, op_name, op);
        record.results.push(result);
        if (result[1].Result !== 'Success') break;
      }
      if (a.operations_left !== Infinity && --a.operations_left <= 0) this.accessspecs.delete(a.id);
      return;  // one AccessSpec per tag and round
    }
  }

  run_op(t, name, op) {
    const password = op.AccessPassword >>> 0;
    switch (name) {
      case 'C1G2Write': {
        const words = hex_to_words(op.WriteData || '');
        const r = t.write(op.MB, op.WordPointer, words, password);
        return ['C1G2WriteOpSpecResult',
          {Result: r.result, OpSpecID: op.OpSpecID, NumWordsWritten: r.words_written}];
      }
      case 'C1G2Read': {
        const r = t.read(op.MB, op.WordPointer, op.WordCount, password);
        return ['C1G2ReadOpSpecResult',
          {Result: r.result, OpSpecID: op.OpSpecID, ReadData: words_to_hex(r.words)}];
      }
      case 'C1G2Lock':
        return ['C1G2LockOpSpecResult',
          {Result: t.lock(as_list(op.C1G2LockPayload), password), OpSpecID: op.OpSpecID}];
    }
    throw new Error(`unsupported OpSpec ${name}`);
  }

  flush_report(rospec) {
    const records = [...rospec.pending.values()];
    rospec.pending = new Map();
    const sel = this.selector_of(rospec).TagReportContentSelector;
    const data = records.map((r) => this.omit_unchanged(this.tag_report_data(rospec, r, sel)));
    this.send('RO_ACCESS_REPORT', {TagReportData: data});
    this.report_sent();
  }

  // The population feed: every round resends the same reports of every tag
  // the ROSpec sees, encoded by llrpjs once per tag (one TagReportData per
  // message, whose body is cut out) and then only framed. A sighting keeps
  // the timestamps and count of its first encoding. The encoding is spread
  // over rounds (STATIC_BUDGET_MS each), reporting the tags done so far; a
  // new population or report content starts it afresh. A report holds at
  // most static_reports tags.
  // With the omit_unchanged fault: leaves out each field that equals the
  // previous TagReportData's on this connection.
  omit_unchanged(d) {
    if (!this.faults.omit_unchanged || !this.conn) return d;
    const last = this.conn.last_fields;
    for (const name of OMITTABLE) {
      if (!(name in d)) continue;
      const value = String(Object.values(d[name])[0]);
      if (last[name] === value) {
        delete d[name];
      } else {
        last[name] = value;
      }
    }
    return d;
  }

  send_static_reports(rospec) {
    const sel = this.selector_of(rospec).TagReportContentSelector;
    const key = JSON.stringify(sel);
    let c = rospec.static_cache;
    if (!c || c.key !== key || c.tags !== this.tags) {
      const now = now_us();
      c = rospec.static_cache = {key, tags: this.tags, visible: this.visible_tags(rospec),
        parts: [], bodies: null, first: now - 1000n, last: now};
    }
    const until = Date.now() + STATIC_BUDGET_MS;
    while (c.parts.length < c.visible.length && Date.now() < until) {
      const t = c.visible[c.parts.length];
      const record = {tag: t, epc: t.epc_hex(), first: c.first, last: c.last, count: 2,
        results: [], accessspec: null};
      const frame = new LLRPMessage({id: 0, type: 'RO_ACCESS_REPORT',
        data: {TagReportData: [this.tag_report_data(rospec, record, sel)]}}).encode().getBuffer();
      c.parts.push(frame.subarray(HEADER_BYTES));
    }
    if (!this.conn || this.conn.holding ||
        this.conn.socket.writableLength > STATIC_BACKLOG_BYTES) return;
    let bodies = c.bodies;
    if (!bodies) {
      bodies = [];
      for (let i = 0; i < c.parts.length; i += this.static_reports) {
        bodies.push(Buffer.concat(c.parts.slice(i, i + this.static_reports)));
      }
      if (c.parts.length === c.visible.length) c.bodies = bodies;
    }
    const type = LLRPCoreDef.RO_ACCESS_REPORT.typeNum;
    for (const body of bodies) {
      if (!this.conn) return;
      const header = Buffer.alloc(HEADER_BYTES);
      header.writeUInt16BE((LLRP_VERSION << 10) | type, 0);
      header.writeUInt32BE(HEADER_BYTES + body.length, 2);
      const id = this.next_message_id++;
      header.writeUInt32BE(id, 6);
      this.count(this.sent, 'RO_ACCESS_REPORT');
      this.log(`-> RO_ACCESS_REPORT #${id} (feed)`);
      this.conn.socket.write(header);
      this.conn.socket.write(body);
      this.report_sent();
    }
  }

  // Counts a report down for the drop fault.
  report_sent() {
    const drop = this.faults.drop;
    if (drop && --drop.reports_left <= 0) {
      delete this.faults.drop;
      this.drop_connection('fault: drop after reports', true);
    }
  }

  tag_report_data(rospec, r, sel) {
    const d = {};
    const epc_words = r.epc.length / 4;
    if (epc_words === 6) {
      d.EPC_96 = {EPC: r.epc};
    } else {
      d.EPCData = {EPC: r.epc};
    }
    if (sel.EnableROSpecID) d.ROSpecID = {ROSpecID: rospec.id};
    if (sel.EnableSpecIndex) d.SpecIndex = {SpecIndex: 1};
    if (sel.EnableInventoryParameterSpecID) {
      d.InventoryParameterSpecID = {InventoryParameterSpecID: rospec.inventory_parameter_spec_id};
    }
    if (sel.EnableAntennaID) d.AntennaID = {AntennaID: r.tag.antenna};
    if (sel.EnablePeakRSSI) d.PeakRSSI = {PeakRSSI: r.tag.rssi};
    if (sel.EnableChannelIndex) d.ChannelIndex = {ChannelIndex: 1};
    const uptime = this.clock_mode() === 'uptime';
    if (sel.EnableFirstSeenTimestamp) {
      if (uptime) {
        d.FirstSeenTimestampUptime = {Microseconds: this.uptime_us(r.first)};
      } else {
        d.FirstSeenTimestampUTC = {Microseconds: this.utc_us(r.first)};
      }
    }
    if (sel.EnableLastSeenTimestamp) {
      if (uptime) {
        d.LastSeenTimestampUptime = {Microseconds: this.uptime_us(r.last)};
      } else {
        d.LastSeenTimestampUTC = {Microseconds: this.utc_us(r.last)};
      }
    }
    if (sel.EnableTagSeenCount) d.TagSeenCount = {TagCount: r.count};
    if (r.accessspec !== null && (sel.EnableAccessSpecID || r.results.length)) {
      d.AccessSpecID = {AccessSpecID: r.accessspec};
    }
    for (const [name, result] of r.results) {
      if (!d[name]) d[name] = [];
      d[name].push(result);
    }
    return d;
  }
}

module.exports = {emulator, default_config, status, as_list};
// The message handlers extend the class; loaded last, as they use the exports above.
require('./handlers');
