// Everything a browser case needs, inside the private network namespace the
// test runs in: the agent (in a nested namespace of its own, behind a counting
// relay on 127.0.0.1:12180), two reference portals on two origins, and Chromium.
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import fs from 'node:fs';
import { createRequire } from 'node:module';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const HERE = path.dirname(fileURLToPath(import.meta.url));
const PORTAL = path.join(HERE, '..', '..', 'examples', 'portal', 'portal.py');
const READY_LINE = /^Corvane Bridge active on localhost:12180$/m;
export const AGENT_URL = 'http://127.0.0.1:12180/';

// ctest installs playwright-core into the build folder; by hand, `npm ci` here.
const packages = process.env.CORVANE_BROWSER_PACKAGES || HERE;
const { chromium } = createRequire(path.join(packages, 'package.json'))('playwright-core');

const CHROMIUM_ARGS = [
  '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
];

export class Harness {
  static async start() {
    const harness = new Harness();
    try {
      await harness.#startAgent();
      await harness.#startRelay();
      // The portal under test looks public to Chromium; the other is just another origin.
      harness.publicOrigin = await harness.#startPortal('public');
      harness.loopbackOrigin = await harness.#startPortal('other');
      const publicPort = new URL(harness.publicOrigin).port;
      // Chromium's launch() makes a fresh temporary profile and removes it on close.
      harness.browser = await chromium.launch({
        executablePath: process.env.CORVANE_CHROMIUM || '/usr/bin/chromium',
        headless: true,
        args: [...CHROMIUM_ARGS, `--ip-address-space-overrides=127.0.0.1:${publicPort}=public`],
      });
    } catch (error) {
      await harness.stop();
      throw error;
    }
    return harness;
  }

  #home = null;
  #agent = null;
  #relay = null;
  #portals = [];

  // work(page) in a fresh context (own preflight cache, own permissions) on a
  // page of the origin: the portal's page, or its copy of the module, which runs nothing.
  async withPage(origin, { grant = false, path = '/corvane-verify.js' }, work) {
    const context = await this.browser.newContext();
    try {
      if (grant) await context.grantPermissions(['local-network-access'], { origin });
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
    await this.browser?.close().catch(() => {});
    for (const portal of this.#portals) portal.kill();
    this.#relay?.kill();
    if (this.#agent && this.#agent.exitCode === null) {
      this.#agent.kill('SIGTERM');
      await once(this.#agent, 'exit');
    }
    if (this.#home) fs.rmSync(this.#home, { recursive: true, force: true });
  }

  async #startAgent() {
    const binary = process.env.CORVANE_AGENT;
    if (!binary) throw new Error('CORVANE_AGENT names no agent binary');
    this.#home = fs.mkdtempSync(path.join(os.tmpdir(), 'corvane-browser-'));
    fs.mkdirSync(path.join(this.#home, 'runtime'), { mode: 0o700 });
    // The key and the login item go under this throwaway HOME.
    const env = {
      PATH: process.env.PATH,
      LANG: 'C.UTF-8',
      HOME: this.#home,
      XDG_RUNTIME_DIR: path.join(this.#home, 'runtime'),
      DBUS_SYSTEM_BUS_ADDRESS: `unix:path=${this.#home}/no-system-bus`,
      DBUS_SESSION_BUS_ADDRESS: `unix:path=${this.#home}/no-session-bus`,
      QT_QPA_PLATFORM: 'offscreen',
    };
    // unshare execs the shell, which execs the agent: the pid names its namespace.
    this.#agent = spawn('unshare', ['--net', '--', 'sh', '-c', 'ip link set lo up && exec "$0"', binary], { env });
    await outputMatch(this.#agent, READY_LINE);
  }

  async #startRelay() {
    const listener = net.createServer();
    await new Promise((resolve) => listener.listen(12180, '127.0.0.1', resolve));
    this.#relay = spawn('nsenter', [`--net=/proc/${this.#agent.pid}/ns/net`, '--', process.execPath,
      path.join(HERE, 'relay.mjs')], { stdio: ['ignore', 'inherit', 'inherit', 'ipc'] });
    this.#relay.send('serve', listener);
    const [message] = await once(this.#relay, 'message');
    if (!message.ready) throw new Error('relay did not start');
    // Only the relay accepts from now on.
    listener.close();
  }

  async #startPortal(name) {
    const portal = spawn('/usr/bin/python3', [PORTAL, '--port', '0', '--db', path.join(this.#home, `${name}.sqlite3`)]);
    this.#portals.push(portal);
    return (await outputMatch(portal, /^Corvane portal on (http:\S+) /m))[1];
  }
}

// The first match of pattern in what the child writes; fails when it ends or takes 10 s.
function outputMatch(child, pattern) {
  let output = '';
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`not ready: ${output}`)), 10000);
    for (const stream of [child.stdout, child.stderr]) {
      stream.on('data', (chunk) => {
        output += chunk;
        const match = output.match(pattern);
        if (match) { clearTimeout(timer); resolve(match); }
      });
    }
    child.on('exit', (code) => { clearTimeout(timer); reject(new Error(`ended (${code}): ${output}`)); });
  });
}
