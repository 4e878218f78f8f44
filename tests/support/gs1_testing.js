'use strict';
// What the Node.js cross-checks against GS1 oracles share: seeded random
// values (mulberry32: small, seeded, good enough to spread test values),
// the GS1 check digit, the probe they ask, and the record of
// disagreements.
const { spawnSync } = require('child_process');

// A generator of its own for the seed.
function seeded(seed) {
  let state = seed >>> 0;
  function next32() {
    state = (state + 0x6d2b79f5) >>> 0;
    let t = state;
    t = Math.imul(t ^ (t >>> 15), t | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return (t ^ (t >>> 14)) >>> 0;
  }
  const below = (n) => next32() % n;
  function randomDigits(n) {
    let s = '';
    for (let k = 0; k < n; k++) s += String(below(10));
    return s;
  }
  return { next32, below, randomDigits };
}

// The GS1 check digit: weights 3 and 1 alternating from the right.
function checkDigit(digits) {
  let sum = 0;
  for (let k = 0; k < digits.length; k++) {
    sum += Number(digits[digits.length - 1 - k]) * (k % 2 === 0 ? 3 : 1);
  }
  return String((10 - (sum % 10)) % 10);
}

// The probe's answer lines to the request lines, all asked at once; on a
// probe that fails, says why and exits 1.
function askProbe(probe, requests) {
  const run = spawnSync(probe, [], {
    input: requests.join('\n') + '\n', encoding: 'utf8', timeout: 30000,
    maxBuffer: 64 << 20,
  });
  if (run.status !== 0) {
    console.error(`probe failed: status ${run.status} ${run.error || ''}`);
    console.error(run.stderr);
    process.exit(1);
  }
  return run.stdout.split('\n');
}

// Disagreements: all counted, the first 20 kept; finish() prints them and
// exits 1 when there were any.
function disagreements() {
  const shown = [];
  let count = 0;
  return {
    fail(what) {
      if (count++ < 20) shown.push(what);
    },
    finish() {
      if (count === 0) return;
      console.error(`${count} disagreements, the first ones:`);
      for (const f of shown) console.error('  ' + f);
      process.exit(1);
    },
  };
}

module.exports = { seeded, checkDigit, askProbe, disagreements };
