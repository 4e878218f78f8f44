#!/usr/bin/env node
'use strict';
// An LLRP reader emulator for tests. Listens on 127.0.0.1, prints the port as
// the first line of standard output, then takes JSON commands one per line on
// standard input and answers each with one JSON line. It exits when standard
// input closes, so a test that dies leaves no emulator behind.
// See README.md for the options and the commands.

const fs = require('fs');
const readline = require('readline');

const USAGE = 'usage: reader.js [--port N] [--antennas N] [--no-gen2] [--report-ms N] ' +
    '[--tags FILE] [--static-reports N] [--log]';

function parse_args(argv) {
  const o = {port: 0, antennas: 4, gen2: true, report_ms: 100, tags: null, log: false,
    static_reports: 0};
  const number = (name, value, min, max) => {
    const n = Number(value);
    if (value === undefined || !/^\d+$/.test(value) || n < min || n > max) {
      throw new Error(`${name} needs a whole number from ${min} to ${max}`);
    }
    return n;
  };
  for (let i = 0; i < argv.length; i++) {
    const a = argv[i];
    switch (a) {
      case '--port': o.port = number(a, argv[++i], 0, 65535); break;
      case '--antennas': o.antennas = number(a, argv[++i], 1, 65535); break;
      case '--no-gen2': o.gen2 = false; break;
      case '--report-ms': o.report_ms = number(a, argv[++i], 1, 3600000); break;
      case '--tags':
        if (argv[i + 1] === undefined) throw new Error('--tags needs a file');
        o.tags = argv[++i];
        break;
      case '--static-reports': o.static_reports = number(a, argv[++i], 1, 100000); break;
      case '--log': o.log = true; break;
      default: throw new Error(`unknown argument ${JSON.stringify(a)}`);
    }
  }
  return o;
}

function tags_of_file(file) {
  const doc = JSON.parse(fs.readFileSync(file, 'utf8'));
  return Array.isArray(doc) ? doc : doc.tags;
}

function reply(obj) {
  process.stdout.write(JSON.stringify(obj) + '\n');
}

function run_command(em, line, quit) {
  let cmd;
  try {
    cmd = JSON.parse(line);
  } catch (e) {
    return {ok: false, error: `not JSON: ${e.message}`};
  }
  if (!cmd || typeof cmd !== 'object') return {ok: false, error: 'a command is a JSON object'};
  try {
    switch (cmd.cmd) {
      case 'tags':
        em.set_tags(cmd.tags);
        return {ok: true};
      case 'schedule':
        em.set_schedule(cmd.steps);
        return {ok: true};
      case 'fault':
        em.set_fault(cmd);
        return {ok: true};
      case 'state':
        return {ok: true, ...em.state()};
      case 'quit':
        quit();
        return {ok: true};
      default:
        return {ok: false, error: `unknown command ${JSON.stringify(cmd.cmd)}`};
    }
  } catch (e) {
    return {ok: false, error: e.message};
  }
}

async function main() {
  let options;
  try {
    options = parse_args(process.argv.slice(2));
  } catch (e) {
    process.stderr.write(`reader.js: ${e.message}\n${USAGE}\n`);
    process.exit(2);
  }
  // Loaded after the options are checked: llrpjs takes a while to load.
  const {emulator} = require('./emulator');
  const log = options.log ? (text) => process.stderr.write(`emulator: ${text}\n`) : null;
  const em = new emulator({...options, log});
  if (options.tags) {
    try {
      em.set_tags(tags_of_file(options.tags));
    } catch (e) {
      process.stderr.write(`reader.js: ${options.tags}: ${e.message}\n`);
      process.exit(2);
    }
  }
  let port;
  try {
    port = await em.listen(options.port);
  } catch (e) {
    process.stderr.write(`reader.js: cannot listen on 127.0.0.1:${options.port}: ${e.message}\n`);
    process.exit(1);
  }
  reply(port);

  const quit = () => {
    em.close();
    // Let the last answer reach the pipe, then go.
    process.stdout.write('', () => process.exit(0));
  };
  const rl = readline.createInterface({input: process.stdin, terminal: false});
  rl.on('line', (line) => {
    if (!line.trim()) return;
    reply(run_command(em, line, () => setImmediate(quit)));
  });
  rl.on('close', quit);
}

main();
