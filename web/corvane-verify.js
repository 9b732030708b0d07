// Fetches the Corvane agent's status report and checks its signature with
// WebCrypto. No dependencies; works in any secure context and in Node 20+.
//
//   import { createNonce, fetchReport } from './corvane-verify.js';
//   const { report, verified, reason, text } = await fetchReport({ nonce: createNonce() });

export const AGENT_URL = 'http://127.0.0.1:12180/';

const SIGNATURE = 'signature';
const PUBLIC_KEY = 'public_key';
// How far ahead of this clock a timestamp may be: clocks drift.
const MAX_SECONDS_AHEAD = 60;

// 32 random bytes, base64url without padding: a challenge the agent takes.
export function createNonce() {
  const bytes = crypto.getRandomValues(new Uint8Array(32));
  return btoa(String.fromCharCode(...bytes)).replace(/\+/g, '-').replace(/\//g, '_').replace(/=+$/, '');
}

// Fetches the report from the agent and verifies it. Either fetchReport(url, init)
// or fetchReport({ nonce, origin, url, init }): with a nonce the agent is asked
// with ?nonce=, and the report must carry that nonce and the page's origin
// (origin defaults to location.origin); maxAge is verifyReport's. Never throws:
// a failed fetch comes back as { report: null, verified: false, reason, text: null }.
// text is the body as served, for posting on to a server that decides.
export async function fetchReport(target = AGENT_URL, init = {}) {
  let options = { url: target, init };
  if (typeof target === 'object' && !(target instanceof URL) && !(target instanceof Request))
    options = { url: AGENT_URL, init: {}, origin: globalThis.location?.origin, ...target };
  const { nonce, origin, maxAge } = options;
  let text = null;
  try {
    let url = options.url;
    if (nonce !== undefined) {
      url = new URL(url);
      url.searchParams.set('nonce', nonce);
    }
    const response = await fetch(agentRequest(url, options.init));
    text = await response.text();
    if (!response.ok)
      return { ...failure(null, `the agent answered with status ${response.status}${agentError(text)}`), text };
  } catch (error) {
    return { ...failure(null, `fetch failed: ${error && error.message ? error.message : error}`), text };
  }
  return { ...(await verifyReport(text, nonce === undefined ? { maxAge } : { nonce, origin, maxAge })), text };
}

// Verifies a report fetched elsewhere: the served JSON text or the parsed object.
// With a nonce or an origin, the report's signed "nonce" or "origin" must equal it;
// with maxAge (seconds), its "timestamp" must be at most that old and at most
// 60 s ahead of now (seconds since 1970, this clock unless given).
export async function verifyReport(input, { nonce, origin, maxAge, now = Math.floor(Date.now() / 1000) } = {}) {
  let report = input;
  if (typeof input === 'string') {
    try {
      report = JSON.parse(input);
    } catch {
      return failure(null, 'not JSON');
    }
  }
  // What a strict parser refuses, JSON.parse takes: a lone "\ud800" (no UTF-8 text,
  // and so no agent, holds one) and a number beyond any double (as Infinity).
  if (!wellFormed(report)) return failure(null, 'not JSON');
  if (report === null || typeof report !== 'object' || Array.isArray(report))
    return failure(report, 'not a JSON object');
  for (const key of [SIGNATURE, PUBLIC_KEY]) {
    const problem = stringProblem(report, key);
    if (problem) return failure(report, problem);
  }

  const signatureDer = decodeBase64(report[SIGNATURE]);
  if (!signatureDer) return failure(report, 'signature is not Base64');
  const point = decodeBase64(report[PUBLIC_KEY]);
  if (!point) return failure(report, 'public_key is not Base64');
  if (point.length !== 65 || point[0] !== 0x04)
    return failure(report, 'public_key is not a 65-byte uncompressed point');

  const subtle = globalThis.crypto && globalThis.crypto.subtle;
  if (!subtle) return failure(report, 'WebCrypto is unavailable (the page is not a secure context)');
  let key;
  try {
    key = await subtle.importKey('raw', point, { name: 'ECDSA', namedCurve: 'P-256' }, false, ['verify']);
  } catch {
    return failure(report, 'public_key is not a point on P-256');
  }
  const signature = derToRaw(signatureDer);
  if (!signature) return failure(report, 'signature is not a DER ECDSA signature');
  const payload = new TextEncoder().encode(signedPayload(report));
  if (!(await subtle.verify({ name: 'ECDSA', hash: 'SHA-256' }, key, signature, payload)))
    return failure(report, 'signature does not verify');

  // Only signed members mean anything, so these come after the signature.
  for (const [key, wanted] of [['nonce', nonce], ['origin', origin]]) {
    if (wanted === undefined) continue;
    const problem = stringProblem(report, key);
    if (problem) return failure(report, problem);
    if (report[key] !== wanted) return failure(report, `${key} does not match`);
  }
  if (maxAge !== undefined) {
    if (!Object.hasOwn(report, 'timestamp')) return failure(report, 'no timestamp');
    const { timestamp } = report;
    if (!Number.isInteger(timestamp)) return failure(report, 'timestamp is not an integer');
    if (timestamp < now - maxAge) return failure(report, `timestamp is older than ${maxAge} s`);
    if (timestamp > now + MAX_SECONDS_AHEAD)
      return failure(report, `timestamp is more than ${MAX_SECONDS_AHEAD} s ahead`);
  }
  return { report, verified: true, reason: null };
}

// The exact text the agent signs: every member but "signature" and
// "public_key", compact, keys sorted at every level, each "/" written as "\/".
export function signedPayload(report) {
  // No prototype, so a "__proto__" member is copied like any other, not swallowed by its setter.
  const data = Object.create(null);
  for (const key of Object.keys(report))
    if (key !== SIGNATURE && key !== PUBLIC_KEY) data[key] = report[key];
  return canonicalJson(data).replace(/\//g, '\\/');
}

function canonicalJson(value) {
  if (Array.isArray(value))
    return `[${value.map(canonicalJson).join(',')}]`;
  if (value !== null && typeof value === 'object') {
    // Written by hand: objects list integer-like keys first, whatever the order.
    const members = Object.keys(value).sort(byCodePoint)
      .map((key) => `${JSON.stringify(key)}:${canonicalJson(value[key])}`);
    return `{${members.join(',')}}`;
  }
  return JSON.stringify(value);
}

// UTF-8 byte order, as the agent sorts; plain sort() compares UTF-16 units.
function byCodePoint(a, b) {
  const x = Array.from(a, (c) => c.codePointAt(0));
  const y = Array.from(b, (c) => c.codePointAt(0));
  for (let i = 0; i < x.length && i < y.length; i++)
    if (x[i] !== y[i]) return x[i] - y[i];
  return x.length - y.length;
}

function agentRequest(url, init) {
  // Browsers that know LNA check the target is really loopback; older ones
  // ignore the member, and ones with another set of values reject it.
  try {
    return new Request(url, { targetAddressSpace: 'loopback', ...init });
  } catch {
    return new Request(url, init);
  }
}

// Standard, padded Base64 only: the re-encoding must give the same text back.
function decodeBase64(text) {
  if (!/^(?:[A-Za-z0-9+/]{4})*(?:[A-Za-z0-9+/]{2}==|[A-Za-z0-9+/]{3}=)?$/.test(text)) return null;
  const binary = atob(text);
  if (btoa(binary) !== text) return null;
  return Uint8Array.from(binary, (c) => c.charCodeAt(0));
}

// DER SEQUENCE { INTEGER r, INTEGER s } to the 64-byte r||s that WebCrypto
// takes. Strict DER, like OpenSSL, so no two encodings pass for one signature.
function derToRaw(der) {
  if (der.length < 8 || der[0] !== 0x30 || der[1] !== der.length - 2) return null;
  const raw = new Uint8Array(64);
  let at = 2;
  for (let part = 0; part < 2; part++) {
    if (at + 2 > der.length || der[at] !== 0x02) return null;
    const length = der[at + 1];
    at += 2;
    if (length < 1 || length > 33 || at + length > der.length) return null;
    let integer = der.subarray(at, at + length);
    at += length;
    if (integer[0] & 0x80) return null; // negative
    if (integer[0] === 0 && length > 1) {
      if (!(integer[1] & 0x80)) return null; // needless leading zero
      integer = integer.subarray(1);
    }
    if (integer.length > 32) return null;
    raw.set(integer, part * 32 + 32 - integer.length);
  }
  return at === der.length ? raw : null;
}

// Whether no string (key or value) holds half of a surrogate pair alone and every number is finite.
function wellFormed(value) {
  if (typeof value === 'string') return !/[\uD800-\uDFFF]/u.test(value);
  if (typeof value === 'number') return Number.isFinite(value);
  if (value === null || typeof value !== 'object') return true;
  return Object.entries(value).every(([key, member]) => wellFormed(key) && wellFormed(member));
}

function stringProblem(report, key) {
  if (!Object.hasOwn(report, key)) return `no ${key}`;
  return typeof report[key] === 'string' ? null : `${key} is not a string`;
}

// The agent explains a refusal (a malformed nonce) as {"error": "..."}.
function agentError(text) {
  try {
    const { error } = JSON.parse(text);
    return typeof error === 'string' ? `: ${error}` : '';
  } catch {
    return '';
  }
}

function failure(report, reason) {
  return { report, verified: false, reason };
}
