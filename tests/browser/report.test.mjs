// Real browsers call the agent the ways a portal meets it: a public page
// allowed to reach loopback, and the reference portal's whole challenge flow in
// Chromium and Firefox, allowed and denied.
import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';

import { Harness } from './harness.mjs';

const FACTS = ['connected_network', 'device_id', 'nearby_networks', 'timestamp', 'vpn_active'];

let harness;
before(async () => { harness = await Harness.start(); });
after(async () => { await harness?.stop(); });

// In the page: the report it was trusted on, posted again in its session.
async function replay() {
  const body = document.getElementById('served-text').textContent;
  return (await fetch('/api/attest', { method: 'POST', body })).json();
}

async function verdictOf(page) {
  await page.waitForSelector('#verdict:not([data-state="busy"])');
  return page.$eval('#verdict', (verdict) => [verdict.dataset.state, verdict.querySelector('h1').textContent]);
}

// In the page: the module's checked report, a simple GET, and a GET with a JSON
// content type, which the browser preflights.
async function fetchFromPage() {
  const { AGENT_URL, fetchReport } = await import('/corvane-verify.js');
  const get = async (init) => {
    const response = await fetch(AGENT_URL, init);
    return [response.status, response.headers.get('Content-Type'), Object.keys(await response.json()).sort()];
  };
  const { verified, reason } = await fetchReport();
  return [[verified, reason], await get({}), await get({ headers: { 'Content-Type': 'application/json' } })];
}

test('a public page allowed to reach loopback gets and verifies reports', async () => {
  const result = await harness.withPage({ loopback: 'granted' }, (page) => page.evaluate(fetchFromPage));
  const report = [200, 'application/json', [...FACTS, 'public_key', 'signature'].sort()];
  assert.deepEqual(result, [[true, null], report, report]);
});

test('the portal\'s page says when the browser blocks it, and once allowed is trusted once', async () => {
  for (const browser of ['chromium', 'firefox']) {
    const [state, title] = await harness.withPage({ browser, loopback: 'denied', path: '/' }, verdictOf);
    assert.deepEqual([state, /browser blocks this page/.test(title)], ['trouble', true], `${browser}: ${title}`);
    const [verdict, replayed] = await harness.withPage({ browser, loopback: 'granted', path: '/' },
      async (page) => [await verdictOf(page), await page.evaluate(replay)]);
    assert.deepEqual(verdict, ['trusted', 'Trusted device'], browser);
    assert.deepEqual([replayed.trusted, /already used/.test(replayed.reason)], [false, true], replayed.reason);
  }
});
