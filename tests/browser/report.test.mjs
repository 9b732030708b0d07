// A real Chromium page on another origin calls the agent, in the three ways a
// portal meets it: as a loopback page, as a public page with Local Network
// Access granted, and as a public page without it.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { fileURLToPath } from 'node:url';

import { AGENT_URL, Harness } from './harness.mjs';

const FACTS = ['connected_network', 'device_id', 'nearby_networks', 'timestamp', 'vpn_active'];
const HERE = path.dirname(fileURLToPath(import.meta.url));

let harness;
before(async () => { harness = await Harness.start(); });
after(async () => { await harness?.stop(); });

// In the page: a simple GET, then two GETs with a JSON content type (the
// first is preflighted, the second must use the cached preflight), then the module.
async function fetchFromPage(url) {
  const get = async (init) => {
    const response = await fetch(url, init);
    return { status: response.status, type: response.headers.get('Content-Type'), report: await response.json() };
  };
  const json = { headers: { 'Content-Type': 'application/json' } };
  return {
    simple: await get({}),
    preflighted: await get(json),
    cached: await get(json),
    module: await window.verifier.fetchReport(),
  };
}

// In the page: the served report verifies, and no changed fact and no single
// flipped bit of the signature does.
async function tamperInPage(report) {
  const { verifyReport } = window.verifier;
  const changes = {
    timestamp: (r) => { r.timestamp += 1; },
    device_id: (r) => { r.device_id = r.device_id.slice(0, -1) + (r.device_id.endsWith('0') ? '1' : '0'); },
    connected_network: (r) => { r.connected_network.ssid += ' '; },
    nearby_networks: (r) => { r.nearby_networks.push({ bssid: '02:00:00:00:00:01', channel: 1, rssi: -30, ssid: 'x' }); },
    vpn_active: (r) => { r.vpn_active = !r.vpn_active; },
    added_member: (r) => { r.extra = 0; },
  };
  const stillVerified = [];
  for (const [name, change] of Object.entries(changes)) {
    const copy = structuredClone(report);
    change(copy);
    if ((await verifyReport(copy)).verified) stillVerified.push(name);
  }
  const der = Uint8Array.from(atob(report.signature), (c) => c.charCodeAt(0));
  for (let bit = 0; bit < der.length * 8; bit++) {
    const flipped = der.slice();
    flipped[bit >> 3] ^= 1 << (bit & 7);
    const copy = { ...report, signature: btoa(String.fromCharCode(...flipped)) };
    if ((await verifyReport(copy)).verified) stillVerified.push(`signature bit ${bit}`);
  }
  return { original: await verifyReport(report), stillVerified };
}

async function assertPageGetsVerifiedReports(origin, options) {
  const { context, page } = await harness.openPage(origin, options);
  try {
    const before = await harness.requestCounts();
    const result = await page.evaluate(fetchFromPage, AGENT_URL);
    const after = await harness.requestCounts();

    for (const name of ['simple', 'preflighted', 'cached']) {
      const { status, type, report } = result[name];
      assert.equal(status, 200, name);
      assert.equal(type, 'application/json', name);
      assert.deepEqual(Object.keys(report).sort(), [...FACTS, 'public_key', 'signature'].sort(), name);
    }
    assert.deepEqual({ OPTIONS: after.OPTIONS - before.OPTIONS, GET: after.GET - before.GET, other: after.other - before.other },
      { OPTIONS: 1, GET: 4, other: 0 }, 'one preflight, cached for the second JSON request');

    assert.equal(result.module.reason, null);
    assert.equal(result.module.verified, true);
    assert.equal(result.module.report.public_key, result.simple.report.public_key, 'one key for every report');

    const tampered = await page.evaluate(tamperInPage, result.simple.report);
    assert.equal(tampered.original.verified, true);
    assert.deepEqual(tampered.stillVerified, []);
  } finally {
    await context.close();
  }
}

test('a page on another loopback origin gets and verifies reports', async () => {
  await assertPageGetsVerifiedReports(harness.loopbackOrigin);
});

test('a public page with Local Network Access granted gets and verifies reports', async () => {
  await assertPageGetsVerifiedReports(harness.publicOrigin, { grant: true });
});

test('a public page without Local Network Access cannot reach the agent', async () => {
  const { context, page } = await harness.openPage(harness.publicOrigin);
  try {
    const before = await harness.requestCounts();
    const result = await page.evaluate(async (url) => {
      const attempt = (init) => fetch(url, init).then(() => 'answered', (error) => error.name);
      return {
        simple: await attempt({}),
        preflighted: await attempt({ headers: { 'Content-Type': 'application/json' } }),
        module: await window.verifier.fetchReport(),
      };
    }, AGENT_URL);
    const after = await harness.requestCounts();

    assert.equal(result.simple, 'TypeError');
    assert.equal(result.preflighted, 'TypeError');
    assert.equal(result.module.verified, false);
    assert.equal(result.module.report, null);
    assert.match(result.module.reason, /^fetch failed: /);
    assert.deepEqual(after, before, 'the browser sent nothing to the agent');
  } finally {
    await context.close();
  }
});

test('the page module and an independent signer agree on every escape and on key order', async () => {
  const served = execFileSync('/usr/bin/python3', [path.join(HERE, 'sign-report.py')], { encoding: 'utf8' });
  const { context, page } = await harness.openPage(harness.loopbackOrigin);
  try {
    const result = await page.evaluate(async (text) => {
      const { verifyReport } = window.verifier;
      const parsed = JSON.parse(text);
      parsed.nearby_networks[0].ssid = parsed.nearby_networks[0].ssid.replace('/', '|');
      return { text: await verifyReport(text), changed: await verifyReport(parsed) };
    }, served);
    assert.equal(result.text.reason, null);
    assert.equal(result.text.verified, true);
    assert.equal(result.changed.reason, 'signature does not verify');
  } finally {
    await context.close();
  }
});
