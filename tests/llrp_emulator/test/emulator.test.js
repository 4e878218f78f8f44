'use strict';
// The emulator as its users meet it: a child process driven over standard
// input, spoken to in LLRP through llrpjs from a plain socket.

const test = require('node:test');
const assert = require('node:assert/strict');
const {LLRPMessage} = require('llrpjs');
const h = require('./harness');
const {rospec, status_of, tag_reports, epc_of, ALL_CONTENT, EPC96, EPC128} = h;

// Most tests share one emulator (starting Node and llrpjs is the slow part);
// each gets it reset to factory defaults with a population of its own.
let shared = null;
test.before(async () => shared = await h.reader_process.start());
const connected = (tags = [], args = []) => h.connected(tags, args, args.length ? null : shared);
const finish = (r, c) => h.finish(r, c, shared);

test('capabilities report the antennas and whether Gen2 is supported', async () => {
  for (const k of [{args: [], antennas: 4, gen2: true},
    {args: ['--antennas', '2', '--no-gen2'], antennas: 2, gen2: false}]) {
    const {r, c} = await connected([], k.args);
    const caps = (await c.transact('GET_READER_CAPABILITIES', {RequestedData: 'All'})).data;
    const general = caps.GeneralDeviceCapabilities;
    assert.equal(general.MaxNumberOfAntennaSupported, k.antennas);
    const protocols = [general.PerAntennaAirProtocol].flat().map((p) => [p.ProtocolID].flat());
    assert.equal(protocols.length, k.antennas);
    assert.equal(protocols.every((p) => p.includes('EPCGlobalClass1Gen2')), k.gen2);
    assert.equal('UHFBandCapabilities' in caps.RegulatoryCapabilities, k.gen2);
    assert.equal('C1G2LLRPCapabilities' in caps, k.gen2);
    // A reader without Gen2 refuses a Gen2 inventory.
    assert.equal(status_of(await c.transact('ADD_ROSPEC', rospec(1))),
        k.gen2 ? 'M_Success' : 'M_FieldError');
    await finish(r, c);
  }
});

test('ROSpec requests follow the ROSpec state and refuse unknown ids', async () => {
  const {r, c} = await connected();
  const steps = [
    ['ADD_ROSPEC', rospec(6, ALL_CONTENT, [0], 'GPI'), 'M_FieldError'],  // no GPIs here
    ['ADD_ROSPEC', rospec(6, ALL_CONTENT, [5]), 'M_FieldError'],  // no antenna 5
    ['START_ROSPEC', {ROSpecID: 7}, 'M_FieldError'],  // unknown
    ['ADD_ROSPEC', rospec(7), 'M_Success'],
    ['ADD_ROSPEC', rospec(7), 'M_FieldError'],  // duplicate id
    ['ADD_ROSPEC', rospec(0), 'M_FieldError'],  // id 0 is reserved
    ['START_ROSPEC', {ROSpecID: 7}, 'M_FieldError'],  // not enabled
    ['ENABLE_ROSPEC', {ROSpecID: 7}, 'M_Success'],
    ['STOP_ROSPEC', {ROSpecID: 7}, 'M_FieldError'],  // not running
    ['START_ROSPEC', {ROSpecID: 7}, 'M_Success'],
    ['STOP_ROSPEC', {ROSpecID: 7}, 'M_Success'],
    ['DELETE_ROSPEC', {ROSpecID: 8}, 'M_FieldError'],
    ['ADD_ROSPEC', rospec(8), 'M_Success'],
    ['DELETE_ROSPEC', {ROSpecID: 0}, 'M_Success'],  // all
    ['DELETE_ROSPEC', {ROSpecID: 7}, 'M_FieldError'],
  ];
  for (const [type, data, expected] of steps) {
    const answer = await c.transact(type, data);
    assert.equal(answer.type, `${type}_RESPONSE`);
    assert.equal(status_of(answer), expected, `${type} ${JSON.stringify(data).slice(0, 60)}`);
  }
  assert.deepEqual((await r.command({cmd: 'state'})).rospecs, []);
  await finish(r, c);
});

test('reports carry each tag its antennas see, with the content asked for', async () => {
  const tags = [{epc: EPC96, antenna: 1, rssi: -52}, {epc: EPC128, antenna: 3, rssi: -70},
    {epc: '30740000000000000000BEEF', antenna: 2}];
  const cases = [
    {content: ALL_CONTENT, fields: ['AntennaID', 'FirstSeenTimestampUTC',
      'LastSeenTimestampUTC', 'PeakRSSI', 'ROSpecID', 'TagSeenCount']},
    {content: {...ALL_CONTENT, EnableROSpecID: 0, EnablePeakRSSI: 0, EnableTagSeenCount: 0,
      EnableFirstSeenTimestamp: 0}, fields: ['AntennaID', 'LastSeenTimestampUTC']},
  ];
  for (const k of cases) {
    const {r, c} = await connected(tags);
    const before = Date.now();
    await c.transact('ADD_ROSPEC', rospec(5, k.content, [1, 3]));
    await c.transact('ENABLE_ROSPEC', {ROSpecID: 5});
    assert.equal(status_of(await c.transact('START_ROSPEC', {ROSpecID: 5})), 'M_Success');
    const report = tag_reports(await c.take_type('RO_ACCESS_REPORT'));
    assert.deepEqual(report.map(epc_of).sort(), [EPC96, EPC128].sort(), 'antennas 1 and 3');
    for (const t of tags.slice(0, 2)) {
      const trd = report.find((x) => epc_of(x) === t.epc);
      // 96-bit EPCs travel as EPC_96, others as EPCData.
      assert.ok(t.epc.length === 24 ? trd.EPC_96 : trd.EPCData, t.epc);
      assert.deepEqual(Object.keys(trd).filter((key) => !key.startsWith('EPC')).sort(), k.fields);
      assert.equal(trd.AntennaID.AntennaID, t.antenna);
      if (trd.PeakRSSI) assert.equal(trd.PeakRSSI.PeakRSSI, t.rssi);
      if (trd.ROSpecID) assert.equal(trd.ROSpecID.ROSpecID, 5);
      const last = Date.parse(trd.LastSeenTimestampUTC.Microseconds);
      assert.ok(last >= before - 5 && last <= Date.now() + 5, 'last seen is now, in UTC');
      if (trd.FirstSeenTimestampUTC) {
        assert.ok(trd.FirstSeenTimestampUTC.Microseconds < trd.LastSeenTimestampUTC.Microseconds);
        assert.ok(trd.TagSeenCount.TagCount >= 1);
      }
    }
    await finish(r, c);
  }
});

test('a schedule changes the field step by step; a bad one is refused whole', async () => {
  const {r, c} = await connected([{epc: EPC96, antenna: 1}]);
  await h.start_inventory(c);
  const seen = async () => tag_reports(await c.take_type('RO_ACCESS_REPORT'))
      .map((trd) => `${epc_of(trd)}@${trd.AntennaID.AntennaID}`).sort().join(' ');
  assert.equal((await r.command({cmd: 'schedule', steps: [{after_ms: 0, tags: []},
    {after_ms: 10, tags: [{epc: 'nothex'}]}]})).ok, false);
  assert.equal(await seen(), `${EPC96}@1`, 'a refused schedule changes nothing');
  assert.equal((await r.command({cmd: 'schedule', steps: [
    {after_ms: 0, tags: [{epc: EPC96, antenna: 2}, {epc: EPC128, antenna: 1}]},
    {after_ms: 1000, tags: [{epc: EPC128, antenna: 1}]}]})).ok, true);
  await h.until(async () => (await seen()) === [`${EPC96}@2`, `${EPC128}@1`].sort().join(' '),
      'the first step');
  assert.equal((await r.command({cmd: 'state'})).schedule_steps, 1);
  await h.until(async () => (await seen()) === `${EPC128}@1`, 'the second step');
  assert.equal((await r.command({cmd: 'state'})).schedule_steps, 0);
  await finish(r, c);
});

test('an ROSpec enabled with an immediate start runs for its duration', async () => {
  const {r, c} = await connected([{epc: EPC96}]);
  await c.transact('ADD_ROSPEC', rospec(2, ALL_CONTENT, [0], 'Immediate', 'Duration', 150));
  const started = Date.now();
  assert.equal(status_of(await c.transact('ENABLE_ROSPEC', {ROSpecID: 2})), 'M_Success');
  await c.take_type('RO_ACCESS_REPORT');
  await h.until(async () => (await r.command({cmd: 'state'})).rospecs[0].state === 'Inactive',
      'the ROSpec to stop');
  assert.ok(Date.now() - started >= 145, 'ran for its duration');
  await finish(r, c);
});

test('keepalives come at the configured period and acks are counted', async () => {
  const {r, c} = await connected();
  const acks_before = (await r.command({cmd: 'state'})).messages.KEEPALIVE_ACK || 0;
  const keepalive = {KeepaliveTriggerType: 'Periodic', PeriodicTriggerValue: 40};
  const start = Date.now();
  assert.equal(status_of(await c.transact('SET_READER_CONFIG', {ResetToFactoryDefault: true,
    KeepaliveSpec: keepalive})), 'M_Success');
  for (let i = 0; i < 3; i++) {
    await c.take_type('KEEPALIVE');
    c.send('KEEPALIVE_ACK');
  }
  // Timers may fire a millisecond early.
  assert.ok(Date.now() - start >= 115, 'three periods of 40 ms');
  const config = await c.transact('GET_READER_CONFIG', {AntennaID: 0, RequestedData: 'All',
    GPIPortNum: 0, GPOPortNum: 0});
  assert.deepEqual(config.data.KeepaliveSpec, keepalive);
  assert.equal((await r.command({cmd: 'state'})).messages.KEEPALIVE_ACK, acks_before + 3);
  await finish(r, c);
});

test('framing: split and joined messages are answered, bad ones with the reason', async () => {
  const {r, c} = await connected();
  const frame = (id, type, data) => new LLRPMessage({id, type, data}).encode().getBuffer();
  const header = (word, length, id) => {
    const b = Buffer.alloc(10);
    b.writeUInt16BE(word, 0);
    b.writeUInt32BE(length, 2);
    b.writeUInt32BE(id, 6);
    return b;
  };
  const both = Buffer.concat([frame(1, 'DELETE_ROSPEC', {ROSpecID: 0}),
    frame(2, 'DELETE_ACCESSSPEC', {AccessSpecID: 0})]);
  c.socket.write(both.subarray(0, 7));
  await h.sleep(30);
  c.socket.write(both.subarray(7));
  const cases = [
    // [bytes sent, answer id, answer type, status]
    [null, 1, 'DELETE_ROSPEC_RESPONSE', 'M_Success'],
    [null, 2, 'DELETE_ACCESSSPEC_RESPONSE', 'M_Success'],
    [frame(11, 'GET_ROSPECS', {}), 11, 'ERROR_MESSAGE', 'M_UnsupportedMessage'],
    [header((1 << 10) | 900, 10, 12), 12, 'ERROR_MESSAGE', 'M_UnsupportedMessage'],
    [header((2 << 10) | 20, 10, 13), 13, 'ERROR_MESSAGE', 'M_UnsupportedVersion'],
    // An ENABLE_ROSPEC without its ROSpecID field.
    [header((1 << 10) | 24, 10, 14), 14, 'ENABLE_ROSPEC_RESPONSE', 'M_ParameterError'],
    // A length below the header's: the stream cannot go on, so it ends.
    [header((1 << 10) | 20, 4, 15), 15, 'ERROR_MESSAGE', 'M_ParameterError'],
  ];
  for (const [bytes, id, type, status] of cases) {
    if (bytes) c.socket.write(bytes);
    const m = await c.take((x) => x.id === id, `answer to ${id}`);
    assert.equal(m.type, type, `message ${id}`);
    assert.equal(status_of(m), status, `message ${id}`);
  }
  await c.closed_by_peer();
  await finish(r, c);
});

test('the population feed resends every tag, as llrpjs encoded it, in reports of N', async () => {
  const tags = [];
  for (let i = 0; i < 25; i++) {
    const serial = i.toString(16).toUpperCase().padStart(9, '0');
    tags.push(i % 3 ? {epc: `3074257BF7194E4${serial}`, antenna: 1 + i % 2} :
      {epc: `E280117000000201${serial}0000000`, antenna: 3, rssi: -70});
  }
  const {r, c} = await connected(tags, ['--static-reports', '10']);
  await h.start_inventory(c);
  // Once whole, a round is 10 tags, 10 and 5.
  const counts = [];
  const round = async () => {
    const m = await c.take_type('RO_ACCESS_REPORT');
    counts.push(h.tag_reports(m).length);
    return m;
  };
  const take = async (n) => {
    const ms = [];
    while (ms.length < n) ms.push(await round());
    return ms;
  };
  while (counts.at(-1) !== 5) await round();
  const rounds = [await take(3), await take(3)];
  assert.deepEqual(counts.slice(-6), [10, 10, 5, 10, 10, 5]);
  const reports = rounds.map((ms) => ms.flatMap(h.tag_reports));
  assert.deepEqual(reports[1], reports[0], 'the same sightings again');
  assert.deepEqual(reports[0].map(epc_of).sort(), tags.map((t) => t.epc).sort());
  for (const trd of reports[0]) {
    const t = tags.find((x) => x.epc === epc_of(trd));
    assert.ok(t.epc.length === 24 ? trd.EPC_96 : trd.EPCData, t.epc);
    assert.equal(trd.AntennaID.AntennaID, t.antenna);
    assert.equal(trd.PeakRSSI.PeakRSSI, t.rssi || -55);
    assert.equal(trd.ROSpecID.ROSpecID, 1);
    assert.equal(trd.TagSeenCount.TagCount, 2);
    assert.ok(trd.FirstSeenTimestampUTC.Microseconds < trd.LastSeenTimestampUTC.Microseconds);
  }
  await finish(r, c);
});

test('the shared emulator exits with 0 when standard input closes', async () => {
  assert.equal(await shared.stop(), 0);
});
