// A capture endpoint of an EPCIS 2.0 repository, for the tests: it listens
// on 127.0.0.1 (a free port, printed as the first line of standard output)
// and takes POSTs on /capture. Every document is checked: the REST
// binding's headers and, with epcis2.js, GS1's schemas
// (validateEpcisDocument(doc, false)). A document that fails gets 400;
// otherwise the endpoint answers as told. The event ids of documents it
// answered 202 count as captured.
//
// Told on standard input, one JSON command a line, one JSON answer a line:
//   {"cmd":"answer","status":N}         answer N (202, 400, 500, ...)
//   {"cmd":"answer","status":N,"delay_ms":D}   the same, after D ms
//   {"cmd":"answer","hang":true}        read the request, never answer
//   {"cmd":"down"}  close the port and every connection; {"cmd":"up"} reopen
//   {"cmd":"state"} what came: requests, answers by status, the ids of
//                   every valid document (seen), captured ids (in order),
//                   refused ids, the captured and refused events (their
//                   eventTime, epcList and readPoint), invalid documents,
//                   and the Authorization headers
// Options: --user NAME:PASSWORD (HTTP Basic required, else 401);
// --tls CERT KEY (HTTPS with this PEM certificate and key).
'use strict';

const fs = require('fs');
const http = require('http');
const https = require('https');
const readline = require('readline');
const { validateEpcisDocument } = require('epcis2.js');

const userArg = process.argv.indexOf('--user');
const expectedAuth = userArg > 0
  ? 'Basic ' + Buffer.from(process.argv[userArg + 1]).toString('base64')
  : null;

let answer = { status: 202, delay_ms: 0, hang: false };
const state = {
  requests: 0,
  statuses: {},
  seen: [],
  captured: [],
  refused: [],
  events: [],
  invalid: [],
  authorizations: [],
};
const sockets = new Set();
let port = 0;

function idsOf(doc) {
  const list = doc && doc.epcisBody && doc.epcisBody.eventList;
  return Array.isArray(list) ? list.map((e) => e.eventID) : [];
}

function reply(res, status, body) {
  state.statuses[status] = (state.statuses[status] || 0) + 1;
  res.writeHead(status, { 'Content-Type': 'application/problem+json' });
  res.end(body === undefined ? '' : JSON.stringify(body));
}

function handle(req, res, text) {
  state.requests += 1;
  if (req.method !== 'POST' || req.url !== '/capture') {
    reply(res, 404, { title: 'no such resource' });
    return;
  }
  state.authorizations.push(req.headers.authorization || '');
  if (expectedAuth && req.headers.authorization !== expectedAuth) {
    reply(res, 401, { title: 'who are you?' });
    return;
  }
  const problems = [];
  if (req.headers['content-type'] !== 'application/ld+json') {
    problems.push('Content-Type ' + req.headers['content-type']);
  }
  if (req.headers['gs1-epcis-version'] !== '2.0.0') {
    problems.push('GS1-EPCIS-Version ' + req.headers['gs1-epcis-version']);
  }
  let doc = null;
  try {
    doc = JSON.parse(text);
  } catch (e) {
    problems.push('not JSON: ' + e.message);
  }
  if (doc) {
    const result = validateEpcisDocument(doc, false);
    if (!result.success) problems.push(...result.errors.map(String));
  }
  if (problems.length > 0) {
    state.invalid.push({ problems, text: text.slice(0, 2000) });
    reply(res, 400, { type: 'epcisException:ValidationException', title: problems.join('; ') });
    return;
  }
  state.seen.push(...idsOf(doc));
  const now = answer;
  if (now.hang) return;  // the client gives up; the connection is dropped
  const finish = () => {
    const taken = now.status === 202;
    const refused = now.status >= 400 && now.status < 500;
    if (taken) state.captured.push(...idsOf(doc));
    if (refused) state.refused.push(...idsOf(doc));
    if (taken || refused) {
      for (const e of doc.epcisBody.eventList) {
        state.events.push({ eventTime: e.eventTime, epcList: e.epcList, readPoint: e.readPoint });
      }
    }
    reply(res, now.status, now.status === 202 ? undefined
      : { title: 'told to answer ' + now.status + '\nsecond line' });
  };
  if (now.delay_ms > 0) setTimeout(finish, now.delay_ms); else finish();
}

const tlsArg = process.argv.indexOf('--tls');
const onRequest = (req, res) => {
  const parts = [];
  req.on('data', (d) => parts.push(d));
  req.on('end', () => handle(req, res, Buffer.concat(parts).toString('utf8')));
};
const server = tlsArg > 0
  ? https.createServer({
    cert: fs.readFileSync(process.argv[tlsArg + 1]),
    key: fs.readFileSync(process.argv[tlsArg + 2]),
  }, onRequest)
  : http.createServer(onRequest);
server.on('connection', (s) => {
  sockets.add(s);
  s.on('close', () => sockets.delete(s));
});

function listen(onListening) {
  server.listen(port, '127.0.0.1', () => {
    port = server.address().port;
    onListening();
  });
}

listen(() => process.stdout.write(port + '\n'));

const lines = readline.createInterface({ input: process.stdin });
lines.on('line', (line) => {
  let cmd;
  try {
    cmd = JSON.parse(line);
  } catch (e) {
    process.stdout.write(JSON.stringify({ error: 'not JSON' }) + '\n');
    return;
  }
  const done = (x) => process.stdout.write(JSON.stringify(x || { ok: true }) + '\n');
  if (cmd.cmd === 'answer') {
    answer = { status: cmd.status || 202, delay_ms: cmd.delay_ms || 0, hang: !!cmd.hang };
    done();
  } else if (cmd.cmd === 'down') {
    server.close(() => done());
    for (const s of sockets) s.destroy();
  } else if (cmd.cmd === 'up') {
    listen(() => done());
  } else if (cmd.cmd === 'state') {
    done(state);
  } else {
    done({ error: 'unknown command' });
  }
});
lines.on('close', () => {
  for (const s of sockets) s.destroy();
  server.close(() => process.exit(0));
});
