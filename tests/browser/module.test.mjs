// The page module's own checks, run under Node's WebCrypto, against reports
// signed by conftest's signer (python-cryptography, an independent oracle).
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { test } from 'node:test';
import { fileURLToPath } from 'node:url';

import { createNonce, signedPayload, verifyReport } from '../../web/corvane-verify.js';

const INTEGRATION = path.join(path.dirname(fileURLToPath(import.meta.url)), '..', 'integration');
const FACTS = JSON.parse(fs.readFileSync(path.join(INTEGRATION, 'facts.json'), 'utf8'));
const NONCE = 'Q2hhbGxlbmdl-_0123';
const ORIGIN = 'https://portal.example';
const SIGN = 'import json, sys; from conftest import served, signed; '
  + 'print(json.dumps([served(signed(facts)).decode() for facts in json.load(sys.stdin)]))';
const [SERVED, CHALLENGED] = JSON.parse(execFileSync('/usr/bin/python3', ['-c', SIGN], {
  cwd: INTEGRATION, encoding: 'utf8', env: { PYTHONDONTWRITEBYTECODE: '1' },
  input: JSON.stringify([FACTS, { ...FACTS, nonce: NONCE, origin: ORIGIN }]),
}));
const GOOD = JSON.parse(SERVED);

const bytes = (base64) => Buffer.from(base64, 'base64');
const base64 = (buffer) => Buffer.from(buffer).toString('base64');

test('each report gets the verdict its reason names', async () => {
  const point = bytes(GOOD.public_key);
  const signature = bytes(GOOD.signature);
  // r with one more leading zero than DER allows
  const paddedR = [0x30, signature[1] + 1, 0x02, signature[3] + 1, 0x00, ...signature.subarray(4)];
  const cases = [
    [SERVED, {}, null],
    [structuredClone(GOOD), {}, null],
    ['{"timestamp": 1', {}, 'not JSON'],
    ['[1]', {}, 'not a JSON object'],
    [{ ...GOOD, signature: undefined }, {}, 'signature is not a string'],
    [(({ public_key: _, ...rest }) => rest)(GOOD), {}, 'no public_key'],
    [{ ...GOOD, signature: ` ${GOOD.signature}` }, {}, 'signature is not Base64'],
    [{ ...GOOD, public_key: GOOD.public_key.replace(/=$/, '') }, {}, 'public_key is not Base64'],
    [{ ...GOOD, public_key: base64(point.subarray(0, 33)) }, {}, 'public_key is not a 65-byte uncompressed point'],
    [{ ...GOOD, public_key: base64([...point.subarray(0, 64), point[64] ^ 1]) }, {}, 'public_key is not a point on P-256'],
    [{ ...GOOD, signature: base64(paddedR) }, {}, 'signature is not a DER ECDSA signature'],
    [{ ...GOOD, signature: base64([...signature, 0]) }, {}, 'signature is not a DER ECDSA signature'],
    [{ ...GOOD, vpn_active: !GOOD.vpn_active }, {}, 'signature does not verify'],
    [CHALLENGED, { nonce: NONCE, origin: ORIGIN }, null],
    [CHALLENGED, { nonce: createNonce(), origin: ORIGIN }, 'nonce does not match'],
    [CHALLENGED, { nonce: NONCE, origin: 'https://other.example' }, 'origin does not match'],
    [SERVED, { nonce: NONCE }, 'no nonce'],
    [{ ...JSON.parse(CHALLENGED), nonce: `${NONCE}x` }, { nonce: `${NONCE}x` }, 'signature does not verify'],
  ];
  for (const [input, options, reason] of cases) {
    const result = await verifyReport(input, options);
    assert.deepEqual([result.verified, result.reason], [reason === null, reason], JSON.stringify(input).slice(0, 80));
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
