'use strict';
// Cross-check of our EPC codec against an implementation nobody here wrote,
// the npm package epc-tds, over seeded random EPCs of every scheme:
//   1. epc-tds encodes, we decode (URIs, element string);
//   2. we encode the same fields from write data, the bits must be the same,
//      and epc-tds decodes ours;
//   3. random bits under each known header: where we decode, epc-tds must
//      read the same; where we refuse, the reason is counted.
// Where epc-tds strays from the standard, the standard wins; each such
// difference is named below and counted, never skipped wholesale.
//
// Usage: node cross_check.js PROBE [COUNT_PER_SCHEME]
// (EPC_SEED in the environment picks another seed.)
const {
  seeded, checkDigit, askProbe, disagreements,
} = require('../support/gs1_testing');

let tds;
try {
  tds = require('epc-tds');
} catch (e) {
  console.error('epc-tds is missing: run `npm ci --prefix tests/epc` first');
  process.exit(1);
}

const probe = process.argv[2];
const perScheme = Number(process.argv[3] || 500);
const seed = Number(process.env.EPC_SEED || 20261209);
if (!probe) {
  console.error('usage: node cross_check.js PROBE [COUNT_PER_SCHEME]');
  process.exit(2);
}

const { next32, below, randomDigits } = seeded(seed);
function randomBits(bits) {
  let v = 0n;
  for (let k = 0; k < bits; k += 32) v = (v << 32n) | BigInt(next32());
  return v & ((1n << BigInt(bits)) - 1n);
}
// Integers of every magnitude: 0, the largest, or a random bit length.
function randomInteger(bits) {
  const r = below(10);
  if (r === 0) return 0n;
  if (r === 1) return (1n << BigInt(bits)) - 1n;
  return randomBits(1 + below(bits));
}

// --- Named differences between epc-tds 1.4.1 and the standard ---------------
const differences = {
  graiElementLeadingZero: {
    what: 'GRAI element string: epc-tds drops the 0 that starts (8003)',
    count: 0,
  },
  emptyReferenceAsZero: {
    what: 'SGLN-96 and GRAI-96 with a 12-digit company prefix: epc-tds ' +
          'writes the empty reference as "0" in the URIs and element strings',
    count: 0,
  },
  unescapedUris: {
    what: 'SGTIN-198: epc-tds writes " % & / < > ? of the serial unescaped ' +
          'in the URIs',
    count: 0,
  },
  wholeBytes: {
    what: 'SGTIN-198: epc-tds pads the 198 bits to whole bytes (200), we to ' +
          'whole 16-bit words (208) as EPC memory holds them',
    count: 0,
  },
  acceptsOverlongValues: {
    what: 'epc-tds decodes EPCs the standard rules out (a value with more ' +
          'digits than its partition allows, partition 7, non-zero SSCC ' +
          'reserved bits); we show them raw',
    count: 0,
  },
};

// A serial as URIs write it.
function uriEscaped(text) {
  return text.replace(/["%&/<>?]/g,
      (c) => '%' + c.charCodeAt(0).toString(16).toUpperCase());
}

// epc-tds's URI in the standard's form: the empty reference after a
// 12-digit company prefix; the alphanumeric serial escaped.
function standardUri(uri, s, cp, serial) {
  if (s.alphanumeric) {
    const escaped = uriEscaped(serial);
    if (escaped === serial) return uri;
    differences.unescapedUris.count++;
    return uri.slice(0, uri.length - serial.length) + escaped;
  }
  if (!s.emptyReferenceAt12 || cp.length !== 12) return uri;
  const fixed = uri.replace('.' + cp + '.0.', '.' + cp + '..')
                    .replace(':' + cp + '.0.', ':' + cp + '..');
  if (fixed !== uri) differences.emptyReferenceAsZero.count++;
  return fixed;
}

const referenceDigits = (cp, total) => total - cp.length;
const schemes = [
  {
    name: 'sgtin-96', id: 'sgtin', header: 48, refName: 'item_reference',
    refDigits: (cp) => referenceDigits(cp, 13), last: ['serial', 38],
    make: (f) => new tds.Sgtin96().setFilter(f.filter)
        .setPartition(12 - f.cp.length).setCompanyPrefix(Number(f.cp))
        .setItemReference(Number(f.ref)).setSerial(Number(f.last)),
    elements: (o, f) => [['01', o.toBarcode()], ['21', f.last]],
  },
  {
    name: 'sscc-96', id: 'sscc', header: 49, refName: 'serial_reference',
    refDigits: (cp) => referenceDigits(cp, 17),
    make: (f) => new tds.Sscc96().setFilter(f.filter)
        .setPartition(12 - f.cp.length).setCompanyPrefix(Number(f.cp))
        .setSerialReference(Number(f.ref)),
    elements: (o) => [['00', o.toBarcode()]],
  },
  {
    name: 'sgln-96', id: 'sgln', header: 50, refName: 'location_reference',
    refDigits: (cp) => referenceDigits(cp, 12), last: ['extension', 41],
    emptyReferenceAt12: true,
    make: (f) => new tds.Sgln96().setFilter(f.filter)
        .setPartition(12 - f.cp.length).setCompany(Number(f.cp))
        .setLocation(Number(f.ref || '0')).setExtension(Number(f.last)),
    // epc-tds gives the GLN; extension 0 stands for none.
    elements: (o, f) => {
      let gln = o.toBarcode();
      if (f.cp.length === 12 && gln === f.cp + '0' + checkDigit(f.cp + '0')) {
        differences.emptyReferenceAsZero.count++;
        gln = f.cp + checkDigit(f.cp);
      }
      return [['414', gln]].concat(f.last === '0' ? [] : [['254', f.last]]);
    },
  },
  {
    name: 'grai-96', id: 'grai', header: 51, refName: 'asset_type',
    refDigits: (cp) => referenceDigits(cp, 12), last: ['serial', 38],
    emptyReferenceAt12: true,
    make: (f) => new tds.Grai96().setFilter(f.filter)
        .setPartition(12 - f.cp.length).setCompanyPrefix(Number(f.cp))
        .setAssetType(Number(f.ref || '0')).setSerial(Number(f.last)),
    elements: (o, f) => {
      let grai = o.toBarcode();
      if (f.cp.length === 12 &&
          grai === f.cp + '0' + checkDigit(f.cp + '0') + f.last) {
        differences.emptyReferenceAsZero.count++;
        grai = f.cp + checkDigit(f.cp) + f.last;
      }
      if (grai.length === 13 + f.last.length) {
        differences.graiElementLeadingZero.count++;
        grai = '0' + grai;
      }
      return [['8003', grai]];
    },
  },
  {
    name: 'giai-96', id: 'giai', header: 52, refName: 'asset_reference',
    refBits: [42, 45, 48, 52, 55, 58, 62],
    make: (f) => new tds.Giai96().setFilter(f.filter)
        .setPartition(12 - f.cp.length).setCompanyPrefix(Number(f.cp))
        .setAssetReference(BigInt(f.ref)),
    elements: (o) => [['8004', o.toBarcode()]],
  },
  {
    name: 'sgtin-198', id: 'sgtin', header: 54, refName: 'item_reference',
    refDigits: (cp) => referenceDigits(cp, 13), last: ['serial', 0],
    alphanumeric: true,
    make: (f) => new tds.Sgtin198().setFilter(f.filter)
        .setPartition(12 - f.cp.length).setCompanyPrefix(Number(f.cp))
        .setItemReference(Number(f.ref)).setSerial(f.last),
    elements: (o, f) => [['01', o.toBarcode()], ['21', f.last]],
  },
];
const gid = { name: 'gid-96', id: 'gid', header: 53 };

// The 82 characters an alphanumeric serial may hold.
const serialChars = '!"%&\'()*+,-./0123456789:;<=>?' +
    'ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz';
function randomSerial() {
  let out = '';
  for (let n = 1 + below(20); n > 0; n--) out += serialChars[below(serialChars.length)];
  return out;
}

function randomFields(s) {
  const cp = randomDigits(6 + below(7));
  const f = { filter: below(8), cp };
  f.ref = s.refBits ? String(randomInteger(s.refBits[12 - cp.length]))
                    : randomDigits(s.refDigits(cp));
  if (s.alphanumeric) {
    f.last = randomSerial();
  } else if (s.last) {
    f.last = String(randomInteger(s.last[1]));
  }
  return f;
}

function expectedUris(s, f) {
  const rest = [f.cp, f.ref].concat(s.last ? [uriEscaped(f.last)] : []).join('.');
  return {
    tag: `urn:epc:tag:${s.name}:${f.filter}.${rest}`,
    pure: `urn:epc:id:${s.id}:${rest}`,
  };
}

function writeData(s, f) {
  let data = `${s.header}:filter=${f.filter};company_prefix=${f.cp};` +
             `${s.refName}=${f.ref}`;
  if (s.last) data += `;${s.last[0]}=${f.last.replace(/[;=\\]/g, '\\$&')}`;
  return data;
}


// Build every case first, then ask the probe once.
const cases = [];
for (const s of schemes) {
  for (let k = 0; k < perScheme; k++) {
    const f = randomFields(s);
    const o = s.make(f);
    cases.push({ s, f, hex: o.toHexString(), expect: expectedUris(s, f) });
  }
}
for (let k = 0; k < perScheme; k++) {
  const f = { m: String(randomInteger(28)), c: String(randomInteger(24)),
              n: String(randomInteger(36)) };
  const o = new tds.Gid96().setManager(Number(f.m)).setClass(Number(f.c))
      .setSerial(Number(f.n));
  const rest = `${f.m}.${f.c}.${f.n}`;
  cases.push({
    s: gid, f, hex: o.toHexString(),
    expect: { tag: `urn:epc:tag:gid-96:${rest}`, pure: `urn:epc:id:gid:${rest}` },
    data: `53:general_manager=${f.m};object_class=${f.c};serial=${f.n}`,
  });
}
const randomHex = [];
for (const h of [48, 49, 50, 51, 52, 53]) {
  for (let k = 0; k < perScheme; k++) {
    randomHex.push(((BigInt(h) << 88n) | randomBits(88))
                       .toString(16).toUpperCase().padStart(24, '0'));
  }
}

const requests = [];
for (const c of cases) {
  requests.push('D ' + c.hex);
  requests.push('W ' + (c.data || writeData(c.s, c.f)));
}
for (const h of randomHex) requests.push('D ' + h);
const answers = askProbe(probe, requests);
const { fail, finish } = disagreements();
let a = 0;
for (const c of cases) {
  const decoded = answers[a++];
  const written = answers[a++];
  // 1. epc-tds encodes, we decode.
  const [tagUri, pureUri, elementText] = decoded.replace(/^OK /, '').split('\t');
  if (!decoded.startsWith('OK ')) {
    fail(`${c.hex}: we do not decode it: ${decoded}`);
  } else {
    if (tagUri !== c.expect.tag) fail(`${c.hex}: tag URI ${tagUri}, expected ${c.expect.tag}`);
    if (pureUri !== c.expect.pure) fail(`${c.hex}: pure URI ${pureUri}, expected ${c.expect.pure}`);
    // The element string: epc-tds's values, each after its (AI).
    const theirs = (c.s.elements ? c.s.elements(tds.valueOf(c.hex), c.f) : [])
        .map(([ai, value]) => `(${ai})${value}`).join('');
    if (elementText !== theirs) {
      fail(`${c.hex}: element string ${elementText}, epc-tds ${theirs}`);
    }
  }
  // 2. We encode the same fields; epc-tds decodes ours.
  let sameBits = 'OK ' + c.hex;
  if (c.s.alphanumeric && c.hex.length === 50) {
    differences.wholeBytes.count++;
    sameBits += '00';
  }
  if (written !== sameBits) {
    fail(`${c.data || writeData(c.s, c.f)}: we encode ${written}, epc-tds ${c.hex}`);
    continue;
  }
  const back = tds.valueOf(written.slice(3));
  const cp = c.f.cp || '';
  const theirTag = standardUri(back.toTagURI(), c.s, cp, c.f.last);
  const theirPure = standardUri(back.toIdURI(), c.s, cp, c.f.last);
  if (theirTag !== c.expect.tag) fail(`${c.hex}: epc-tds reads our EPC as ${theirTag}`);
  if (theirPure !== c.expect.pure) fail(`${c.hex}: epc-tds reads our EPC as ${theirPure}`);
}

// 3. Random bits under each known header.
const refusals = {};
let decodedRandom = 0;
for (const h of randomHex) {
  const ours = answers[a++];
  let theirs = null;
  try {
    const o = tds.valueOf(h);
    const cpMatch = ours.match(/^OK urn:epc:tag:[^:]+:\d\.(\d+)\./);
    const s = schemes.find((x) => x.header === parseInt(h.slice(0, 2), 16)) || gid;
    theirs = standardUri(o.toTagURI(), s, cpMatch ? cpMatch[1] : '');
  } catch (e) {
    theirs = null;
  }
  if (ours.startsWith('OK ')) {
    decodedRandom++;
    const tagUri = ours.slice(3).split('\t')[0];
    if (theirs !== tagUri) fail(`${h}: we read ${tagUri}, epc-tds ${theirs}`);
  } else if (ours.startsWith('RAW ')) {
    const reason = ours.slice(4).replace(/\d+/g, 'N');
    refusals[reason] = (refusals[reason] || 0) + 1;
    if (theirs !== null) differences.acceptsOverlongValues.count++;
  } else {
    fail(`${h}: ${ours}`);
  }
}
if (a !== requests.length) fail(`probe answered ${answers.length - 1} of ${requests.length} requests`);

console.log(`EPC cross-check (seed ${seed}): ${cases.length} EPCs both ways, ` +
            `${randomHex.length} random (${decodedRandom} decoded)`);
for (const d of Object.values(differences)) console.log(`  known difference, ${d.count}x: ${d.what}`);
for (const [reason, n] of Object.entries(refusals)) console.log(`  shown raw, ${n}x: ${reason}`);
finish();
