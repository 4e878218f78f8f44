'use strict';
// Each fault the control interface switches on is seen by an LLRP client,
// and "none" brings the normal reader back. One emulator serves every case.

const test = require('node:test');
const assert = require('node:assert/strict');
const {LLRPMessage} = require('llrpjs');
const {reader_process, llrp_client, rospec, start_inventory, tag_reports, status_of, EPC96} =
    require('./harness');

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

function attempt_status(m) {
  return m.data.ReaderEventNotificationData.ConnectionAttemptEvent.Status;
}

// Connects and takes the connection event (which must be Success).
async function open(r) {
  const c = llrp_client.connect(r.port);
  assert.equal(attempt_status(await c.take_type('READER_EVENT_NOTIFICATION')), 'Success');
  return c;
}

// Ends a connection and waits until the emulator has seen it go.
async function close(r, c) {
  c.end();
  for (let i = 0; i < 100 && (await r.command({cmd: 'state'})).connected; i++) await sleep(10);
}

// The bytes that followed the connection event.
async function bytes_after_event(c, at_least) {
  assert.equal(attempt_status(await c.take_type('READER_EVENT_NOTIFICATION')), 'Success');
  const event_length = c.raw.readUInt32BE(2);
  for (let i = 0; i < 100 && c.raw.length < event_length + at_least; i++) await sleep(10);
  return c.raw.subarray(event_length);
}

function refused_with(status) {
  return async (r) => {
    const c = llrp_client.connect(r.port);
    assert.equal(attempt_status(await c.take_type('READER_EVENT_NOTIFICATION')), status);
    await c.closed_by_peer();
  };
}

const CASES = [
  {fault: {kind: 'refuse'}, async observe(r) {
    const before = (await r.command({cmd: 'state'})).connections;
    const c = llrp_client.connect(r.port);
    await c.closed_by_peer();
    assert.equal(c.raw.length, 0, 'closed without a word');
    assert.equal((await r.command({cmd: 'state'})).connections, before + 1);
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
  {name: 'drop after reports', async observe(r) {
    assert.deepEqual(await r.command({cmd: 'fault', kind: 'drop', after_reports: 2}), {ok: true});
    const c = await open(r);
    await start_inventory(c);
    await c.closed_by_peer();
    const reports = c.inbox.filter((m) => m.type === 'RO_ACCESS_REPORT').length;
    assert.equal(reports, 2, 'reports before the drop');
    assert.equal(tag_reports(c.inbox.find((m) => m.type === 'RO_ACCESS_REPORT')).length, 1);
  }},
  {fault: {kind: 'error_status', message: 'ADD_ROSPEC', status: 'R_DeviceError', count: 1},
    async observe(r) {
      const c = await open(r);
      const refused = await c.transact('ADD_ROSPEC', rospec(3));
      assert.equal(status_of(refused), 'R_DeviceError');
      assert.deepEqual((await r.command({cmd: 'state'})).rospecs, [], 'nothing added');
      assert.equal(status_of(await c.transact('ADD_ROSPEC', rospec(3))), 'M_Success', 'once');
      await close(r, c);
    }},
  {fault: {kind: 'slow', ms: 300, message: 'ENABLE_ROSPEC'}, async observe(r) {
    const c = await open(r);
    const timed = async (type, data) => {
      const start = Date.now();
      assert.equal(status_of(await c.transact(type, data)), 'M_Success');
      return Date.now() - start;
    };
    assert.ok(await timed('ADD_ROSPEC', rospec(4)) < 300, 'other messages at full speed');
    assert.ok(await timed('ENABLE_ROSPEC', {ROSpecID: 4}) >= 290, 'the chosen message late');
    await close(r, c);
  }},
  {fault: {kind: 'garbage', what: 'bad_length'}, async observe(r) {
    const c = llrp_client.connect(r.port);
    const b = await bytes_after_event(c, 10);
    assert.ok(b.length >= 6 && b.readUInt32BE(2) < 10, 'a length below the header');
    await close(r, c);
  }},
  {fault: {kind: 'garbage', what: 'huge_length'}, async observe(r) {
    const c = llrp_client.connect(r.port);
    const b = await bytes_after_event(c, 10);
    assert.ok(b.readUInt32BE(2) > 0x10000000);
    await close(r, c);
  }},
  {fault: {kind: 'garbage', what: 'bad_version'}, async observe(r) {
    const c = llrp_client.connect(r.port);
    const b = await bytes_after_event(c, 10);
    assert.equal((b[0] >> 2) & 7, 7);
    await close(r, c);
  }},
  {fault: {kind: 'garbage', what: 'truncated_tlv'}, async observe(r) {
    const c = llrp_client.connect(r.port);
    const b = await bytes_after_event(c, 10);
    // The frame itself is whole, but llrpjs cannot decode what it holds.
    assert.equal(b.readUInt32BE(2), b.length);
    assert.throws(() => new LLRPMessage(Buffer.from(b)).decode());
    await close(r, c);
  }},
  {fault: {kind: 'garbage'}, async observe(r) {
    const c = llrp_client.connect(r.port);
    const b = await bytes_after_event(c, 10);
    assert.notEqual((b[0] >> 2) & 7, 1, 'not even an LLRP 1 header');
    await close(r, c);
  }},
  {fault: {kind: 'no_keepalive'}, async observe(r) {
    const c = await open(r);
    const set = await c.transact('SET_READER_CONFIG', {ResetToFactoryDefault: false,
      KeepaliveSpec: {KeepaliveTriggerType: 'Periodic', PeriodicTriggerValue: 20}});
    assert.equal(status_of(set), 'M_Success');
    await sleep(200);
    assert.equal(c.inbox.filter((m) => m.type === 'KEEPALIVE').length, 0);
    assert.deepEqual(await r.command({cmd: 'fault', kind: 'none'}), {ok: true});
    await c.take_type('KEEPALIVE');
    await close(r, c);
  }},
  {fault: {kind: 'hang'}, async observe(r) {
    const c = await open(r);
    const id = c.send('DELETE_ROSPEC', {ROSpecID: 0});
    await sleep(200);
    assert.equal(c.inbox.length, 0, 'no answer');
    assert.equal((await r.command({cmd: 'state'})).messages.DELETE_ROSPEC, 1, 'but received');
    assert.deepEqual(await r.command({cmd: 'fault', kind: 'none'}), {ok: true});
    // The reader answers again (new requests; the one it swallowed stays lost).
    assert.equal(status_of(await c.transact('DELETE_ROSPEC', {ROSpecID: 0})), 'M_Success');
    assert.ok(!c.inbox.some((m) => m.id === id));
    await close(r, c);
  }},
];

test('every fault is seen by a client and "none" restores the reader', async () => {
  const r = await reader_process.start();
  assert.deepEqual(await r.command({cmd: 'tags', tags: [{epc: EPC96}]}), {ok: true});
  for (const k of CASES) {
    const name = k.name || JSON.stringify(k.fault);
    if (k.fault) assert.deepEqual(await r.command({cmd: 'fault', ...k.fault}), {ok: true}, name);
    await k.observe(r);
    assert.deepEqual(await r.command({cmd: 'fault', kind: 'none'}), {ok: true});
    assert.deepEqual(await r.command({cmd: 'state'}).then((s) => s.faults), []);
    // Reset between cases; a working connection shows the reader is back.
    const c = await open(r);
    const reset = await c.transact('SET_READER_CONFIG', {ResetToFactoryDefault: true});
    assert.equal(status_of(reset), 'M_Success', `reader back after ${name}`);
    await close(r, c);
  }
  assert.equal(await r.stop(), 0);
});

test('the control interface refuses what it cannot do and names it', async () => {
  const r = await reader_process.start();
  const cases = [
    [{cmd: 'fault', kind: 'melt'}, /unknown fault kind/],
    [{cmd: 'fault', kind: 'slow'}, /"ms"/],
    [{cmd: 'fault', kind: 'garbage', what: 'noise'}, /"what"/],
    [{cmd: 'fault', kind: 'error_status'}, /"message"/],
    [{cmd: 'tags', tags: [{epc: '30742'}]}, /16-bit words/],
    [{cmd: 'tags', tags: [{epc: EPC96, access_password: 'xyz'}]}, /access_password/],
    [{cmd: 'tags', tags: [{epc: EPC96, fault: 'melted'}]}, /"fault"/],
    [{cmd: 'tags'}, /list/],
    [{cmd: 'launch'}, /unknown command/],
  ];
  for (const [cmd, error] of cases) {
    const answer = await r.command(cmd);
    assert.equal(answer.ok, false, JSON.stringify(cmd));
    assert.match(answer.error, error);
  }
  // A line that is not JSON gets an answer too, and the population is unchanged.
  r.child.stdin.write('not json\n');
  assert.equal(JSON.parse(await r.next_line()).ok, false);
  assert.deepEqual((await r.command({cmd: 'state'})).tags, []);
  assert.deepEqual(await r.command({cmd: 'quit'}), {ok: true});
  assert.equal(await r.exited, 0);
});
