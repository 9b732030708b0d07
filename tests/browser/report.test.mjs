// A real Chromium calls the agent the ways a portal meets it: a public page
// with Local Network Access granted, the reference portal's whole challenge
// flow (with a page on another origin), and a public page without the grant.
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

async function post(path, body) {
  return (await fetch(`${harness.publicOrigin}${path}`, { method: 'POST', body })).json();
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

// A loopback page's fetch is the same to the agent; the other origin's page below makes one.
test('a public page with Local Network Access gets and verifies reports, with one preflight', async () => {
  const { result, sent } = await counted(() => harness.withPage(harness.publicOrigin, { grant: true },
    (page) => page.evaluate(fetchFromPage, AGENT_URL)));
  const report = [200, 'application/json', [...FACTS, 'public_key', 'signature'].sort()];
  assert.deepEqual(result, [report, report, report, [true, null]]);
  assert.deepEqual(sent, { OPTIONS: 1, GET: 4, other: 0 });
});

test('the portal trusts its page\'s report once, and not one asked for by another origin', async () => {
  const served = await harness.withPage(harness.publicOrigin, { grant: true, path: '/' }, async (page) => {
    assert.deepEqual(await verdictOf(page), ['trusted', 'Trusted device']);
    return page.$eval('#served-text', (pre) => pre.textContent);
  });
  const replayed = await post('/api/attest', served);
  assert.deepEqual([replayed.trusted, /already used/.test(replayed.reason)], [false, true], replayed.reason);

  const { nonce } = await post('/api/challenge');
  const borrowed = await harness.withPage(harness.loopbackOrigin, {}, (page) => page.evaluate(async (challenge) => {
    const { fetchReport } = await import('/corvane-verify.js');
    return fetchReport({ nonce: challenge });
  }, nonce));
  assert.equal(borrowed.verified, true, borrowed.reason);
  const refused = await post('/api/attest', borrowed.text);
  assert.deepEqual([refused.trusted, refused.reason.includes(harness.loopbackOrigin)], [false, true], refused.reason);

  const garbage = await fetch(`${harness.publicOrigin}/api/attest`, { method: 'POST', body: '[1]' });
  assert.deepEqual([garbage.status, await garbage.json()], [400, { error: 'not a JSON object' }]);
  assert.ok((await post('/api/challenge')).nonce, 'the portal is still up');
});

test('without Local Network Access the portal\'s page says so, and the agent gets nothing', async () => {
  const { result, sent } = await counted(() => harness.withPage(harness.publicOrigin, { path: '/' }, verdictOf));
  assert.equal(result[0], 'trouble');
  assert.match(result[1], /browser blocks this page/);
  assert.deepEqual(sent, { OPTIONS: 0, GET: 0, other: 0 });
});
