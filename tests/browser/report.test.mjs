// Real browsers call the agent as a portal's page does: the reference portal's
// whole challenge flow in Chromium and Firefox, denied and allowed, and then
// from the allowed page the module's check and plain and preflighted GETs. The
// agent, the portal and both browsers share the test's private network namespace.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { createRequire } from 'node:module';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { fileURLToPath } from 'node:url';

const HERE = path.dirname(fileURLToPath(import.meta.url));
const PORTAL = path.join(HERE, '..', '..', 'examples', 'portal', 'portal.py');
// ctest installs puppeteer-core into the build folder; by hand, `npm ci` here.
const puppeteer = createRequire(path.join(process.env.CORVANE_BROWSER_PACKAGES || HERE, 'package.json'))(
  'puppeteer-core');
const FACTS = ['connected_network', 'device_id', 'nearby_networks', 'timestamp', 'vpn_active'];

// conftest's Agent, with its throwaway home: it prints the home once the agent
// serves, and stops the agent when its input closes.
const START_AGENT = `import sys, tempfile
from conftest import Agent
with tempfile.TemporaryDirectory(prefix="corvane-browser-") as home:
    agent = Agent(home).start()
    print("home", home, flush=True)
    sys.stdin.read()
    sys.exit(agent.stop())`;

// Each launch makes a fresh temporary profile and removes it on close; the portal looks public to both.
const LAUNCH = {
  chromium: (port) => ({
    browser: 'chrome',
    executablePath: process.env.CORVANE_CHROMIUM || '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--disable-component-update',
      `--ip-address-space-overrides=127.0.0.1:${port}=public`],
  }),
  firefox: (port) => ({
    browser: 'firefox',
    executablePath: process.env.CORVANE_FIREFOX || '/usr/bin/firefox-esr',
    extraPrefsFirefox: { 'network.lna.address_space.public.override': `127.0.0.1:${port}` },
  }),
};

let agent;
let portal;
let portalOrigin;
const browsers = {};

before(async () => {
  agent = spawn('/usr/bin/python3', ['-c', START_AGENT],
    { cwd: path.join(HERE, '..', 'integration'), stdio: ['pipe', 'pipe', 'inherit'] });
  const home = (await outputMatch(agent, /^home (.+)$/m))[1];
  portal = spawn('/usr/bin/python3', [PORTAL, '--port', '0', '--db', path.join(home, 'portal.sqlite3')]);
  portalOrigin = (await outputMatch(portal, /^Corvane portal on (http:\S+) /m))[1];
  for (const [name, options] of Object.entries(LAUNCH))
    browsers[name] = await puppeteer.launch({ headless: true, ...options(new URL(portalOrigin).port) });
});

after(async () => {
  for (const browser of Object.values(browsers)) await browser.close().catch(() => {});
  portal?.kill();
  if (agent && agent.exitCode === null) {
    agent.stdin.end();
    const [code] = await once(agent, 'exit');
    assert.equal(code, 0, 'the agent\'s exit status');
  }
});

// The first match of pattern in what the child writes; fails when it ends or takes 10 s.
function outputMatch(child, pattern) {
  let output = '';
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`not ready: ${output}`)), 10000);
    for (const stream of [child.stdout, child.stderr].filter(Boolean)) {
      stream.on('data', (chunk) => {
        output += chunk;
        const match = output.match(pattern);
        if (match) { clearTimeout(timer); resolve(match); }
      });
    }
    child.on('exit', (code) => { clearTimeout(timer); reject(new Error(`ended (${code}): ${output}`)); });
  });
}

// work(page) on the portal's page, in a fresh context (own preflight cache, own
// permissions); loopback: 'granted' or 'denied' for the portal.
async function withPage(browser, loopback, work) {
  const context = await browsers[browser].createBrowserContext();
  try {
    await context.setPermission(portalOrigin, { permission: { name: 'loopback-network' }, state: loopback });
    const page = await context.newPage();
    await page.goto(portalOrigin);
    return await work(page);
  } finally {
    await context.close();
  }
}

async function verdictOf(page) {
  await page.waitForSelector('#verdict:not([data-state="busy"])');
  return page.$eval('#verdict', (verdict) => [verdict.dataset.state, verdict.querySelector('h1').textContent]);
}

// In the page: the report it was trusted on, posted again in its session.
async function replay() {
  const body = document.getElementById('served-text').textContent;
  return (await fetch('/api/attest', { method: 'POST', body })).json();
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
    const [state, title] = await withPage(browser, 'denied', verdictOf);
    assert.deepEqual([state, /browser blocks this page/.test(title)], ['trouble', true], `${browser}: ${title}`);
    const [verdict, replayed, fetched] = await withPage(browser, 'granted',
      async (page) => [await verdictOf(page), await page.evaluate(replay), await page.evaluate(fetchFromPage)]);
    assert.deepEqual(verdict, ['trusted', 'Trusted device'], browser);
    assert.deepEqual([replayed.trusted, /already used/.test(replayed.reason)], [false, true], replayed.reason);
    assert.deepEqual(fetched, [[true, null], report, report], browser);
  }
});
