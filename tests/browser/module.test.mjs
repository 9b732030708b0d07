// The page module's own checks, run under Node's WebCrypto.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import { test } from 'node:test';

import * as exported from '../../web/corvane-verify.js';
import { createNonce, fetchReport, signedPayload, verifyReport } from '../../web/corvane-verify.js';

const read = (path) => fs.readFileSync(new URL(path, import.meta.url), 'utf8');
// The table corvane-verify and the Python package judge too.
const TABLE = JSON.parse(read('../vectors/reports.json'));
const GENUINE = TABLE.vectors[0].report;

// JSON.parse refuses NaN and makes 1.0 a 1: where the parsed object breaks no number
// rule, the fault was in the text alone, and only the text is judged.
function objectForms(text, verdict) {
  let broken = !verdict.includes('a number is not'), value;
  try {
    value = JSON.parse(text);
  } catch {
    return [];
  }
  const breaks = (member) => typeof member === 'number' && !(Number.isSafeInteger(member) && !Object.is(member, -0));
  JSON.stringify(broken ? null : value, (key, member) => ((broken ||= breaks(member)), member));
  return broken ? [value] : [];
}

test('each report vector gets its verdict and code, as text and as a parsed object', async () => {
  const { nonce, origin, max_age: maxAge, now, deep } = TABLE;
  const built = { ...deep, report: deep.before + '['.repeat(deep.depth) + ']'.repeat(deep.depth) + deep.after };
  for (const { name, verdict, code, report } of [...TABLE.vectors, built]) {
    for (const input of [report, ...objectForms(report, verdict)]) {
      const judged = await verifyReport(input, { nonce, origin, maxAge, now });
      assert.deepEqual([judged.verified ? 'valid' : `invalid: ${judged.reason}`, judged.code], [verdict, code],
        `${name} (${typeof input})`);
    }
  }
});

test('beyond the table: an expected key, odd objects, an agent that does not answer', async () => {
  const key = JSON.parse(GENUINE).public_key, cycle = {};
  cycle.self = cycle;
  const inputs = [[GENUINE, key], [GENUINE, key.toLowerCase()], [cycle], [{ get timestamp() { throw Error(); } }]];
  const verdicts = await Promise.all(inputs.map(([input, expectedKey]) => verifyReport(input, { expectedKey })));
  verdicts.push(await fetchReport('http://127.0.0.1:9/')); // where nothing listens
  assert.deepEqual(verdicts.map(({ code }) => code), [null, 'key-mismatch', 'malformed', 'malformed', 'unreachable']);
});

test('object keys are written in code point order, integer-like keys included', () => {
  assert.equal(signedPayload({ b: 1, 10: 2, 9: 3, a: { '\uffff': 0, '\u{1f600}': 1 }, signature: 's', public_key: 'k' }),
    '{"10":2,"9":3,"a":{"\uffff":0,"\u{1f600}":1},"b":1}');
});

test('a nonce is 32 random bytes in base64url', () => {
  const nonce = createNonce();
  assert.match(nonce, /^[A-Za-z0-9_-]{43}$/);
  assert.equal(Buffer.from(nonce, 'base64url').length, 32);
  assert.notEqual(createNonce(), nonce);
});

test('the package declares every export, at the project version', () => {
  const declared = Array.from(read('../../web/corvane-verify.d.ts').matchAll(/^export (?:function|const) (\w+)/gm));
  assert.deepEqual([...new Set(declared.map((match) => match[1]))].sort(), Object.keys(exported).sort());
  const version = /project\([^)]*VERSION (\S+)/.exec(read('../../CMakeLists.txt'))[1];
  assert.equal(JSON.parse(read('../../web/package.json')).version, version);
});
