// The page module's own checks, run under Node's WebCrypto: a report signed by
// an independent signer verifies, and each kind of malformed member is
// rejected with its reason instead of being half-accepted.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { createECDH } from 'node:crypto';
import path from 'node:path';
import { test } from 'node:test';
import { fileURLToPath } from 'node:url';

import { signedPayload, verifyReport } from '../../web/corvane-verify.js';

const HERE = path.dirname(fileURLToPath(import.meta.url));
const SERVED = execFileSync('/usr/bin/python3', [path.join(HERE, 'sign-report.py')], { encoding: 'utf8' });
const GOOD = JSON.parse(SERVED);

const bytes = (base64) => Buffer.from(base64, 'base64');
const base64 = (buffer) => Buffer.from(buffer).toString('base64');

// r with one more leading zero than DER allows.
function paddedR(signature) {
  const der = bytes(signature);
  const rLength = der[3];
  return base64(Buffer.concat([Buffer.from([0x30, der[1] + 1, 0x02, rLength + 1, 0x00]), der.subarray(4)]));
}

test('a report signed elsewhere verifies, from its text and from the parsed object', async () => {
  assert.deepEqual(await verifyReport(SERVED), { report: GOOD, verified: true, reason: null });
  assert.equal((await verifyReport(structuredClone(GOOD))).verified, true);
});

test('malformed members are rejected with their reason', async () => {
  const point = bytes(GOOD.public_key);
  const offCurve = Buffer.from(point);
  offCurve[64] ^= 1;
  const compressed = createECDH('prime256v1');
  compressed.generateKeys();
  const signature = bytes(GOOD.signature);
  const cases = [
    ['{"timestamp": 1', 'not JSON'],
    ['[1]', 'not a JSON object'],
    [{ ...GOOD, signature: undefined }, 'signature is not a string'],
    [(({ public_key: _, ...rest }) => rest)(GOOD), 'no public_key'],
    [{ ...GOOD, signature: 'MEUC!===' }, 'signature is not Base64'],
    [{ ...GOOD, signature: ` ${GOOD.signature}` }, 'signature is not Base64'],
    [{ ...GOOD, public_key: GOOD.public_key.replace(/=$/, '') }, 'public_key is not Base64'],
    [{ ...GOOD, public_key: base64(point.subarray(1)) }, 'public_key is not a 65-byte uncompressed point'],
    [{ ...GOOD, public_key: compressed.getPublicKey('base64', 'compressed') }, 'public_key is not a 65-byte uncompressed point'],
    [{ ...GOOD, public_key: base64(offCurve) }, 'public_key is not a point on P-256'],
    [{ ...GOOD, signature: paddedR(GOOD.signature) }, 'signature is not a DER ECDSA signature'],
    [{ ...GOOD, signature: base64(Buffer.concat([signature, Buffer.from([0])])) }, 'signature is not a DER ECDSA signature'],
    [{ ...GOOD, signature: base64(Buffer.concat([Buffer.from([0x30, 0x81]), signature.subarray(1)])) },
      'signature is not a DER ECDSA signature'],
  ];
  for (const [input, reason] of cases) {
    const result = await verifyReport(input);
    assert.equal(result.verified, false, reason);
    assert.equal(result.reason, reason, JSON.stringify(input).slice(0, 80));
  }
});

test('object keys are written in code point order, integer-like keys included', () => {
  assert.equal(signedPayload({ b: 1, 10: 2, 9: 3, a: { '\uffff': 0, '\u{1f600}': 1 }, signature: 's', public_key: 'k' }),
    '{"10":2,"9":3,"a":{"\uffff":0,"\u{1f600}":1},"b":1}');
});
