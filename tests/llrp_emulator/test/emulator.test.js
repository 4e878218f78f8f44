'use strict';
// The emulator as its users meet it: a child process driven over standard
// input, spoken to in LLRP through llrpjs from a plain socket.

const test = require('node:test');
const assert = require('node:assert/strict');
const {LLRPMessage} = require('llrpjs');
const {reader_process, llrp_client, rospec, connected, start_inventory, tag_reports, epc_of,
  status_of, finish, ALL_CONTENT, EPC96, EPC128, NEW_EPC96} = require('./harness');

test('capabilities report the antennas and whether Gen2 is supported', async () => {
  const cases = [
    {args: [], antennas: 4, gen2: true},
    {args: ['--antennas', '2', '--no-gen2'], antennas: 2, gen2: false},
  ];
  for (const k of cases) {
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
    const added = await c.transact('ADD_ROSPEC', rospec(1));
    assert.equal(status_of(added), k.gen2 ? 'M_Success' : 'M_FieldError');
    await finish(r, c);
  }
});

test('a second client is told a connection exists and is closed', async () => {
  const {r, c} = await connected();
  const second = llrp_client.connect(r.port);
  const event = await second.take_type('READER_EVENT_NOTIFICATION');
  assert.equal(event.data.ReaderEventNotificationData.ConnectionAttemptEvent.Status,
      'Failed_A_Client_Initiated_Connection_Already_Exists');
  await second.closed_by_peer();
  // The first connection still works.
  assert.equal(status_of(await c.transact('DELETE_ROSPEC', {ROSpecID: 0})), 'M_Success');
  await finish(r, c);
});

test('ROSpec requests follow the ROSpec state and refuse unknown ids', async () => {
  const {r, c} = await connected();
  const steps = [
    ['START_ROSPEC', {ROSpecID: 7}, 'M_FieldError'],  // unknown
    ['ADD_ROSPEC', rospec(7), 'M_Success'],
    ['ADD_ROSPEC', rospec(7), 'M_FieldError'],  // duplicate id
    ['ADD_ROSPEC', rospec(0), 'M_FieldError'],  // id 0 is reserved
    ['START_ROSPEC', {ROSpecID: 7}, 'M_FieldError'],  // not enabled
    ['ENABLE_ROSPEC', {ROSpecID: 7}, 'M_Success'],
    ['STOP_ROSPEC', {ROSpecID: 7}, 'M_FieldError'],  // not running
    ['START_ROSPEC', {ROSpecID: 7}, 'M_Success'],
    ['STOP_ROSPEC', {ROSpecID: 7}, 'M_Success'],
    ['ENABLE_ROSPEC', {ROSpecID: 8}, 'M_FieldError'],
    ['DELETE_ROSPEC', {ROSpecID: 8}, 'M_FieldError'],
    ['ADD_ROSPEC', rospec(8), 'M_Success'],
    ['DELETE_ROSPEC', {ROSpecID: 0}, 'M_Success'],  // all
    ['DELETE_ROSPEC', {ROSpecID: 7}, 'M_FieldError'],
  ];
  for (const [type, data, expected] of steps) {
    const answer = await c.transact(type, data);
    assert.equal(answer.type, `${type}_RESPONSE`);
    assert.equal(status_of(answer), expected, `${type} ${JSON.stringify(data).slice(0, 40)}`);
  }
  const state = await r.command({cmd: 'state'});
  assert.deepEqual(state.rospecs, []);
  assert.equal(state.messages.ADD_ROSPEC, 4);
  await finish(r, c);
});

test('reports carry each visible tag with the content asked for', async () => {
  const tags = [
    {epc: EPC96, antenna: 1, rssi: -52},
    {epc: EPC128, antenna: 3, rssi: -70},
  ];
  const cases = [
    {content: ALL_CONTENT, fields: ['ROSpecID', 'AntennaID', 'PeakRSSI',
      'FirstSeenTimestampUTC', 'LastSeenTimestampUTC', 'TagSeenCount']},
    {content: {...ALL_CONTENT, EnableROSpecID: 0, EnablePeakRSSI: 0, EnableTagSeenCount: 0,
      EnableFirstSeenTimestamp: 0}, fields: ['AntennaID', 'LastSeenTimestampUTC']},
  ];
  for (const k of cases) {
    const {r, c} = await connected(tags);
    const before = Date.now();
    await start_inventory(c, 5, k.content);
    const report = tag_reports(await c.take_type('RO_ACCESS_REPORT'));
    assert.equal(report.length, 2);
    for (const [i, t] of tags.entries()) {
      const trd = report.find((x) => epc_of(x) === t.epc);
      assert.ok(trd, `tag ${t.epc} reported`);
      // 96-bit EPCs travel as EPC_96, others as EPCData.
      assert.ok(t.epc.length === 24 ? trd.EPC_96 : trd.EPCData, `EPC parameter of tag ${i}`);
      const present = Object.keys(trd).filter((key) => !key.startsWith('EPC'));
      assert.deepEqual(present.sort(), [...k.fields].sort());
      if (trd.AntennaID) assert.equal(trd.AntennaID.AntennaID, t.antenna);
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

test('only the ROSpec antennas and existing antennas see tags', async () => {
  const {r, c} = await connected([{epc: EPC96, antenna: 2}, {epc: NEW_EPC96, antenna: 1}]);
  for (const [type, data] of [['ADD_ROSPEC', rospec(1, ALL_CONTENT, [2])],
    ['ENABLE_ROSPEC', {ROSpecID: 1}], ['START_ROSPEC', {ROSpecID: 1}]]) {
    assert.equal(status_of(await c.transact(type, data)), 'M_Success');
  }
  const report = tag_reports(await c.take_type('RO_ACCESS_REPORT'));
  assert.deepEqual(report.map(epc_of), [EPC96]);
  assert.equal(status_of(await c.transact('ADD_ROSPEC', rospec(2, ALL_CONTENT, [5]))),
      'M_FieldError');
  await finish(r, c);
});

test('keepalives come at the configured period and acks are counted', async () => {
  const {r, c} = await connected();
  const answer = await c.transact('SET_READER_CONFIG', {
    ResetToFactoryDefault: true,
    KeepaliveSpec: {KeepaliveTriggerType: 'Periodic', PeriodicTriggerValue: 40},
  });
  assert.equal(status_of(answer), 'M_Success');
  const start = Date.now();
  for (let i = 0; i < 3; i++) {
    await c.take_type('KEEPALIVE');
    c.send('KEEPALIVE_ACK');
  }
  assert.ok(Date.now() - start >= 100, 'three periods of 40 ms');
  const config = await c.transact('GET_READER_CONFIG', {AntennaID: 0, RequestedData: 'All',
    GPIPortNum: 0, GPOPortNum: 0});
  assert.deepEqual(config.data.KeepaliveSpec,
      {KeepaliveTriggerType: 'Periodic', PeriodicTriggerValue: 40});
  assert.equal((await r.command({cmd: 'state'})).messages.KEEPALIVE_ACK, 3);
  await finish(r, c);
});

test('framing: messages split or joined in TCP reads are all answered', async () => {
  const {r, c} = await connected();
  const frame = (id, type, data) => new LLRPMessage({id, type, data}).encode().getBuffer();
  const a = frame(1, 'DELETE_ROSPEC', {ROSpecID: 0});
  const b = frame(2, 'DELETE_ACCESSSPEC', {AccessSpecID: 0});
  const both = Buffer.concat([a, b]);
  c.socket.write(both.subarray(0, 7));
  await new Promise((resolve) => setTimeout(resolve, 30));
  c.socket.write(both.subarray(7));
  for (const [id, type] of [[1, 'DELETE_ROSPEC_RESPONSE'], [2, 'DELETE_ACCESSSPEC_RESPONSE']]) {
    const m = await c.take((x) => x.id === id, `answer ${id}`);
    assert.equal(m.type, type);
  }
  await finish(r, c);
});

test('messages the reader cannot take are answered with the reason and the same id', async () => {
  const {r, c} = await connected();
  const header = (word, length, id) => {
    const b = Buffer.alloc(10);
    b.writeUInt16BE(word, 0);
    b.writeUInt32BE(length, 2);
    b.writeUInt32BE(id, 6);
    return b;
  };
  const cases = [
    // [frame, answer type, status]
    [new LLRPMessage({id: 11, type: 'GET_ROSPECS', data: {}}).encode().getBuffer(),
      'ERROR_MESSAGE', 'M_UnsupportedMessage'],
    [header((1 << 10) | 900, 10, 12), 'ERROR_MESSAGE', 'M_UnsupportedMessage'],
    [header((2 << 10) | 20, 10, 13), 'ERROR_MESSAGE', 'M_UnsupportedVersion'],
    // An ENABLE_ROSPEC without its ROSpecID field.
    [header((1 << 10) | 24, 10, 14), 'ENABLE_ROSPEC_RESPONSE', 'M_ParameterError'],
  ];
  for (const [frame, type, status] of cases) {
    c.socket.write(frame);
    const id = frame.readUInt32BE(6);
    const m = await c.take((x) => x.id === id, `answer to ${id}`);
    assert.equal(m.type, type, `message ${id}`);
    assert.equal(status_of(m), status, `message ${id}`);
  }
  // The connection is still good.
  assert.equal(status_of(await c.transact('DELETE_ROSPEC', {ROSpecID: 0})), 'M_Success');
  await finish(r, c);
});

test('a frame with an impossible length is answered with an error and the connection closed',
    async () => {
      const {r, c} = await connected();
      const bad = Buffer.from('0414000000040000002a', 'hex');  // length 4
      c.socket.write(bad);
      const m = await c.take_type('ERROR_MESSAGE');
      assert.equal(m.id, 42);
      assert.equal(status_of(m), 'M_ParameterError');
      await c.closed_by_peer();
      await finish(r, c);
    });
