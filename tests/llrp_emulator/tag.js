'use strict';
// One emulated Class 1 Gen 2 tag: its memory banks, lock states and the
// outcome of the access operations a reader performs on it.
//
// Memory is kept as 16-bit words, as on a real tag:
//   bank 0 (reserved): kill password (words 0-1), access password (words 2-3)
//   bank 1 (EPC):      CRC-16 (word 0), PC (word 1), EPC (words 2...)
//   bank 2 (TID):      a fixed class identifier and a serial
//   bank 3 (user):     empty
// The EPC the tag backscatters is as long as the PC word's length bits say,
// so a write of the EPC words together with the PC word changes the length.

const LOCK_FIELDS = [
  'Kill_Password', 'Access_Password', 'EPC_Memory', 'TID_Memory', 'User_Memory',
];

// Result names as the operation results carry them.
const RESULT = {
  ok: 'Success',
  overrun: 'Tag_Memory_Overrun_Error',
  locked: 'Tag_Memory_Locked_Error',
  power: 'Insufficient_Power',
  tag_error: 'Nonspecific_Tag_Error',
  no_response: 'No_Response_From_Tag',
};

// What a tag's "fault" field may ask for: the outcome of every access.
const TAG_FAULTS = {
  no_response: RESULT.no_response,
  insufficient_power: RESULT.power,
  tag_error: RESULT.tag_error,
};

let tid_serial = 0;

function hex_to_words(hex) {
  if (typeof hex !== 'string' || !/^([0-9A-Fa-f]{4})*$/.test(hex)) {
    throw new Error(`not a whole number of 16-bit words in hex: ${JSON.stringify(hex)}`);
  }
  const words = [];
  for (let i = 0; i < hex.length; i += 4) words.push(parseInt(hex.slice(i, i + 4), 16));
  return words;
}

function words_to_hex(words) {
  return words.map((w) => w.toString(16).padStart(4, '0')).join('').toUpperCase();
}

// CRC-16 of the PC word and the EPC, as a tag computes it (polynomial 0x1021,
// preset 0xFFFF, complemented).
function crc16(words) {
  let crc = 0xffff;
  for (const w of words) {
    for (const byte of [w >> 8, w & 0xff]) {
      crc ^= byte << 8;
      for (let i = 0; i < 8; i++) {
        crc = crc & 0x8000 ? ((crc << 1) ^ 0x1021) & 0xffff : (crc << 1) & 0xffff;
      }
    }
  }
  return ~crc & 0xffff;
}

function parse_password(value, name) {
  if (value === undefined) return 0;
  if (typeof value === 'number' && Number.isInteger(value) && value >= 0 && value <= 0xffffffff) {
    return value;
  }
  if (typeof value === 'string' && /^[0-9A-Fa-f]{8}$/.test(value)) return parseInt(value, 16);
  throw new Error(`${name} must be 8 hex digits`);
}

class tag {
  // desc: the control interface's description of a tag (see README.md).
  constructor(desc) {
    if (!desc || typeof desc.epc !== 'string') throw new Error('a tag needs an "epc" in hex');
    const epc = hex_to_words(desc.epc);
    if (epc.length > 31) throw new Error('an EPC has at most 31 words');
    this.antenna = desc.antenna === undefined ? 1 : desc.antenna;
    this.rssi = desc.rssi === undefined ? -55 : desc.rssi;
    if (!Number.isInteger(this.antenna) || this.antenna < 1 || this.antenna > 65535) {
      throw new Error('"antenna" must be an antenna id from 1');
    }
    if (!Number.isInteger(this.rssi) || this.rssi < -128 || this.rssi > 127) {
      throw new Error('"rssi" must be a whole dBm value from -128 to 127');
    }
    if (desc.fault !== undefined && desc.fault !== null && !(desc.fault in TAG_FAULTS)) {
      throw new Error(`"fault" must be one of ${Object.keys(TAG_FAULTS).join(', ')}`);
    }
    this.fault = desc.fault || null;
    const capacity_bits = desc.epc_capacity_bits === undefined
      ? Math.max(128, epc.length * 16) : desc.epc_capacity_bits;
    if (!Number.isInteger(capacity_bits) || capacity_bits % 16 || capacity_bits < epc.length * 16 ||
        capacity_bits > 496) {
      throw new Error('"epc_capacity_bits" must be whole words, at least the EPC, at most 496');
    }
    const access = parse_password(desc.access_password, 'access_password');
    const kill = parse_password(desc.kill_password, 'kill_password');
    this.banks = [
      [kill >>> 16, kill & 0xffff, access >>> 16, access & 0xffff],
      [0, (epc.length << 11) & 0xffff, ...epc],
      [0xe280, 0x1170, 0x2000, ++tid_serial & 0xffff],
      [],
    ];
    this.epc_capacity_words = 2 + capacity_bits / 16;
    this.update_crc();
    this.locks = {};
    for (const f of LOCK_FIELDS) this.locks[f] = {locked: false, perma: false};
    this.locks.EPC_Memory.locked = !!desc.epc_locked;
    this.locks.EPC_Memory.perma = !!desc.epc_permalocked;
    this.locks.Access_Password.locked = !!desc.access_password_locked;
    this.locks.Access_Password.perma = !!desc.access_password_permalocked;
  }

  update_crc() {
    const epc_bank = this.banks[1];
    epc_bank[0] = crc16(epc_bank.slice(1, 2 + this.epc_words()));
  }

  epc_words() {
    return Math.min(this.banks[1][1] >> 11, this.banks[1].length - 2);
  }

  epc_hex() {
    return words_to_hex(this.banks[1].slice(2, 2 + this.epc_words()));
  }

  access_password() {
    return ((this.banks[0][2] << 16) | this.banks[0][3]) >>> 0;
  }

  // The Gen2 state an access with this password reaches: 'secured' (the
  // tag's password is zero, or the right one was given), 'open' (no password
  // given to a tag that has one) or null (a wrong password: the tag stops
  // answering).
  access_state(password) {
    const own = this.access_password();
    if (own === 0) return 'secured';
    if (password === 0) return 'open';
    return password === own ? 'secured' : null;
  }

  // Whether bits [pointer, pointer + data bits) of the bank equal the data
  // under the mask; an empty mask compares every bit of the data.
  matches(target) {
    const bank = this.banks[target.MB];
    if (!bank) return false;
    const data = bits_of_hex(target.TagData || '');
    let mask = bits_of_hex(target.TagMask || '');
    if (mask.length === 0) mask = data.map(() => 1);
    const pointer = target.Pointer;
    if (pointer + data.length > bank.length * 16) return !target.Match;
    let equal = true;
    for (let i = 0; i < data.length; i++) {
      if (i < mask.length && !mask[i]) continue;
      const bit = pointer + i;
      const have = (bank[bit >> 4] >> (15 - (bit & 15))) & 1;
      if (have !== data[i]) {
        equal = false;
        break;
      }
    }
    return target.Match ? equal : !equal;
  }

  // Which lock field guards a word of a bank.
  static guard(bank, word) {
    if (bank === 0) return word < 2 ? 'Kill_Password' : 'Access_Password';
    return [null, 'EPC_Memory', 'TID_Memory', 'User_Memory'][bank];
  }

  // Writes words one by one from the pointer, as a reader does with Gen2
  // Write commands. Returns {result, words_written}.
  write(bank_no, pointer, words, password) {
    if (this.fault) return {result: TAG_FAULTS[this.fault], words_written: 0};
    const state = this.access_state(password);
    if (state === null) return {result: RESULT.no_response, words_written: 0};
    const bank = this.banks[bank_no];
    const capacity = [4, this.epc_capacity_words, 4, 0][bank_no];
    let written = 0;
    for (let i = 0; i < words.length; i++) {
      const at = pointer + i;
      if (at >= capacity) return {result: RESULT.overrun, words_written: written};
      const lock = this.locks[tag.guard(bank_no, at)];
      // TID memory is factory-written; the other fields are writable unless
      // locked (then only when secured) or permalocked.
      const writable = bank_no !== 2 &&
          (lock.locked ? !lock.perma && state === 'secured' : true);
      if (!writable) return {result: RESULT.locked, words_written: written};
      while (bank.length <= at) bank.push(0);
      bank[at] = words[i];
      written++;
    }
    if (bank_no === 1) this.update_crc();
    return {result: RESULT.ok, words_written: written};
  }

  // Returns {result, words}.
  read(bank_no, pointer, count, password) {
    if (this.fault) return {result: TAG_FAULTS[this.fault], words: []};
    const state = this.access_state(password);
    if (state === null) return {result: RESULT.no_response, words: []};
    const bank = this.banks[bank_no];
    const end = count === 0 ? bank.length : pointer + count;
    if (end > bank.length || pointer > bank.length) return {result: RESULT.tag_error, words: []};
    if (bank_no === 0) {
      for (let at = pointer; at < end; at++) {
        const lock = this.locks[tag.guard(0, at)];
        if (lock.locked && (lock.perma || state !== 'secured')) {
          return {result: RESULT.tag_error, words: []};
        }
      }
    }
    return {result: RESULT.ok, words: bank.slice(pointer, end)};
  }

  // Applies lock payloads [{Privilege, DataField}] all or nothing, as one
  // Gen2 Lock command does. Returns the result name.
  lock(payloads, password) {
    if (this.fault) return TAG_FAULTS[this.fault];
    // A Lock is only accepted in the secured state; otherwise the tag does
    // not answer it.
    if (this.access_state(password) !== 'secured') return RESULT.no_response;
    const wanted = {
      Read_Write: {locked: true, perma: false},
      Perma_Lock: {locked: true, perma: true},
      Perma_Unlock: {locked: false, perma: true},
      Unlock: {locked: false, perma: false},
    };
    const changes = [];
    for (const p of payloads) {
      const now = this.locks[p.DataField];
      const want = wanted[p.Privilege];
      if (!now || !want) return RESULT.tag_error;
      // A permanent state cannot be changed; asking for it again is no change.
      if (now.perma && (now.locked !== want.locked || !want.perma)) return RESULT.tag_error;
      changes.push([p.DataField, want]);
    }
    for (const [field, want] of changes) this.locks[field] = {...want};
    return RESULT.ok;
  }

  describe() {
    return {
      epc: this.epc_hex(),
      pc: words_to_hex([this.banks[1][1]]),
      antenna: this.antenna,
      rssi: this.rssi,
      access_password: words_to_hex(this.banks[0].slice(2, 4)),
      kill_password: words_to_hex(this.banks[0].slice(0, 2)),
      epc_locked: this.locks.EPC_Memory.locked,
      epc_permalocked: this.locks.EPC_Memory.perma && this.locks.EPC_Memory.locked,
      epc_permaunlocked: this.locks.EPC_Memory.perma && !this.locks.EPC_Memory.locked,
      access_password_locked: this.locks.Access_Password.locked,
      access_password_permalocked:
          this.locks.Access_Password.perma && this.locks.Access_Password.locked,
      fault: this.fault,
    };
  }
}

function bits_of_hex(hex) {
  const bits = [];
  for (const c of hex) {
    const v = parseInt(c, 16);
    for (let i = 3; i >= 0; i--) bits.push((v >> i) & 1);
  }
  return bits;
}

module.exports = {tag, hex_to_words, words_to_hex, crc16, RESULT};
