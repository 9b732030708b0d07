// Everything a browser case needs, inside the private network namespace the
// test runs in: the agent (in a nested namespace of its own, behind a counting
// relay on 127.0.0.1:12180), the reference portal, Chromium and Firefox.
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { createRequire } from 'node:module';
import net from 'node:net';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const HERE = path.dirname(fileURLToPath(import.meta.url));
const INTEGRATION = path.join(HERE, '..', 'integration');
const PORTAL = path.join(HERE, '..', '..', 'examples', 'portal', 'portal.py');
export const AGENT_URL = 'http://127.0.0.1:12180/';

// ctest installs puppeteer-core into the build folder; by hand, `npm ci` here.
const packages = process.env.CORVANE_BROWSER_PACKAGES || HERE;
const puppeteer = createRequire(path.join(packages, 'package.json'))('puppeteer-core');

// conftest's Agent, with its throwaway home, in a network namespace of its own:
// unshare execs the shell, which execs the agent, so the pid names the namespace.
// It prints the pid and the home, and stops the agent when its input closes.
const START_AGENT = `import json, sys, tempfile
from conftest import Agent
with tempfile.TemporaryDirectory(prefix="corvane-browser-") as home:
    agent = Agent(home, prefix=["unshare", "--net", "--", "sh", "-c", 'ip link set lo up && exec "$0"']).start()
    print(json.dumps({"pid": agent.proc.pid, "home": home}), flush=True)
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
      const { pid, home } = JSON.parse((await outputMatch(harness.#agent, /^\{.*\}$/m))[0]);
      await harness.#startRelay(pid);
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
  #relay = null;
  #portal = null;
  #browsers = {};

  // work(page) in a fresh context (own preflight cache, own permissions) on a
  // page of the origin: the portal's page, or its copy of the module, which runs nothing.
  // loopback: 'granted' or 'denied' for the origin; otherwise the browser's default.
  async withPage(origin, { browser = 'chromium', loopback, path = '/corvane-verify.js' }, work) {
    const context = await this.#browsers[browser].createBrowserContext();
    try {
      if (loopback) await context.setPermission(origin, { permission: { name: 'loopback-network' }, state: loopback });
      const page = await context.newPage();
      await page.goto(`${origin}${path}`);
      return await work(page);
    } finally {
      await context.close();
    }
  }

  // Requests that reached the agent so far, by method.
  async requestCounts() {
    this.#relay.send('counts');
    const [message] = await once(this.#relay, 'message');
    return message.counts;
  }

  async stop() {
    for (const browser of Object.values(this.#browsers)) await browser.close().catch(() => {});
    this.#portal?.kill();
    this.#relay?.kill();
    if (this.#agent && this.#agent.exitCode === null) {
      this.#agent.stdin.end();
      const [code] = await once(this.#agent, 'exit');
      if (code !== 0) throw new Error(`the agent ended with ${code}`);
    }
  }

  async #startRelay(agentPid) {
    const listener = net.createServer();
    await new Promise((resolve) => listener.listen(12180, '127.0.0.1', resolve));
    this.#relay = spawn('nsenter', [`--net=/proc/${agentPid}/ns/net`, '--', process.execPath,
      path.join(HERE, 'relay.mjs')], { stdio: ['ignore', 'inherit', 'inherit', 'ipc'] });
    this.#relay.send('serve', listener);
    const [message] = await once(this.#relay, 'message');
    if (!message.ready) throw new Error('relay did not start');
    // Only the relay accepts from now on.
    listener.close();
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
