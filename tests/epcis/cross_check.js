'use strict';
// Cross-check of our EPCIS 2.0 events against an implementation nobody here
// wrote, the npm package epcis2.js, over seeded events of every EPC scheme
// our codec decodes (EPCs made by epc-tds), raw EPCs, and contexts of every
// kind (SGLN and other read points, CBV words and URIs, time zones):
//   1. every EPCISDocument the probe writes validates against GS1's JSON
//      schemas that epcis2.js ships (validateEpcisDocument);
//   2. every ObjectEvent's eventID equals epcis2.js's eventToHashedId of the
//      same event;
//   3. epcList holds the pure identity URI of a known scheme, the raw URI of
//      any other EPC; the kinds that become nothing give nothing.
//
// Usage: node cross_check.js PROBE [EVENTS_PER_SCHEME]
// (EPCIS_SEED in the environment picks another seed.)
const path = require('path');
const { seeded, askProbe, disagreements } = require('../support/gs1_testing');

function need(name, where, prefix) {
  try {
    return require(where);
  } catch (e) {
    console.error(`${name} is missing: run \`npm ci --prefix ${prefix}\` first`);
    process.exit(1);
  }
}
const oracle = need('epcis2.js', './oracle', 'tests/epcis');
const tds = need('epc-tds', path.join(__dirname, '..', 'epc', 'node_modules', 'epc-tds'),
                 'tests/epc');

const probe = process.argv[2];
const perScheme = Number(process.argv[3] || 210);
const seed = Number(process.env.EPCIS_SEED || 20261209);
if (!probe) {
  console.error('usage: node cross_check.js PROBE [EVENTS_PER_SCHEME]');
  process.exit(2);
}

const { below, randomDigits } = seeded(seed);
const pick = (list) => list[below(list.length)];
const randomNumber = (maxDigits) => String(Number(randomDigits(1 + below(maxDigits))));
const serialChars = '!"%&\'()*+,-./0123456789:;<=>?' +
    'ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz';
function randomText(chars, max) {
  let out = '';
  for (let n = 1 + below(max); n > 0; n--) out += chars[below(chars.length)];
  return out;
}

// EPCs of every scheme, as epc-tds encodes them: [hex, the URI's scheme].
const cpOf = () => randomDigits(6 + below(7));
const schemes = {
  'sgtin-96': () => {
    const cp = cpOf();
    return new tds.Sgtin96().setFilter(below(8)).setPartition(12 - cp.length)
        .setCompanyPrefix(Number(cp)).setItemReference(Number(randomDigits(13 - cp.length)))
        .setSerial(Number(randomNumber(11)));
  },
  'sscc-96': () => {
    const cp = cpOf();
    return new tds.Sscc96().setFilter(below(8)).setPartition(12 - cp.length)
        .setCompanyPrefix(Number(cp)).setSerialReference(Number(randomDigits(17 - cp.length)));
  },
  'sgln-96': () => {
    const cp = cpOf();
    return new tds.Sgln96().setFilter(below(8)).setPartition(12 - cp.length)
        .setCompany(Number(cp)).setLocation(Number(randomDigits(12 - cp.length) || '0'))
        .setExtension(Number(below(4) === 0 ? '0' : randomNumber(12)));
  },
  'grai-96': () => {
    const cp = cpOf();
    return new tds.Grai96().setFilter(below(8)).setPartition(12 - cp.length)
        .setCompanyPrefix(Number(cp)).setAssetType(Number(randomDigits(12 - cp.length) || '0'))
        .setSerial(Number(randomNumber(11)));
  },
  'giai-96': () => {
    const cp = cpOf();
    return new tds.Giai96().setFilter(below(8)).setPartition(12 - cp.length)
        .setCompanyPrefix(Number(cp)).setAssetReference(BigInt(randomNumber(12)));
  },
  'gid-96': () => new tds.Gid96().setManager(Number(randomNumber(8)))
      .setClass(Number(randomNumber(7))).setSerial(Number(randomNumber(10))),
  'sgtin-198': () => {
    const cp = cpOf();
    return new tds.Sgtin198().setFilter(below(8)).setPartition(12 - cp.length)
        .setCompanyPrefix(Number(cp)).setItemReference(Number(randomDigits(13 - cp.length)))
        .setSerial(randomText(serialChars, 20));
  },
};
const pureScheme = { 'sgtin-96': 'sgtin', 'sscc-96': 'sscc', 'sgln-96': 'sgln',
  'grai-96': 'grai', 'giai-96': 'giai', 'gid-96': 'gid', 'sgtin-198': 'sgtin' };
function randomHex(digits) {
  let s = '';
  for (let k = 0; k < digits; k++) s += '0123456789ABCDEF'[below(16)];
  return s;
}
// EPCs of no known scheme: an unknown header of several lengths, and one
// whose length no hex digit count tells (its id is its raw URI).
function rawEpc() {
  const r = below(4);
  if (r === 3) return { tagId: `urn:epc:raw:97.x${randomHex(24)}`, uri: null };
  const hex = 'E2' + randomHex([22, 30, 62][r]);
  return { tagId: hex, uri: `urn:epc:raw:${hex.length * 4}.x${hex}` };
}

// Contexts: read points of every kind, CBV words and URIs, time zones.
const sgln = () => {
  const cp = cpOf();
  return `urn:epc:id:sgln:${cp}.${randomDigits(12 - cp.length)}.${pick(['0', randomNumber(5)])}`;
};
const nameChars = 'abcXYZ019 -_.:/%é';
function randomContext() {
  const readPoints = [];
  for (let a = 1; a <= 1 + below(4); a++) {
    if (below(3) === 0) continue;  // an antenna of no read point: the default URI
    readPoints.push({ antenna: a, alias: `door ${a}`,
      id: pick([sgln(), sgln(), 'urn:example:rp:' + randomHex(4),
                'https://example.com/site/' + randomHex(6)]) });
  }
  const file = { read_points: readPoints };
  if (below(3) > 0) file.business_location = pick([sgln(), 'urn:example:site:' + randomHex(3)]);
  if (below(2) === 0) {
    file.time_zone_offset = (below(2) ? '+' : '-') + String(below(15)).padStart(2, '0') +
        ':' + pick(['00', '30', '45']);
    if (file.time_zone_offset.slice(1, 3) === '14') file.time_zone_offset = '+14:00';
  }
  return {
    reader: randomText(nameChars, 12),
    biz_step: pick(['arriving', 'receiving', 'cycle_counting', '', 'https://example.com/steps/look',
                    'https://ref.gs1.org/cbv/BizStep-storing']),
    disposition: pick(['', 'in_progress', 'sellable_accessible', 'urn:example:disp:x']),
    read_points: file,
  };
}

// Build every request first, then ask the probe once.
const requests = [];
const expected = [];  // per request: what to check in its answer
const kinds = ['arrived', 'arrived', 'arrived', 'moved', 'moved', 'departed', 'reader', 'gap'];
const names = Object.keys(schemes).concat(['raw']);
let time = 1765286400000 + below(1e9);
for (let k = 0; k < perScheme; k++) {
  if (k % 20 === 0) {
    requests.push({ context: randomContext() });
    expected.push({ what: 'context' });
  }
  for (const name of names) {
    let tagId;
    let uri;
    if (name === 'raw') {
      ({ tagId, uri } = rawEpc());
    } else {
      tagId = schemes[name]().toHexString();
      uri = `urn:epc:id:${pureScheme[name]}:`;
    }
    time += below(5000);
    const kind = pick(kinds);
    requests.push({ event: { kind, tag_id: tagId, antenna: below(6), time_ms: time } });
    expected.push({ what: 'event', kind, name, tagId, uri });
  }
  if (k % 10 === 9 || k === perScheme - 1) {
    requests.push({ document: time + 250 });
    expected.push({ what: 'document' });
  }
}

const answers = askProbe(probe, requests.map((r) => JSON.stringify(r)));
const { fail, finish } = disagreements();
let events = 0;
const objectEvents = {};  // by scheme
let documents = 0;
const perKind = {};
for (let a = 0; a < expected.length; a++) {
  const x = expected[a];
  const answer = answers[a];
  if (answer === undefined) {
    fail(`probe answered ${answers.length - 1} of ${requests.length} requests`);
    break;
  }
  if (x.what === 'context') {
    if (answer !== 'OK') fail(`context ${JSON.stringify(requests[a])}: ${answer}`);
    continue;
  }
  if (x.what === 'document') {
    documents++;
    // The ids are checked event by event below.
    for (const error of oracle.checkDocument(JSON.parse(answer), false)) fail(`document ${error}`);
    continue;
  }
  perKind[x.kind] = (perKind[x.kind] || 0) + 1;
  const becomes = x.kind === 'arrived' || x.kind === 'moved';
  if (!becomes) {
    if (answer !== 'NONE') fail(`${x.kind} ${x.tagId} became ${answer}`);
    continue;
  }
  let e;
  try {
    e = JSON.parse(answer);
  } catch (err) {
    fail(`${x.kind} ${x.tagId}: not JSON: ${answer}`);
    continue;
  }
  events++;
  objectEvents[x.name] = (objectEvents[x.name] || 0) + 1;
  const epc = (e.epcList || [])[0] || '';
  const uriOk = x.name === 'raw' ? epc === (x.uri || x.tagId) : epc.startsWith(x.uri);
  if (!uriOk) fail(`${x.tagId} (${x.name}): epcList ${epc}`);
  const disagreement = oracle.checkEventId(e);
  if (disagreement) fail(`${x.tagId}: ${disagreement}`);
}

for (const name of names) {
  if (!objectEvents[name]) fail(`no ObjectEvent of scheme ${name} was checked`);
}
console.log(`EPCIS cross-check (seed ${seed}): ${events} ObjectEvents with epcis2.js's ` +
            `ids, ${documents} documents valid; events by kind ${JSON.stringify(perKind)}, ` +
            `ObjectEvents by scheme ${JSON.stringify(objectEvents)}`);
oracle.printDifferences();
finish();
