'use strict';
// Each fault the control interface switches on is seen by an LLRP client,
// and "none" brings the normal reader back. One emulator serves every case.

const {spawnSync} = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const test = require('node:test');
const assert = require('node:assert/strict');
const {LLRPMessage} = require('llrpjs');
const h = require('./harness');
const {llrp_client, rospec, status_of, attempt_status, sleep, EPC96} = h;

async function open(r) {
  const c = llrp_client.connect(r.port);
  assert.equal(attempt_status(await c.take_type('READER_EVENT_NOTIFICATION')), 'Success');
  return c;
}

// The first frame's bytes after the connection event.
async function frame_after_event(r) {
  const c = await open(r);
  const at = c.raw.readUInt32BE(2);
  await h.until(() => c.raw.length >= at + 10, 'a frame');
  await h.disconnect(r, c);
  return c.raw.subarray(at);
}

function refused_with(status) {
  return async (r) => {
    const c = llrp_client.connect(r.port);
    assert.equal(attempt_status(await c.take_type('READER_EVENT_NOTIFICATION')), status);
    await c.closed_by_peer();
  };
}

// fault: the command's parameters (none: the reader as it is); observe(r)
// checks what a client sees.
const CASES = [
  {name: 'a second client', async observe(r) {
    const first = await open(r);
    await refused_with('Failed_A_Client_Initiated_Connection_Already_Exists')(r);
    assert.equal(status_of(await first.transact('DELETE_ROSPEC', {ROSpecID: 0})), 'M_Success');
    await h.disconnect(r, first);
  }},
  {fault: {kind: 'refuse'}, async observe(r) {
    const c = llrp_client.connect(r.port);
    await c.closed_by_peer();
    assert.equal(c.raw.length, 0, 'closed without a word');
  }},
  {fault: {kind: 'refuse', mode: 'event'},
    observe: refused_with('Failed_Reason_Other_Than_A_Connection_Already_Exists')},
  {fault: {kind: 'busy'},
    observe: refused_with('Failed_A_Client_Initiated_Connection_Already_Exists')},
  {name: 'drop now', async observe(r) {
    const c = await open(r);
    assert.deepEqual(await r.command({cmd: 'fault', kind: 'drop'}), {ok: true});
    await c.closed_by_peer();
  }},
  {fault: {kind: 'drop', after_reports: 2}, async observe(r) {
    const c = await open(r);
    await h.start_inventory(c);
    await c.closed_by_peer();
    assert.equal(c.inbox.filter((m) => m.type === 'RO_ACCESS_REPORT').length, 2);
  }},
  {fault: {kind: 'error_status', message: 'ADD_ROSPEC', status: 'R_DeviceError', count: 1},
    async observe(r) {
      const c = await open(r);
      assert.equal(status_of(await c.transact('ADD_ROSPEC', rospec(3))), 'R_DeviceError');
      assert.deepEqual((await r.command({cmd: 'state'})).rospecs, [], 'nothing added');
      assert.equal(status_of(await c.transact('ADD_ROSPEC', rospec(3))), 'M_Success', 'once');
      await h.disconnect(r, c);
    }},
  {fault: {kind: 'slow', ms: 1000, message: 'ENABLE_ROSPEC'}, async observe(r) {
    const c = await open(r);
    const timed = async (type, data) => {
      const start = Date.now();
      assert.equal(status_of(await c.transact(type, data)), 'M_Success');
      return Date.now() - start;
    };
    assert.ok(await timed('ADD_ROSPEC', rospec(4)) < 1000, 'other messages at full speed');
    assert.ok(await timed('ENABLE_ROSPEC', {ROSpecID: 4}) >= 995, 'the chosen message late');
    await h.disconnect(r, c);
  }},
  {fault: {kind: 'garbage', what: 'bad_length'},
    observe: async (r) => assert.ok((await frame_after_event(r)).readUInt32BE(2) < 10)},
  {fault: {kind: 'garbage', what: 'huge_length'},
    observe: async (r) => assert.ok((await frame_after_event(r)).readUInt32BE(2) > 0x10000000)},
  {fault: {kind: 'garbage', what: 'bad_version'},
    observe: async (r) => assert.equal(((await frame_after_event(r))[0] >> 2) & 7, 7)},
  {fault: {kind: 'garbage'},
    observe: async (r) => assert.notEqual(((await frame_after_event(r))[0] >> 2) & 7, 1)},
  {fault: {kind: 'garbage', what: 'truncated_tlv'}, async observe(r) {
    const b = await frame_after_event(r);
    // The frame is whole, but what it holds cannot be decoded.
    assert.equal(b.readUInt32BE(2), b.length);
    assert.throws(() => new LLRPMessage(Buffer.from(b)).decode());
  }},
  {fault: {kind: 'no_keepalive'}, async observe(r) {
    const c = await open(r);
    await c.transact('SET_READER_CONFIG', {ResetToFactoryDefault: false,
      KeepaliveSpec: {KeepaliveTriggerType: 'Periodic', PeriodicTriggerValue: 20}});
    await sleep(200);
    assert.ok(!c.inbox.some((m) => m.type === 'KEEPALIVE'));
    assert.deepEqual(await r.command({cmd: 'fault', kind: 'none'}), {ok: true});
    await c.take_type('KEEPALIVE');
    await h.disconnect(r, c);
  }},
  {fault: {kind: 'hang'}, async observe(r) {
    const c = await open(r);
    const received = async () => (await r.command({cmd: 'state'})).messages.DELETE_ROSPEC || 0;
    const before = await received();
    c.send('DELETE_ROSPEC', {ROSpecID: 0});
    await sleep(200);
    assert.equal(c.inbox.length, 0, 'no answer');
    assert.equal(await received(), before + 1, 'but received');
    await h.disconnect(r, c);
  }},
  {fault: {kind: 'hold_reports'}, async observe(r) {
    const c = await open(r);
    await h.start_inventory(c);
    await sleep(300);
    assert.equal(c.inbox.filter((m) => m.type === 'RO_ACCESS_REPORT').length, 0, 'held');
    c.send('ENABLE_EVENTS_AND_REPORTS');
    await c.take_type('RO_ACCESS_REPORT');
    await h.disconnect(r, c);
  }},
  {fault: {kind: 'error_status', message: 'ENABLE_EVENTS_AND_REPORTS', status: 'M_UnsupportedMessage'},
    async observe(r) {
      const c = await open(r);
      assert.equal(status_of(await c.transact('ENABLE_EVENTS_AND_REPORTS', {})),
          'M_UnsupportedMessage');
      await h.disconnect(r, c);
    }},
  {fault: {kind: 'sticky_session'}, async observe(r) {
    // Session 2: a tag answers once; session 1 asked for: every round.
    for (const [config, reports] of [[{}, 1], [{AntennaConfiguration: {AntennaID: 0,
      C1G2InventoryCommand: {TagInventoryStateAware: 0,
        C1G2SingulationControl: {Session: 1, TagPopulation: 1, TagTransitTime: 0}}}}, 3]]) {
      assert.deepEqual(await r.command({cmd: 'tags', tags: [{epc: EPC96}]}), {ok: true});
      const c = await open(r);
      assert.equal(status_of(await c.transact('SET_READER_CONFIG',
          {ResetToFactoryDefault: true, ...config})), 'M_Success');
      await h.start_inventory(c);
      await sleep(500);
      const seen = c.inbox.filter((m) => m.type === 'RO_ACCESS_REPORT').flatMap(h.tag_reports);
      assert.ok(seen.length >= reports && (reports > 1 || seen.length === 1), `${seen.length}`);
      await h.disconnect(r, c);
    }
  }},
  {fault: {kind: 'leftover_specs'}, async observe(r) {
    const c = await open(r);
    assert.equal(status_of(await c.transact('SET_READER_CONFIG', {ResetToFactoryDefault: true})),
        'M_Success');
    const state = await r.command({cmd: 'state'});
    assert.deepEqual(state.rospecs, [{id: 7001, state: 'Inactive'}], 'kept across the reset');
    assert.equal(state.accessspecs[0].state, 'Active');
    assert.equal(status_of(await c.transact('ADD_ROSPEC', rospec(3))), 'M_FieldError', 'one only');
    await h.disconnect(r, c);
  }},
  ...[['uptime', 'FirstSeenTimestampUptime', 900e6, 2000e6],
    ['y2000', 'FirstSeenTimestampUTC', 946684800e6, 946771200e6]].map(([mode, field, lo, hi]) => ({
    fault: {kind: 'clock', mode}, async observe(r) {
      const c = await open(r);
      await h.start_inventory(c);
      // llrpjs shows UTC stamps as ISO text, uptime as a number.
      const value = h.tag_reports(await c.take_type('RO_ACCESS_REPORT'))[0][field].Microseconds;
      const stamp = typeof value === 'string' ? Date.parse(value) * 1000 : Number(value);
      assert.ok(stamp > lo && stamp < hi, `${mode}: ${stamp}`);
      await h.disconnect(r, c);
    }})),
  {fault: {kind: 'omit_unchanged'}, async observe(r) {
    assert.deepEqual(await r.command({cmd: 'tags', tags: [{epc: EPC96}, {epc: h.NEW_EPC96}]}),
        {ok: true});
    const c = await open(r);
    await h.start_inventory(c);
    const [first, second] = h.tag_reports(await c.take_type('RO_ACCESS_REPORT'));
    assert.ok(first.AntennaID && first.PeakRSSI, 'the first report has every field');
    assert.ok(!second.AntennaID && !second.PeakRSSI && !second.FirstSeenTimestampUTC,
        'the same values left out');
    await h.disconnect(r, c);
  }},
  {fault: {kind: 'keepalive_period', ms: 700}, async observe(r) {
    const c = await open(r);
    await c.transact('SET_READER_CONFIG', {ResetToFactoryDefault: false,
      KeepaliveSpec: {KeepaliveTriggerType: 'Periodic', PeriodicTriggerValue: 20}});
    const config = await c.transact('GET_READER_CONFIG',
        {AntennaID: 0, RequestedData: 'KeepaliveSpec', GPIPortNum: 0, GPOPortNum: 0});
    assert.equal(config.data.KeepaliveSpec.PeriodicTriggerValue, 700);
    await h.disconnect(r, c);
  }},
  {name: 'llrp_off', async observe(r) {
    const before = (await r.command({cmd: 'state'})).connections;
    assert.deepEqual(await r.command({cmd: 'fault', kind: 'llrp_off'}), {ok: true});
    const c = llrp_client.connect(r.port);
    await c.closed_by_peer();
    assert.equal(c.raw.length, 0, 'refused');
    assert.equal((await r.command({cmd: 'state'})).connections, before, 'never accepted');
  }},
];

test('every fault is seen by a client and "none" restores the reader', async () => {
  const r = await h.reader_process.start();
  assert.deepEqual(await r.command({cmd: 'tags', tags: [{epc: EPC96}]}), {ok: true});
  for (const k of CASES) {
    const name = k.name || JSON.stringify(k.fault);
    if (k.fault) assert.deepEqual(await r.command({cmd: 'fault', ...k.fault}), {ok: true}, name);
    await k.observe(r);
    assert.deepEqual(await r.command({cmd: 'fault', kind: 'none'}), {ok: true});
    // A working connection shows the reader is back; the reset readies the next case.
    const c = await open(r);
    const reset = await c.transact('SET_READER_CONFIG', {ResetToFactoryDefault: true});
    assert.equal(status_of(reset), 'M_Success', `reader back after ${name}`);
    await h.disconnect(r, c);
  }
  assert.equal(await r.stop(), 0);
});

test('the control interface refuses what it cannot do and names it', async () => {
  const file = path.join(os.tmpdir(), `emulator-tags-${process.pid}.json`);
  fs.writeFileSync(file, JSON.stringify({tags: [{epc: EPC96, antenna: 2}]}));
  const r = await h.reader_process.start(['--tags', file]);
  fs.unlinkSync(file);
  const cases = [
    ['{"cmd":"fault","kind":"melt"}', /unknown fault kind/],
    ['{"cmd":"fault","kind":"slow"}', /"ms"/],
    ['{"cmd":"fault","kind":"error_status","message":"KEEPALIVE_ACK"}', /has an answer/],
    ['{"cmd":"fault","kind":"error_status","message":"ADD_ROSPEC","status":"Oops"}', /M_Success/],
    ['{"cmd":"tags","tags":[{"epc":"30742"}]}', /16-bit words/],
    ['{"cmd":"tags","tags":[{"epc":"3074","access_password":"xyz"}]}', /access_password/],
    ['{"cmd":"launch"}', /unknown command/],
    ['not json', /not JSON/],
  ];
  for (const [line, error] of cases) {
    r.child.stdin.write(line + '\n');
    const answer = JSON.parse(await r.next_line());
    assert.equal(answer.ok, false, line);
    assert.match(answer.error, error);
  }
  const tags = (await r.command({cmd: 'state'})).tags;
  assert.deepEqual(tags.map((t) => [t.epc, t.antenna]), [[EPC96, 2]], 'the file\'s population');
  assert.deepEqual(await r.command({cmd: 'quit'}), {ok: true});
  await h.until(() => r.code !== undefined, 'exit');
  assert.equal(r.code, 0);
});

test('bad options end the emulator with 2 and say why', () => {
  for (const args of [['--port', 'x'], ['--antennas', '0'], ['--x'], ['--tags', '/nonexistent']]) {
    const run = spawnSync(process.execPath, [path.join(__dirname, '..', 'reader.js'), ...args],
        {input: '', encoding: 'utf8', timeout: 10000});
    assert.equal(run.status, 2, args.join(' '));
    assert.equal(run.stdout, '', 'no port printed');
    assert.match(run.stderr, /reader\.js: .+/);
  }
});
