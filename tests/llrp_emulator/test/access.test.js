'use strict';
// AccessSpecs against tags with passwords and locks: each case has a tag of
// its own and an AccessSpec aimed at its EPC, all run in one inventory.

const test = require('node:test');
const assert = require('node:assert/strict');
const h = require('./harness');
const {start_inventory, tag_reports, epc_of, status_of} = h;

// Both tests use one emulator, reset between them.
let shared = null;
test.before(async () => shared = await h.reader_process.start());
test.after(async () => assert.equal(await shared.stop(), 0));
const connected = (tags) => h.connected(tags, [], shared);
const finish = (r, c) => h.finish(r, c, shared);

const PW = 0x12345678;

function epc(n) {
  return `3074257BF7194E40000000${n.toString(16).padStart(2, '0').toUpperCase()}`;
}

function write(mb, word_pointer, data, password = 0) {
  return ['C1G2Write', {OpSpecID: 1, AccessPassword: password, MB: mb, WordPointer: word_pointer,
    WriteData: data}];
}

function lock(privilege, field, password = 0) {
  return ['C1G2Lock', {OpSpecID: 2, AccessPassword: password,
    C1G2LockPayload: [{Privilege: privilege, DataField: field}]}];
}

function read(mb, word_pointer, count, password = 0) {
  return ['C1G2Read', {OpSpecID: 3, AccessPassword: password, MB: mb, WordPointer: word_pointer,
    WordCount: count}];
}

const NEW96 = '30340000000000000000BEEF';
const NEW128 = '3034000000000000000000000000CAFE';

// tag: how the tag starts; ops: the OpSpecs in order; results: [result name,
// extra fields]; after: fields of the tag's state afterwards.
const CASES = [
  {name: 'write of the EPC words changes the EPC',
    tag: {}, ops: [write(1, 2, NEW96)],
    results: [['C1G2WriteOpSpecResult', 'Success', {NumWordsWritten: 6}]],
    after: {epc: NEW96}},
  {name: 'write of PC length bits and a longer EPC',
    tag: {}, ops: [write(1, 1, `4000${NEW128}`)],
    results: [['C1G2WriteOpSpecResult', 'Success', {NumWordsWritten: 9}]],
    after: {epc: NEW128, pc: '4000'}},
  {name: 'write beyond EPC memory is an overrun after the words that fit',
    tag: {epc_capacity_bits: 96}, ops: [write(1, 7, '1111222233334444')],
    results: [['C1G2WriteOpSpecResult', 'Tag_Memory_Overrun_Error', {NumWordsWritten: 1}]],
    after: {epc: '3074257BF7194E4000001111'}},
  {name: 'locked EPC memory without the password refuses the write',
    tag: {access_password: '12345678', epc_locked: true}, ops: [write(1, 2, NEW96)],
    results: [['C1G2WriteOpSpecResult', 'Tag_Memory_Locked_Error', {NumWordsWritten: 0}]],
    after: {epc_locked: true}},
  {name: 'locked EPC memory with the password takes the write',
    tag: {access_password: '12345678', epc_locked: true}, ops: [write(1, 2, NEW96, PW)],
    results: [['C1G2WriteOpSpecResult', 'Success', {NumWordsWritten: 6}]],
    after: {epc: NEW96, epc_locked: true}},
  {name: 'a wrong password gets no response and stops the OpSpecs',
    tag: {access_password: '12345678'}, ops: [write(1, 2, NEW96, 0x1111), lock('Unlock', 'EPC_Memory', PW)],
    results: [['C1G2WriteOpSpecResult', 'No_Response_From_Tag', {}]]},
  {name: 'set a password on a tag without one, then lock with it',
    tag: {}, ops: [write(0, 2, '12345678'), lock('Read_Write', 'EPC_Memory', PW)],
    results: [['C1G2WriteOpSpecResult', 'Success', {NumWordsWritten: 2}],
      ['C1G2LockOpSpecResult', 'Success', {}]],
    after: {access_password: '12345678', epc_locked: true}},
  {name: 'a lock without the password of a tag that has one is not answered',
    tag: {access_password: '12345678'}, ops: [lock('Read_Write', 'EPC_Memory')],
    results: [['C1G2LockOpSpecResult', 'No_Response_From_Tag', {}]],
    after: {epc_locked: false}},
  {name: 'unlock with the password',
    tag: {access_password: '12345678', epc_locked: true}, ops: [lock('Unlock', 'EPC_Memory', PW)],
    results: [['C1G2LockOpSpecResult', 'Success', {}]],
    after: {epc_locked: false}},
  {name: 'a perma-locked EPC cannot be unlocked or written',
    tag: {access_password: '12345678', epc_locked: true, epc_permalocked: true},
    ops: [lock('Unlock', 'EPC_Memory', PW)],
    results: [['C1G2LockOpSpecResult', 'Nonspecific_Tag_Error', {}]],
    after: {epc_locked: true, epc_permalocked: true}},
  {name: 'perma lock is carried out',
    tag: {access_password: '12345678'}, ops: [lock('Perma_Lock', 'EPC_Memory', PW)],
    results: [['C1G2LockOpSpecResult', 'Success', {}]],
    after: {epc_locked: true, epc_permalocked: true}},
  {name: 'perma unlock is carried out and the EPC stays writable',
    tag: {}, ops: [lock('Perma_Unlock', 'EPC_Memory'), write(1, 2, NEW96)],
    // Results in OpSpecID order.
    results: [['C1G2WriteOpSpecResult', 'Success', {NumWordsWritten: 6}],
      ['C1G2LockOpSpecResult', 'Success', {}]],
    after: {epc: NEW96, epc_permaunlocked: true}},
  {name: 'TID memory is factory-written',
    tag: {}, ops: [write(2, 0, 'E280')],
    results: [['C1G2WriteOpSpecResult', 'Tag_Memory_Locked_Error', {NumWordsWritten: 0}]]},
  {name: 'a locked access password cannot be read without it',
    tag: {access_password: '12345678', access_password_locked: true},
    ops: [read(0, 2, 2)], results: [['C1G2ReadOpSpecResult', 'Nonspecific_Tag_Error', {}]]},
  {name: 'read of the access password with it',
    tag: {access_password: '12345678', access_password_locked: true},
    ops: [read(0, 2, 2, PW)],
    results: [['C1G2ReadOpSpecResult', 'Success', {ReadData: '12345678'}]]},
  {name: 'a tag with too little power',
    tag: {fault: 'insufficient_power'}, ops: [write(1, 2, NEW96)],
    results: [['C1G2WriteOpSpecResult', 'Insufficient_Power', {NumWordsWritten: 0}]]},
];

function access_spec(id, target_epc, ops) {
  const command = {
    C1G2TagSpec: {C1G2TargetTag: {MB: 1, Match: 1, Pointer: 32,
      TagMask: 'F'.repeat(target_epc.length), TagData: target_epc}},
  };
  // OpSpecs of one type in order; the wire order across types follows the
  // key order, which the cases keep as they are listed.
  for (const [name, op] of ops) {
    if (!command[name]) command[name] = [];
    command[name].push(op);
  }
  return {AccessSpec: {AccessSpecID: id, AntennaID: 0, ProtocolID: 'EPCGlobalClass1Gen2',
    CurrentState: 'Disabled', ROSpecID: 0,
    AccessSpecStopTrigger: {AccessSpecStopTrigger: 'Operation_Count', OperationCountValue: 1},
    AccessCommand: command}};
}

function op_results(trd) {
  const out = [];
  for (const name of ['C1G2ReadOpSpecResult', 'C1G2WriteOpSpecResult', 'C1G2LockOpSpecResult']) {
    for (const r of [trd[name] || []].flat()) out.push([name, r]);
  }
  return out.sort((a, b) => a[1].OpSpecID - b[1].OpSpecID);
}

test('access operations honour passwords and locks', async () => {
  const tags = CASES.map((k, i) => ({epc: epc(i), ...k.tag}));
  const {r, c} = await connected(tags);
  for (const [i, k] of CASES.entries()) {
    const added = await c.transact('ADD_ACCESSSPEC', access_spec(i + 1, epc(i), k.ops));
    assert.equal(status_of(added), 'M_Success', k.name);
    assert.equal(status_of(await c.transact('ENABLE_ACCESSSPEC', {AccessSpecID: i + 1})),
        'M_Success');
  }
  await start_inventory(c);
  const seen = new Map();
  while (seen.size < CASES.length) {
    for (const trd of tag_reports(await c.take_type('RO_ACCESS_REPORT'))) {
      if (trd.AccessSpecID) seen.set(trd.AccessSpecID.AccessSpecID, trd);
    }
  }
  const state = await r.command({cmd: 'state'});
  for (const [i, k] of CASES.entries()) {
    const trd = seen.get(i + 1);
    // The report names the tag by the EPC it had when it was accessed.
    assert.equal(epc_of(trd), epc(i), k.name);
    const got = op_results(trd);
    assert.equal(got.length, k.results.length, `${k.name}: number of results`);
    for (const [j, [type, result, extra]] of k.results.entries()) {
      assert.equal(got[j][0], type, k.name);
      assert.equal(got[j][1].Result, result, k.name);
      for (const [key, value] of Object.entries(extra)) assert.equal(got[j][1][key], value, k.name);
    }
    const after = state.tags[i];
    const expected = {epc: epc(i), epc_locked: !!k.tag.epc_locked, ...k.after};
    for (const [key, value] of Object.entries(expected)) {
      assert.equal(after[key], value, `${k.name}: ${key}`);
    }
  }
  // Operation_Count 1: every AccessSpec is gone after its one tag.
  assert.deepEqual(state.accessspecs, []);
  // The next reports show the written EPCs.
  const later = new Set();
  for (let round = 0; round < 3; round++) {
    for (const trd of tag_reports(await c.take_type('RO_ACCESS_REPORT'))) later.add(epc_of(trd));
  }
  assert.ok(later.has(NEW96) && later.has(NEW128));
  await finish(r, c);
});

test('AccessSpec requests refuse unknown ids; a target that matches nothing runs nothing',
    async () => {
      const {r, c} = await connected([{epc: epc(1)}]);
      const added = access_spec(9, epc(2), [write(1, 2, NEW96)]);
      for (const [type, data, expected] of [
        ['ENABLE_ACCESSSPEC', {AccessSpecID: 9}, 'M_FieldError'],
        ['DELETE_ACCESSSPEC', {AccessSpecID: 9}, 'M_FieldError'],
        ['ADD_ACCESSSPEC', added, 'M_Success'],
        ['ADD_ACCESSSPEC', added, 'M_FieldError'],
        ['ENABLE_ACCESSSPEC', {AccessSpecID: 9}, 'M_Success']]) {
        assert.equal(status_of(await c.transact(type, data)), expected, type);
      }
      await start_inventory(c);
      for (let round = 0; round < 3; round++) {
        const report = tag_reports(await c.take_type('RO_ACCESS_REPORT'));
        assert.deepEqual(report.flatMap(op_results), []);
      }
      const state = await r.command({cmd: 'state'});
      assert.equal(state.accessspecs[0].operations_left, 1);
      assert.equal(state.tags[0].epc, epc(1));
      await finish(r, c);
    });
