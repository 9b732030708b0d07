// Everything a browser case needs, inside the private network namespace the
// test runs in: the agent on 127.0.0.1:12180, the reference portal, Chromium and Firefox.
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { createRequire } from 'node:module';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const HERE = path.dirname(fileURLToPath(import.meta.url));
const INTEGRATION = path.join(HERE, '..', 'integration');
const PORTAL = path.join(HERE, '..', '..', 'examples', 'portal', 'portal.py');

// ctest installs puppeteer-core into the build folder; by hand, `npm ci` here.
const packages = process.env.CORVANE_BROWSER_PACKAGES || HERE;
const puppeteer = createRequire(path.join(packages, 'package.json'))('puppeteer-core');

// conftest's Agent, with its throwaway home: it prints the home once the agent
// serves, and stops the agent when its input closes.
const START_AGENT = `import sys, tempfile
from conftest import Agent
with tempfile.TemporaryDirectory(prefix="corvane-browser-") as home:
    agent = Agent(home).start()
    print("home", home, flush=True)
    sys.stdin.read()
    sys.exit(agent.stop())`;

// Each launch makes a fresh temporary profile and removes it on close. The
// portal looks public to both browsers.
const LAUNCH = {
  chromium: (publicPort) => ({
    browser: 'chrome',
    executablePath: process.env.CORVANE_CHROMIUM || '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--disable-component-update',
      `--ip-address-space-overrides=127.0.0.1:${publicPort}=public`],
  }),
  firefox: (publicPort) => ({
    browser: 'firefox',
    executablePath: process.env.CORVANE_FIREFOX || '/usr/bin/firefox-esr',
    extraPrefsFirefox: { 'network.lna.address_space.public.override': `127.0.0.1:${publicPort}` },
  }),
};

export class Harness {
  static async start() {
    const harness = new Harness();
    try {
      harness.#agent = spawn('/usr/bin/python3', ['-c', START_AGENT],
        { cwd: INTEGRATION, stdio: ['pipe', 'pipe', 'inherit'] });
      const home = (await outputMatch(harness.#agent, /^home (.+)$/m))[1];
      harness.#portal = spawn('/usr/bin/python3', [PORTAL, '--port', '0', '--db', path.join(home, 'portal.sqlite3')]);
      harness.publicOrigin = (await outputMatch(harness.#portal, /^Corvane portal on (http:\S+) /m))[1];
      const publicPort = new URL(harness.publicOrigin).port;
      for (const [name, options] of Object.entries(LAUNCH))
        harness.#browsers[name] = await puppeteer.launch({ headless: true, ...options(publicPort) });
    } catch (error) {
      await harness.stop().catch(() => {});
      throw error;
    }
    return harness;
  }

  #agent = null;
  #portal = null;
  #browsers = {};

  // work(page) on the public portal's page, in a fresh context (own preflight
  // cache, own permissions); loopback: 'granted' or 'denied' for the portal.
  async withPage({ browser, loopback }, work) {
    const context = await this.#browsers[browser].createBrowserContext();
    try {
      await context.setPermission(this.publicOrigin, { permission: { name: 'loopback-network' }, state: loopback });
      const page = await context.newPage();
      await page.goto(this.publicOrigin);
      return await work(page);
    } finally {
      await context.close();
    }
  }

  async stop() {
    for (const browser of Object.values(this.#browsers)) await browser.close().catch(() => {});
    this.#portal?.kill();
    if (this.#agent && this.#agent.exitCode === null) {
      this.#agent.stdin.end();
      const [code] = await once(this.#agent, 'exit');
      if (code !== 0) throw new Error(`the agent ended with ${code}`);
    }
  }
}

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
