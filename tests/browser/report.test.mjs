// Real browsers call the agent the ways a portal meets it: a public page
// allowed to reach loopback, and the reference portal's whole challenge flow in
// Chromium and Firefox, allowed and denied.
import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';

import { AGENT_URL, Harness } from './harness.mjs';

const FACTS = ['connected_network', 'device_id', 'nearby_networks', 'timestamp', 'vpn_active'];

let harness;
before(async () => { harness = await Harness.start(); });
after(async () => { await harness?.stop(); });

// What work() made, and the requests the agent got meanwhile.
async function counted(work) {
  const before = await harness.requestCounts();
  const result = await work();
  const after = await harness.requestCounts();
  return { result, sent: Object.fromEntries(Object.keys(after).map((method) => [method, after[method] - before[method]])) };
}

// In the page: the report it was trusted on, posted again in its session.
async function replay() {
  const body = document.getElementById('served-text').textContent;
  return (await fetch('/api/attest', { method: 'POST', body })).json();
}

async function verdictOf(page) {
  await page.waitForSelector('#verdict:not([data-state="busy"])');
  return page.$eval('#verdict', (verdict) => [verdict.dataset.state, verdict.querySelector('h1').textContent]);
}

// In the page: a simple GET, then two GETs with a JSON content type (the
// first is preflighted, the second must use the cached preflight), then the module.
async function fetchFromPage(url) {
  const get = async (init) => {
    const response = await fetch(url, init);
    return [response.status, response.headers.get('Content-Type'), Object.keys(await response.json()).sort()];
  };
  const json = { headers: { 'Content-Type': 'application/json' } };
  const { fetchReport } = await import('/corvane-verify.js');
  const { verified, reason } = await fetchReport();
  return [await get({}), await get(json), await get(json), [verified, reason]];
}

test('a public page allowed to reach loopback gets and verifies reports, with one preflight', async () => {
  const { result, sent } = await counted(() => harness.withPage(harness.publicOrigin, { loopback: 'granted' },
    (page) => page.evaluate(fetchFromPage, AGENT_URL)));
  const report = [200, 'application/json', [...FACTS, 'public_key', 'signature'].sort()];
  assert.deepEqual(result, [report, report, report, [true, null]]);
  assert.deepEqual(sent, { OPTIONS: 1, GET: 4, other: 0 });
});

test('the portal\'s page says when the browser blocks it, and once allowed is trusted once', async () => {
  for (const browser of ['chromium', 'firefox']) {
    const { result, sent } = await counted(() => harness.withPage(harness.publicOrigin,
      { browser, loopback: 'denied', path: '/' }, verdictOf));
    assert.deepEqual([result[0], /browser blocks this page/.test(result[1]), sent],
      ['trouble', true, { OPTIONS: 0, GET: 0, other: 0 }], `${browser}: ${result[1]}`);
    const [verdict, replayed] = await harness.withPage(harness.publicOrigin, { browser, loopback: 'granted', path: '/' },
      async (page) => [await verdictOf(page), await page.evaluate(replay)]);
    assert.deepEqual(verdict, ['trusted', 'Trusted device'], browser);
    assert.deepEqual([replayed.trusted, /already used/.test(replayed.reason)], [false, true], replayed.reason);
  }
});
