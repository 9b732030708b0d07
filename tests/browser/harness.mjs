// Everything a browser case needs, inside the private network namespace the
// test runs in: the agent (in a nested namespace of its own, behind a counting
// relay on 127.0.0.1:12180), two static servers for the test page, and Chromium.
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import fs from 'node:fs';
import http from 'node:http';
import { createRequire } from 'node:module';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const HERE = path.dirname(fileURLToPath(import.meta.url));
const MODULE_FILE = path.join(HERE, '..', '..', 'web', 'corvane-verify.js');
const READY_LINE = 'Corvane Bridge active on localhost:12180';
export const AGENT_URL = 'http://127.0.0.1:12180/';

// ctest installs playwright-core into the build folder; by hand, `npm ci` here.
const packages = process.env.CORVANE_BROWSER_PACKAGES || HERE;
const { chromium } = createRequire(path.join(packages, 'package.json'))('playwright-core');

const CHROMIUM_ARGS = [
  '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
];

const TEST_PAGE = `<!doctype html>
<meta charset="utf-8">
<title>Portal</title>
<script type="module">
  import * as verifier from '/corvane-verify.js';
  window.verifier = verifier;
</script>
`;

export class Harness {
  static async start() {
    const harness = new Harness();
    try {
      await harness.#startAgent();
      await harness.#startRelay();
      harness.loopbackOrigin = await harness.#startPageServer();
      harness.publicOrigin = await harness.#startPageServer();
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
  #agentOutput = '';
  #relay = null;
  #servers = [];

  // A fresh context (own preflight cache, own permissions) with the test page loaded.
  async openPage(origin, { grant = false } = {}) {
    const context = await this.browser.newContext();
    if (grant) await context.grantPermissions(['local-network-access'], { origin });
    const page = await context.newPage();
    await page.goto(`${origin}/`);
    await page.waitForFunction(() => window.verifier !== undefined);
    return { context, page };
  }

  // Requests that reached the agent so far, by method.
  async requestCounts() {
    this.#relay.send('counts');
    const [message] = await once(this.#relay, 'message');
    return message.counts;
  }

  async stop() {
    await this.browser?.close().catch(() => {});
    for (const server of this.#servers) server.close();
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
    const folder = (name) => {
      const dir = path.join(this.#home, name);
      fs.mkdirSync(dir, { mode: 0o700 });
      return dir;
    };
    const env = {
      PATH: process.env.PATH,
      LANG: 'C.UTF-8',
      HOME: this.#home,
      XDG_DATA_HOME: folder('data'),
      XDG_CONFIG_HOME: folder('config'),
      XDG_RUNTIME_DIR: folder('runtime'),
      DBUS_SYSTEM_BUS_ADDRESS: `unix:path=${this.#home}/no-system-bus`,
      DBUS_SESSION_BUS_ADDRESS: `unix:path=${this.#home}/no-session-bus`,
      QT_QPA_PLATFORM: 'offscreen',
    };
    // unshare execs the shell, which execs the agent: the pid names its namespace.
    this.#agent = spawn('unshare', ['--net', '--', 'sh', '-c', 'ip link set lo up && exec "$0"', binary],
      { env, stdio: ['ignore', 'pipe', 'pipe'] });
    this.#agent.stderr.on('data', (chunk) => { this.#agentOutput += chunk; });
    await new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error(`agent not ready: ${this.#agentOutput}`)), 10000);
      this.#agent.stdout.on('data', (chunk) => {
        this.#agentOutput += chunk;
        if (this.#agentOutput.split('\n').includes(READY_LINE)) {
          clearTimeout(timer);
          resolve();
        }
      });
      this.#agent.on('exit', (code) => reject(new Error(`agent ended (${code}): ${this.#agentOutput}`)));
    });
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

  async #startPageServer() {
    const server = http.createServer((request, response) => {
      if (request.url === '/') {
        response.writeHead(200, { 'Content-Type': 'text/html; charset=utf-8' });
        response.end(TEST_PAGE);
      } else if (request.url === '/corvane-verify.js') {
        response.writeHead(200, { 'Content-Type': 'text/javascript; charset=utf-8' });
        response.end(fs.readFileSync(MODULE_FILE));
      } else {
        response.writeHead(404);
        response.end();
      }
    });
    await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
    this.#servers.push(server);
    return `http://127.0.0.1:${server.address().port}`;
  }
}
