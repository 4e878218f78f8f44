'use strict';
// Test helpers: start the emulator as its users do (a child process driven
// over standard input) and talk LLRP to it from a plain socket, encoding and
// decoding with llrpjs and framing by the header's length.

const {spawn} = require('child_process');
const net = require('net');
const path = require('path');
const readline = require('readline');
const assert = require('node:assert/strict');
const {LLRPMessage} = require('llrpjs');

const {after} = require('node:test');

// Emulators still running when a test file ends (a test failed before
// stopping its own) are killed, so the test process can end.
const live = new Set();
after(() => {
  for (const r of live) r.child.kill();
});

const READER = path.join(__dirname, '..', 'reader.js');
const WAIT_MS = 5000;

// Rejects after ms unless the promise settles first.
function within(promise, ms, what) {
  let timer;
  return Promise.race([
    promise,
    new Promise((_, reject) => {
      timer = setTimeout(() => reject(new Error(`timed out waiting for ${what}`)), ms);
    }),
  ]).finally(() => clearTimeout(timer));
}

class reader_process {
  static async start(args = []) {
    const r = new reader_process();
    r.child = spawn(process.execPath, [READER, '--report-ms', '30', ...args],
        {stdio: ['pipe', 'pipe', 'inherit']});
    r.lines = [];
    r.waiters = [];
    live.add(r);
    r.exited = new Promise((resolve) => r.child.on('exit', (code) => {
      live.delete(r);
      resolve(code);
    }));
    readline.createInterface({input: r.child.stdout}).on('line', (line) => {
      const w = r.waiters.shift();
      if (w) w(line); else r.lines.push(line);
    });
    r.port = Number(await r.next_line());
    return r;
  }

  next_line() {
    if (this.lines.length) return Promise.resolve(this.lines.shift());
    return within(new Promise((resolve) => this.waiters.push(resolve)), WAIT_MS, 'emulator output');
  }

  async command(cmd) {
    this.child.stdin.write(JSON.stringify(cmd) + '\n');
    return JSON.parse(await this.next_line());
  }

  async stop() {
    this.child.stdin.end();
    return within(this.exited, WAIT_MS, 'emulator exit');
  }
}

// One LLRP connection. Every message received is queued; responses are
// matched by message id, other messages taken by type.
class llrp_client {
  static connect(port) {
    const c = new llrp_client();
    c.socket = net.connect(port, '127.0.0.1');
    c.buffer = Buffer.alloc(0);
    c.raw = Buffer.alloc(0);  // every byte received
    c.inbox = [];
    c.waiters = [];
    c.closed = false;
    c.next_id = 1000;
    c.socket.on('data', (d) => c.on_data(d));
    c.socket.on('error', () => {});
    c.socket.on('close', () => {
      c.closed = true;
      c.wake();
    });
    return c;
  }

  on_data(data) {
    this.raw = Buffer.concat([this.raw, data]);
    this.buffer = Buffer.concat([this.buffer, data]);
    while (this.buffer.length >= 10) {
      const length = this.buffer.readUInt32BE(2);
      if (length < 10) {
        this.inbox.push({malformed: true, bytes: this.buffer});
        this.buffer = Buffer.alloc(0);
        break;
      }
      if (this.buffer.length < length) break;
      const frame = Buffer.from(this.buffer.subarray(0, length));
      this.buffer = this.buffer.subarray(length);
      try {
        const m = new LLRPMessage(frame).decode().toLLRPData();
        this.inbox.push(m);
      } catch (e) {
        this.inbox.push({malformed: true, bytes: frame, error: e.message});
      }
    }
    this.wake();
  }

  wake() {
    const waiters = this.waiters;
    this.waiters = [];
    for (const w of waiters) w();
  }

  // The first queued message that satisfies pred, waiting for it if needed.
  async take(pred, what, ms = WAIT_MS) {
    const deadline = Date.now() + ms;
    for (;;) {
      const i = this.inbox.findIndex(pred);
      if (i >= 0) return this.inbox.splice(i, 1)[0];
      if (this.closed) throw new Error(`connection closed while waiting for ${what}`);
      const left = deadline - Date.now();
      if (left <= 0) throw new Error(`timed out waiting for ${what}`);
      await within(new Promise((resolve) => this.waiters.push(resolve)), left, what)
          .catch(() => {});
    }
  }

  take_type(type, ms) {
    return this.take((m) => m.type === type, type, ms);
  }

  send(type, data = {}) {
    const id = this.next_id++;
    this.socket.write(new LLRPMessage({id, type, data}).encode().getBuffer());
    return id;
  }

  async transact(type, data) {
    const id = this.send(type, data);
    return this.take((m) => m.id === id && !m.malformed, `answer to ${type}`);
  }

  // Waits until the peer closes the connection.
  async closed_by_peer(ms = WAIT_MS) {
    const deadline = Date.now() + ms;
    while (!this.closed) {
      if (Date.now() > deadline) throw new Error('connection still open');
      await within(new Promise((resolve) => this.waiters.push(resolve)), deadline - Date.now(),
          'close').catch(() => {});
    }
  }

  end() {
    this.socket.destroy();
  }
}

// ---- shared steps of the tests ----

const EPC96 = '3074257BF7194E4000001A85';
const EPC128 = 'E2801170000002011234567890ABCDEF';
const NEW_EPC96 = '3074257BF7194E4000001A86';

const ALL_CONTENT = {
  EnableROSpecID: 1, EnableSpecIndex: 0, EnableInventoryParameterSpecID: 0,
  EnableAntennaID: 1, EnableChannelIndex: 0, EnablePeakRSSI: 1,
  EnableFirstSeenTimestamp: 1, EnableLastSeenTimestamp: 1, EnableTagSeenCount: 1,
  EnableAccessSpecID: 0,
};

function rospec(id, content = ALL_CONTENT, antennas = [0]) {
  return {
    ROSpec: {
      ROSpecID: id, Priority: 0, CurrentState: 'Disabled',
      ROBoundarySpec: {
        ROSpecStartTrigger: {ROSpecStartTriggerType: 'Null'},
        ROSpecStopTrigger: {ROSpecStopTriggerType: 'Null', DurationTriggerValue: 0},
      },
      AISpec: {
        AntennaIDs: antennas,
        AISpecStopTrigger: {AISpecStopTriggerType: 'Null', DurationTrigger: 0},
        InventoryParameterSpec: {InventoryParameterSpecID: 1, ProtocolID: 'EPCGlobalClass1Gen2'},
      },
      ROReportSpec: {
        ROReportTrigger: 'Upon_N_Tags_Or_End_Of_ROSpec', N: 0,
        TagReportContentSelector: content,
      },
    },
  };
}

function status_of(m) {
  return m.data.LLRPStatus.StatusCode;
}

// Starts an emulator with these tags, connects and checks the connection event.
async function connected(tags = [], args = []) {
  const r = await reader_process.start(args);
  assert.deepEqual(await r.command({cmd: 'tags', tags}), {ok: true});
  const c = llrp_client.connect(r.port);
  const event = await c.take_type('READER_EVENT_NOTIFICATION');
  assert.equal(event.data.ReaderEventNotificationData.ConnectionAttemptEvent.Status, 'Success');
  return {r, c};
}

async function start_inventory(c, id = 1, content = ALL_CONTENT) {
  for (const [type, data] of [['ADD_ROSPEC', rospec(id, content)],
    ['ENABLE_ROSPEC', {ROSpecID: id}], ['START_ROSPEC', {ROSpecID: id}]]) {
    assert.equal(status_of(await c.transact(type, data)), 'M_Success', type);
  }
}

function tag_reports(m) {
  const t = m.data.TagReportData;
  return t === undefined ? [] : Array.isArray(t) ? t : [t];
}

function epc_of(trd) {
  return (trd.EPC_96 || trd.EPCData).EPC;
}

async function finish(r, c) {
  c.end();
  assert.equal(await r.stop(), 0, 'the emulator exits with 0 when standard input closes');
}

module.exports = {reader_process, llrp_client, within, rospec, connected, start_inventory,
  tag_reports, epc_of, status_of, finish, ALL_CONTENT, EPC96, EPC128, NEW_EPC96};

