// The page module's own checks, run under Node's WebCrypto.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import http from 'node:http';
import { test } from 'node:test';

import * as module from '../../web/corvane-verify.js';
import { createNonce, fetchReport, signedPayload, verifyReport } from '../../web/corvane-verify.js';

// The table corvane-verify and the Python package judge too.
const TABLE = JSON.parse(fs.readFileSync(new URL('../vectors/reports.json', import.meta.url), 'utf8'));
const BAD_NUMBER = 'invalid: a number is not an integer between -(2^53-1) and 2^53-1';

// JSON.parse refuses NaN and rounds 1.0 to 1: where the parsed object breaks no rule
// the text did, the fault is in the text alone and only the text form is judged.
function objectForm(text, verdict) {
  let value;
  try {
    value = JSON.parse(text);
  } catch {
    return [];
  }
  let broken = verdict !== BAD_NUMBER;
  if (!broken)
    JSON.stringify(value, (key, member) => {
      broken ||= typeof member === 'number' && (!Number.isSafeInteger(member) || Object.is(member, -0));
      return member;
    });
  return broken ? [value] : [];
}

test('each report vector gets its verdict and code, as text and as a parsed object', async () => {
  const { nonce, origin, max_age: maxAge, now, deep } = TABLE;
  const built = deep.before + '['.repeat(deep.depth) + ']'.repeat(deep.depth) + deep.after;
  for (const { name, verdict, code, report } of [...TABLE.vectors, { ...deep, report: built }]) {
    for (const input of [report, ...objectForm(report, verdict)]) {
      const judged = await verifyReport(input, { nonce, origin, maxAge, now });
      assert.deepEqual([judged.verified ? 'valid' : `invalid: ${judged.reason}`, judged.code], [verdict, code],
        `${name} (${typeof input})`);
    }
  }
});

test('whatever object it is given, verifyReport ends in a verdict', async () => {
  const cycle = {};
  cycle.self = cycle;
  const inputs = [undefined, 1n, cycle, { get timestamp() { throw new Error('a getter'); } }];
  const reasons = await Promise.all(inputs.map(async (input) => (await verifyReport(input)).reason));
  assert.deepEqual(reasons, ['not JSON', 'not JSON', 'nested deeper than 16 levels', 'not JSON']);
});

test('with an expected key, the report must carry exactly that key', async () => {
  const { report } = TABLE.vectors[0];
  const { code } = await verifyReport(report, { expectedKey: JSON.parse(report).public_key.toLowerCase() });
  assert.equal(code, 'key-mismatch');
  assert.equal((await verifyReport(report, { expectedKey: JSON.parse(report).public_key })).verified, true);
});

test('fetchReport gives its own failures codes: the agent refused, nothing answered', async () => {
  const server = http.createServer((request, response) =>
    response.writeHead(400, { Connection: 'close' }).end('{"error": "the nonce is malformed"}'));
  await new Promise((listening) => server.listen(0, '127.0.0.1', listening));
  const url = `http://127.0.0.1:${server.address().port}/`;
  const refused = await fetchReport(url);
  await new Promise((closed) => server.close(closed));
  const unanswered = await fetchReport(url);
  assert.deepEqual([refused.reason, refused.code, refused.text, unanswered.code],
    ['the agent answered with status 400: the nonce is malformed', 'agent-error', '{"error": "the nonce is malformed"}',
      'unreachable']);
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
  const read = (path) => fs.readFileSync(new URL(path, import.meta.url), 'utf8');
  const declared = [...read('../../web/corvane-verify.d.ts').matchAll(/^export (?:declare )?(?:function|const) (\w+)/gm)];
  assert.deepEqual([...new Set(declared.map((match) => match[1]))].sort(), Object.keys(module).sort());
  const { version } = JSON.parse(read('../../web/package.json'));
  assert.equal(version, /project\([^)]*VERSION (\S+)/.exec(read('../../CMakeLists.txt'))[1]);
});
