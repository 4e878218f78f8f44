// The tag service's live page in headless Debian chromium: the demo field
// shows, a tag written with korvo appears within two seconds and its markup
// stays text, a disconnected reader shows as such, and the page fits a phone.
// A service with tokens answers the browser 401 without credentials and
// shows the page with HTTP Basic credentials whose password is a read token.
// usage: node live_page_test.mjs TAG_SERVICE KORVO SESSION_LIBRARY OUTPUT_DIR
import {spawn, execFile} from 'node:child_process';
import {mkdtempSync, rmSync, writeFileSync} from 'node:fs';
import {tmpdir} from 'node:os';
import {join} from 'node:path';
import {createInterface} from 'node:readline';

let chromium;
try {
  ({chromium} = await import('playwright-core'));
} catch {
  console.error('skipped: playwright-core is missing (npm ci --prefix tests/browser)');
  process.exit(77);
}

const [tagService, korvo, library, outDir] = process.argv.slice(2);
const guard = setTimeout(() => { console.error('FAIL: timed out'); process.exit(1); }, 110000);

let failures = 0;
let serviceLog = '';
function check(ok, what) {
  console.log((ok ? 'ok   ' : 'FAIL ') + what);
  if (!ok) ++failures;
}

// Resolves to the child and its port; its log goes to log(text).
function startService(args = [], log = text => { serviceLog += text; }) {
  const child = spawn(tagService, ['--port', '0', '--log', ...args], {stdio: ['ignore', 'pipe', 'pipe']});
  child.stderr.setEncoding('utf8');
  child.stderr.on('data', log);
  return new Promise((resolve, reject) => {
    createInterface({input: child.stdout}).once('line', line => resolve({child, port: Number(line)}));
    child.once('exit', code => reject(new Error('tag-service exited with ' + code)));
  });
}

// The library is named with dll: under AddressSanitizer, whose dlopen
// stands in for korvo's, korvo's RUNPATH does not find it.
function runKorvo(args) {
  return new Promise(resolve => {
    execFile(korvo, [...args, 'dll', library], {timeout: 15000}, (error, stdout, stderr) =>
      resolve({code: error ? error.code : 0, stdout, stderr}));
  });
}

// True when the element at `selector` shows `text` (exactly, or somewhere
// in it) within `ms`.
async function shows(page, selector, text, ms = 1000, exact = false) {
  try {
    await page.waitForFunction(([s, t, x]) => {
      const e = document.querySelector(s);
      return e !== null && (x ? e.textContent === t : e.textContent.includes(t));
    }, [selector, text, exact], {timeout: ms, polling: 50});
    return true;
  } catch {
    return false;
  }
}

const {child: service, port} = await startService();
const url = `http://127.0.0.1:${port}`;
const profile = mkdtempSync(join(tmpdir(), 'korvo-chromium-'));
// The second service takes tokens (on loopback no TLS is needed).
const readToken = 'dashboard-read-0123456789abcdef';
const tokens = join(profile, 'tokens');
writeFileSync(tokens, `dashboard read ${readToken}\n`, {mode: 0o600});
let guardedLog = '';
const {child: guarded, port: guardedPort} =
  await startService(['--tokens', tokens], text => { guardedLog += text; });
const guardedUrl = `http://127.0.0.1:${guardedPort}`;
const context = await chromium.launchPersistentContext(profile, {
  executablePath: '/usr/bin/chromium',
  headless: true,
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic',
         '--no-first-run', '--disable-background-networking',
         '--disable-component-update', '--disable-sync'],
  viewport: {width: 1280, height: 900},
});
try {
  const page = context.pages()[0] ?? await context.newPage();
  const requests = [];
  page.on('request', r => requests.push(r.url()));
  const response = await page.goto(url + '/');
  const policy = response.headers()['content-security-policy'] ?? '';
  const scripts = policy.split(';').map(d => d.trim()).find(d => d.startsWith('script-src')) ?? '';
  check(policy.includes("frame-ancestors 'none'") && scripts !== '' && !scripts.includes('unsafe-inline'),
        'the page comes with its content security policy as a header, no inline script allowed');

  // The demo field, the reader and the formats, before anyone connected.
  check(await shows(page, '#field tbody', 'Zoë Ångström', 5000), 'the demo field shows');
  check(await shows(page, '#field tbody', '東京倉庫-07'), 'texts keep their characters');
  check(await shows(page, '#field-title', '12 items'), 'every demo item is counted');
  check(await shows(page, '#source', 'simulated'), 'the reader is the simulated one');
  check(await shows(page, '#connected', 'disconnected', 1000, true), 'the reader starts disconnected');
  check(await shows(page, '#formats', 'Cold-chain pallet'), 'the formats show');

  // A tag written with korvo, with markup in its text.
  const markup = '<img src=x onerror=window.pwned=1>';
  const written = await runKorvo(['write', `1:serial=SN-LIVE-1;owner=${markup}`,
                                  'addr', url + '/TagService']);
  check(written.code === 0, 'korvo writes a tag: ' + written.stderr.trim());
  check(await shows(page, '#field tbody', 'SN-LIVE-1', 2000), 'the written tag shows within two seconds');
  check(await shows(page, '#field tbody', markup), 'its markup shows as text');
  check(await page.evaluate(() => document.querySelector('#field img') === null &&
                                  window.pwned === undefined),
        'its markup makes no element and runs nothing');
  check(await shows(page, '#connected', 'connected', 2000, true), 'the reader shows as connected');
  check(await shows(page, '#inventory', 'running', 1000, true), 'the inventory shows as running');
  await page.screenshot({path: join(outDir, 'live_page_desktop.png'), fullPage: true});

  // The reader disconnected by korvo.
  const stopped = await runKorvo(['print', 'disconnect', 'addr', url + '/TagService']);
  check(stopped.code === 0, 'korvo disconnects the reader');
  check(await shows(page, '#connected', 'disconnected', 2000, true), 'a disconnected reader shows as such');
  check(await shows(page, '#inventory', 'stopped', 1000, true), 'its inventory shows as stopped');

  // A phone: nothing wider than the screen.
  await page.setViewportSize({width: 390, height: 844});
  await page.waitForTimeout(200);
  check(await page.evaluate(() => document.documentElement.scrollWidth <= window.innerWidth),
        'the page fits a phone screen');
  await page.screenshot({path: join(outDir, 'live_page_phone.png')});

  // A field of far more rows than a page can show (the snapshot stands in
  // for a busy reader's): the first rows, and how many more there are.
  const big = await context.newPage();
  const items = Array.from({length: 140000}, (_, i) => ({id: 'I' + i, tags: [{id: 'E' + i, format: 48}]}));
  const bigBody = JSON.stringify({
    reader: {source: 'llrp://192.0.2.1:5084', connected: true, inventory: true, last_error: ''},
    formats: [], items, time: '2026-12-09T00:00:00Z'});
  // Sent once: the page keeps what it shows while later polls fail.
  let polls = 0;
  await big.route(url + '/status.json', r => ++polls === 1
    ? r.fulfill({status: 200, contentType: 'application/json', body: bigBody})
    : r.fulfill({status: 503, body: ''}));
  await big.goto(url + '/');
  check(await shows(big, '#field-title', '140000 items, 140000 tags', 30000),
        'a field of 140000 rows renders');
  check(await shows(big, '#more-rows', '139000 more rows not shown'),
        'it shows the first rows and says how many more there are');
  check(await big.evaluate(() => document.querySelectorAll('#field tbody tr').length) === 1001,
        'it keeps the page to the first thousand rows');
  await big.close();

  // The service gone: the page says so instead of showing old data as new.
  service.kill('SIGTERM');
  check(await shows(page, '#updated', 'does not answer', 4000), 'a silent service shows as such');

  // The service with tokens: 401 and a Basic challenge without
  // credentials, the page and its field with a read token as password.
  const login = await context.newPage();
  const challenged = login.waitForResponse(guardedUrl + '/', {timeout: 5000});
  // Without credentials chromium gives up on the challenge.
  await login.goto(guardedUrl + '/').catch(() => {});
  const refused = await challenged;
  check(refused.status() === 401 && /^Basic /.test(refused.headers()['www-authenticate'] ?? ''),
        'without credentials the page is refused with 401 and a Basic challenge');
  await context.setHTTPCredentials({username: 'anyone', password: readToken, origin: guardedUrl});
  const admitted = await login.goto(guardedUrl + '/');
  check(admitted.status() === 200, 'with a read token as Basic password the page comes');
  check(await shows(login, '#field tbody', 'Zoë Ångström', 5000), 'and shows the field it polls');
  check(/token=dashboard/.test(guardedLog) && !guardedLog.includes(readToken),
        'the service logs the token by its name, never the token');
  await login.close();

  check(requests.every(r => r.startsWith(url + '/')), 'the page loads nothing from elsewhere');
  // --log: one line per request, UTC timestamp first, then key=value fields.
  const line = /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{7})?Z method=GET path=\/status\.json status=200 ms=\d+ client=127\.0\.0\.1$/m;
  check(line.test(serviceLog), 'the service logs each poll as one key=value line');
} finally {
  await context.close();
  service.kill('SIGTERM');
  guarded.kill('SIGTERM');
  rmSync(profile, {recursive: true, force: true});
  clearTimeout(guard);
}
console.log(failures === 0 ? 'all live page checks pass' : `${failures} checks failed`);
process.exit(failures === 0 ? 0 : 1);
