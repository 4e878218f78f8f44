'use strict';
// Test helpers: start the emulator as its users do (a child process driven
// over standard input) and talk LLRP to it from a plain socket, encoding and
// decoding with llrpjs and framing by the header's length.

const {spawn} = require('child_process');
const net = require('net');
const path = require('path');
const readline = require('readline');
const assert = require('node:assert/strict');
const {after} = require('node:test');
const {LLRPMessage} = require('llrpjs');

// Generous: the test machines are shared and often loaded.
const WAIT_MS = 10000;
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// The value of get() once it is truthy; throws after WAIT_MS.
async function until(get, what) {
  const deadline = Date.now() + WAIT_MS;
  for (;;) {
    const v = await get();
    if (v) return v;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await sleep(5);
  }
}

// Emulators a failed test left running are stopped, so the file can end.
const live = new Set();
after(async () => {
  for (const r of [...live]) await r.stop().catch(() => r.child.kill());
});

class reader_process {
  static async start(args = []) {
    const r = new reader_process();
    r.child = spawn(process.execPath,
        [path.join(__dirname, '..', 'reader.js'), '--report-ms', '30', ...args],
        {stdio: ['pipe', 'pipe', 'inherit']});
    r.lines = [];
    live.add(r);
    r.code = undefined;
    r.child.on('exit', (code) => {
      live.delete(r);
      r.code = code;
    });
    readline.createInterface({input: r.child.stdout}).on('line', (line) => r.lines.push(line));
    r.port = Number(await r.next_line());
    return r;
  }

  next_line() {
    return until(() => this.lines.shift(), 'emulator output');
  }

  async command(cmd) {
    this.child.stdin.write(JSON.stringify(cmd) + '\n');
    return JSON.parse(await this.next_line());
  }

  // Closes standard input and returns the exit code.
  async stop() {
    this.child.stdin.end();
    await until(() => this.code !== undefined, 'emulator exit');
    return this.code;
  }
}

// One LLRP connection. Messages received are queued (undecodable frames as
// {malformed}); answers are found by message id, other messages by type.
class llrp_client {
  static connect(port) {
    const c = Object.assign(new llrp_client(), {
      socket: net.connect(port, '127.0.0.1'), buffer: Buffer.alloc(0),
      raw: Buffer.alloc(0), inbox: [], closed: false, next_id: 1000,
    });
    c.socket.on('data', (d) => c.on_data(d));
    c.socket.on('error', () => {});
    c.socket.on('close', () => c.closed = true);
    return c;
  }

  on_data(data) {
    this.raw = Buffer.concat([this.raw, data]);  // every byte, for the garbage tests
    this.buffer = Buffer.concat([this.buffer, data]);
    while (this.buffer.length >= 10) {
      const length = Math.max(this.buffer.readUInt32BE(2), 10);
      if (this.buffer.length < length) break;
      const frame = Buffer.from(this.buffer.subarray(0, length));
      this.buffer = this.buffer.subarray(length);
      try {
        this.inbox.push(new LLRPMessage(frame).decode().toLLRPData());
      } catch (e) {
        this.inbox.push({malformed: true, error: e.message});
      }
    }
  }

  // The first queued message that satisfies pred, waiting for it if needed.
  take(pred, what) {
    return until(() => {
      const i = this.inbox.findIndex(pred);
      if (i >= 0) return this.inbox.splice(i, 1)[0];
      if (this.closed) throw new Error(`connection closed while waiting for ${what}`);
      return null;
    }, what);
  }

  take_type(type) {
    return this.take((m) => m.type === type, type);
  }

  send(type, data = {}) {
    const id = this.next_id++;
    this.socket.write(new LLRPMessage({id, type, data}).encode().getBuffer());
    return id;
  }

  transact(type, data) {
    const id = this.send(type, data);
    return this.take((m) => m.id === id, `answer to ${type}`);
  }

  closed_by_peer() {
    return until(() => this.closed, 'the reader to close the connection');
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

function rospec(id, content = ALL_CONTENT, antennas = [0], start = 'Null', stop = 'Null',
    duration = 0) {
  return {
    ROSpec: {
      ROSpecID: id, Priority: 0, CurrentState: 'Disabled',
      ROBoundarySpec: {
        ROSpecStartTrigger: {ROSpecStartTriggerType: start},
        ROSpecStopTrigger: {ROSpecStopTriggerType: stop, DurationTriggerValue: duration},
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

function attempt_status(m) {
  return m.data.ReaderEventNotificationData.ConnectionAttemptEvent.Status;
}

// Connects to an emulator with these tags and checks the connection event.
// A shared emulator (one several tests use) is reset to factory defaults
// first; otherwise a new emulator is started with args.
async function connected(tags = [], args = [], shared = null) {
  // A test that failed may have left its connection to the shared emulator.
  if (shared && shared.client) await disconnect(shared, shared.client);
  const r = shared || await reader_process.start(args);
  assert.deepEqual(await r.command({cmd: 'tags', tags}), {ok: true});
  const c = llrp_client.connect(r.port);
  assert.equal(attempt_status(await c.take_type('READER_EVENT_NOTIFICATION')), 'Success');
  if (shared) {
    const reset = await c.transact('SET_READER_CONFIG', {ResetToFactoryDefault: true});
    assert.equal(status_of(reset), 'M_Success');
    // Reports of an ROSpec the reset deleted came before its answer.
    c.inbox = [];
    shared.client = c;
  }
  return {r, c};
}

// Ends the connection and waits until the emulator has seen it go.
async function disconnect(r, c) {
  c.socket.destroy();
  if (r.client === c) r.client = null;
  await until(async () => !(await r.command({cmd: 'state'})).connected, 'the emulator to notice');
}

// Ends the test's connection, and its emulator unless that is shared.
async function finish(r, c, shared = null) {
  if (r === shared) return disconnect(r, c);
  c.socket.destroy();
  assert.equal(await r.stop(), 0, 'the emulator exits with 0 when standard input closes');
}

async function start_inventory(c, id = 1, content = ALL_CONTENT) {
  for (const [type, data] of [['ADD_ROSPEC', rospec(id, content)],
    ['ENABLE_ROSPEC', {ROSpecID: id}], ['START_ROSPEC', {ROSpecID: id}]]) {
    assert.equal(status_of(await c.transact(type, data)), 'M_Success', type);
  }
}

function tag_reports(m) {
  return [m.data.TagReportData || []].flat();
}

function epc_of(trd) {
  return (trd.EPC_96 || trd.EPCData).EPC;
}

module.exports = {reader_process, llrp_client, until, sleep, rospec, connected, disconnect,
  start_inventory, tag_reports, epc_of, status_of, attempt_status, finish, ALL_CONTENT, EPC96,
  EPC128, NEW_EPC96};
