// The portal's page: a challenge from the portal, a report from the agent
// that answers it, and the portal's verdict on that report. The page decides
// nothing itself; a person could change anything that runs here.
import { fetchReport } from '/corvane-verify.js';

const $ = (id) => document.getElementById(id);
const STEPS = ['challenge', 'report', 'verdict'];
// Both browsers word their question and their site setting this way.
const ASKS = 'access other apps and services on this device';
// A browser that asks the person holds the fetch until they answer.
const ASKING_AFTER_MS = 2000;
// The report has to reach the portal before its challenge expires.
const POST_MARGIN_MS = 5000;

function show(state, title, reason) {
  $('verdict').dataset.state = state;
  $('title').textContent = title;
  // The portal's reasons are terse lower-case phrases, like the command-line tool's.
  $('reason').textContent = `${reason.charAt(0).toUpperCase()}${reason.slice(1)}${/[.!?]$/.test(reason) ? '' : '.'}`;
  $('again').disabled = state === 'busy';
}

function step(name, state) {
  $(`step-${name}`).dataset.state = state;
}

async function postJson(path, body) {
  const response = await fetch(path, { method: 'POST', body });
  let answer = null;
  try {
    answer = await response.json();
  } catch {
    // reported below
  }
  if (!answer) throw new Error(`the portal answered ${response.status} without JSON`);
  return { ok: response.ok, answer };
}

// The browser tells the page nothing about why a fetch failed, but it does
// say whether the person blocked this site from reaching loopback. The name is
// 'loopback-network' in Chromium 145+ and Firefox, 'local-network-access' before.
async function loopbackPermission() {
  for (const name of ['loopback-network', 'local-network-access']) {
    try {
      return (await navigator.permissions.query({ name })).state;
    } catch {
      // not a name this browser knows
    }
  }
  return 'unknown';
}

async function check(retried = false) {
  for (const name of STEPS) step(name, '');
  for (const id of ['device', 'nearby', 'served']) $(id).hidden = true;

  show('busy', 'Checking this device…', 'Asking the portal for a challenge.');
  step('challenge', 'active');
  let nonce;
  let expiresAt = Infinity;
  try {
    const asked = Date.now();
    const { ok, answer } = await postJson('/api/challenge');
    if (!ok) throw new Error(answer.error);
    nonce = answer.nonce;
    if (Number.isFinite(answer.expires_in)) expiresAt = asked + answer.expires_in * 1000 - POST_MARGIN_MS;
  } catch (error) {
    step('challenge', 'failed');
    return show('trouble', 'The portal did not answer', `Asking for a challenge failed: ${error.message}`);
  }
  step('challenge', 'done');

  show('busy', 'Checking this device…', 'Asking the Corvane agent on this computer for a signed report.');
  step('report', 'active');
  const asking = setTimeout(() => show('busy', 'Checking this device…', 'No answer from the Corvane agent yet. '
    + `Your browser may be asking whether this site may ${ASKS}; allow it to continue.`), ASKING_AFTER_MS);
  const fetched = await fetchReport({ nonce });
  clearTimeout(asking);
  if (fetched.report === null) {
    step('report', 'failed');
    // The administrator's origin policy: the agent answers pages it does not allow with 403 and its reason.
    const refused = /^the agent answered with status 403: (.+)$/s.exec(fetched.reason);
    if (refused) {
      return show('refused', 'This device\'s administrator does not allow this site to read its status',
        `The Corvane agent on this computer refused: “${refused[1]}”. Ask your administrator to allow `
        + `${location.origin} if you need this site`);
    }
    if (fetched.text !== null)
      return show('trouble', 'The Corvane agent gave no report', `It said: ${fetched.reason}`);
    if (await loopbackPermission() === 'denied') {
      return show('trouble', 'Your browser blocks this page from reaching the Corvane agent',
        `This site is not allowed to ${ASKS}. Allow it in the site's settings (the icon left of the address: `
        + '"Apps on device" in Chromium, "Access this device" in Firefox), then check again.');
    }
    return show('trouble', 'The Corvane agent did not answer',
      'Start "Corvane Compliance" from the applications menu (its icon appears in the tray), then check '
      + `again. If the browser asks whether this site may ${ASKS}, allow it.`);
  }
  // The person answered the browser's question after the challenge expired.
  if (Date.now() > expiresAt && !retried) return check(true);
  // An agent from before challenges ignores the nonce and signs the report without one.
  if (fetched.reason === 'no nonce') {
    step('report', 'failed');
    return show('trouble', 'The Corvane agent on this computer is too old',
      'It cannot answer a challenge; update it, then check again');
  }
  step('report', 'done');
  render(fetched.report, fetched.text);

  show('busy', 'Checking this device…', 'The portal is checking the report.');
  step('verdict', 'active');
  try {
    const { ok, answer } = await postJson('/api/attest', fetched.text);
    if (!ok) {
      step('verdict', 'failed');
      return show('refused', 'Not trusted: the portal cannot read this report', answer.error);
    }
    step('verdict', answer.trusted ? 'done' : 'failed');
    show(answer.trusted ? 'trusted' : 'refused', answer.trusted ? 'Trusted device' : 'Not trusted', answer.reason);
  } catch (error) {
    step('verdict', 'failed');
    show('trouble', 'The portal did not answer', `Sending the report failed: ${error.message}`);
  }
}

// What the report says of its key and who signed it (older agents say nothing).
const KEY_STORAGE = new Map([['tpm', 'In this computer\'s TPM'], ['file', 'In a file']]);
const SIGNER = new Map([['system', 'The system signer, which the person\'s programs cannot use'],
  ['session', 'This person\'s session: any program they run could have signed']]);

function render(report, text) {
  $('device-id').textContent = String(report.device_id);
  $('key-storage').textContent = KEY_STORAGE.get(report.key_storage) ?? 'Not stated';
  $('signer').textContent = SIGNER.get(report.signer) ?? 'Not stated';
  fingerprint(report.public_key).then((shown) => { $('fingerprint').textContent = shown; });
  $('fingerprint').title = 'The first 64 bits of the SHA-256 of the device\'s public key';

  const joined = report.connected_network || {};
  // The agent's stand-ins for no Wi-Fi device and for not joined.
  const isJoined = !['None', 'Not Connected'].includes(joined.ssid);
  const network = $('joined');
  network.replaceChildren();
  if (isJoined)
    network.append(networkName(joined.ssid), element('span', 'sub mono', String(joined.bssid)));
  else
    network.textContent = joined.ssid === 'None' ? 'No Wi-Fi device' : 'Not connected';

  $('vpn').replaceChildren(report.vpn_active === true
    ? element('span', 'pill on', 'Active') : element('span', 'pill off', 'Off'));
  const when = new Date(Number(report.timestamp) * 1000);
  $('reported').textContent = Number.isFinite(when.getTime()) ? when.toLocaleString() : String(report.timestamp);

  const networks = Array.isArray(report.nearby_networks) ? report.nearby_networks : [];
  $('nearby-count').textContent = `(${networks.length})`;
  $('networks').replaceChildren(...networks.map((entry) => {
    const row = document.createElement('tr');
    const name = document.createElement('td');
    name.append(networkName(entry.ssid));
    if (isJoined && entry.bssid === joined.bssid) {
      row.className = 'joined';
      name.append(element('span', 'tag', 'joined'));
    }
    const signal = document.createElement('td');
    signal.append(bars(entry.rssi), element('span', 'dbm', `${entry.rssi} dBm`));
    row.append(name, element('td', 'mono', String(entry.bssid)), signal,
      element('td', 'number', entry.channel ? String(entry.channel) : '–'));
    return row;
  }));
  $('no-networks').hidden = networks.length > 0;
  $('networks').closest('table').hidden = networks.length === 0;

  $('served-text').textContent = text;
  for (const id of ['device', 'nearby', 'served']) $(id).hidden = false;
}

function element(tag, className, text) {
  const node = document.createElement(tag);
  node.className = className;
  node.textContent = text;
  return node;
}

function networkName(ssid) {
  return ssid && ssid !== 'Unknown'
    ? document.createTextNode(String(ssid)) : element('span', 'unnamed', 'unnamed network');
}

// Four bars, as phones draw them: -55 dBm and up is full strength.
function bars(rssi) {
  const lit = [-85, -75, -65, -55].filter((floor) => rssi >= floor).length;
  const node = element('span', 'signal', '');
  node.setAttribute('role', 'img');
  node.setAttribute('aria-label', `signal ${lit} of 4`);
  for (let i = 0; i < 4; i++) node.append(element('span', i < lit ? 'lit' : '', ''));
  return node;
}

async function fingerprint(publicKey) {
  // Plain HTTP pages get no WebCrypto; the portal's verdict does not depend on it.
  if (!globalThis.crypto?.subtle) return 'This page could not check it itself (plain HTTP)';
  try {
    const point = Uint8Array.from(atob(publicKey), (c) => c.charCodeAt(0));
    const digest = new Uint8Array(await crypto.subtle.digest('SHA-256', point));
    const hex = Array.from(digest.subarray(0, 8), (b) => b.toString(16).padStart(2, '0')).join('');
    return `SHA-256 ${hex.match(/.{4}/g).join(' ')}`;
  } catch {
    return 'unreadable';
  }
}

$('again').addEventListener('click', () => check());
check();
