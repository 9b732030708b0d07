// Real browsers call the agent as a portal's page does: the reference portal's
// whole challenge flow in Chromium and Firefox, denied and allowed, and then
// from the allowed page the module's check and plain and preflighted GETs.
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

test('the portal page: blocked, then allowed and trusted once; from it, reports checked and preflighted', async () => {
  const report = [200, 'application/json', [...FACTS, 'public_key', 'signature'].sort()];
  for (const browser of ['chromium', 'firefox']) {
    const [state, title] = await harness.withPage({ browser, loopback: 'denied' }, verdictOf);
    assert.deepEqual([state, /browser blocks this page/.test(title)], ['trouble', true], `${browser}: ${title}`);
    const [verdict, replayed, fetched] = await harness.withPage({ browser, loopback: 'granted' },
      async (page) => [await verdictOf(page), await page.evaluate(replay), await page.evaluate(fetchFromPage)]);
    assert.deepEqual(verdict, ['trusted', 'Trusted device'], browser);
    assert.deepEqual([replayed.trusted, /already used/.test(replayed.reason)], [false, true], replayed.reason);
    assert.deepEqual(fetched, [[true, null], report, report], browser);
  }
});
