// The page module's own checks, run under Node's WebCrypto.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import { test } from 'node:test';

import { createNonce, signedPayload, verifyReport } from '../../web/corvane-verify.js';

// The table corvane-verify and the reference portal judge too.
const TABLE = JSON.parse(fs.readFileSync(new URL('../vectors/reports.json', import.meta.url), 'utf8'));

test('each report vector gets its verdict, as text and as a parsed object', async () => {
  const { nonce, origin, max_age: maxAge, now } = TABLE;
  for (const { name, verdict, report } of TABLE.vectors) {
    const inputs = [report];
    try {
      inputs.push(JSON.parse(report));
    } catch {
      // text only
    }
    for (const input of inputs) {
      const { verified, reason } = await verifyReport(input, { nonce, origin, maxAge, now });
      assert.equal(verified ? 'valid' : `invalid: ${reason}`, verdict, `${name} (${typeof input})`);
    }
  }
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
