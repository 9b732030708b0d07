// Fetches the Corvane agent's status report and checks it with WebCrypto, by
// the rule corvane-verify and the corvane_verify Python package apply too: the
// same checks in the same order, the same reasons and codes. No dependencies;
// works in any secure context and in Node 20+. Neither verifyReport nor
// fetchReport ever rejects: every outcome is a verdict.
//
//   import { createNonce, fetchReport } from 'corvane-verify';
//   const { report, verified, reason, code, text } = await fetchReport({ nonce: createNonce() });

export const AGENT_URL = 'http://127.0.0.1:12180/';

const SIGNATURE = 'signature';
const PUBLIC_KEY = 'public_key';
// How far ahead of this clock a timestamp may be: clocks drift.
const MAX_SECONDS_AHEAD = 60;
// A report is at most 3 deep; the bound keeps every walk of one short.
const MAX_DEPTH = 16;
const TOO_DEEP = `nested deeper than ${MAX_DEPTH} levels`;
const BAD_NUMBER = 'a number is not an integer between -(2^53-1) and 2^53-1';
const NOT_JSON = 'not JSON';
const NUMBER_CHARACTERS = '-+.eE0123456789';
const LONE_SURROGATE = /[\uD800-\uDFFF]/u;
const isObject = (value) => value !== null && typeof value === 'object' && !Array.isArray(value);
const isString = (value) => typeof value === 'string';
// The members every report has, in the order they are checked, with their JSON types.
const REQUIRED = [
  ['timestamp', 'an integer', Number.isSafeInteger],
  ['device_id', 'a string', isString],
  ['connected_network', 'an object', isObject],
  ['nearby_networks', 'an array', Array.isArray],
  ['vpn_active', 'a boolean', (value) => typeof value === 'boolean'],
  [SIGNATURE, 'a string', isString],
  [PUBLIC_KEY, 'a string', isString],
];
// Members that only some reports carry; strings when present.
const OPTIONAL = ['nonce', 'origin', 'key_storage', 'signer'];

// 32 random bytes, base64url without padding: a challenge the agent takes.
export function createNonce() {
  const bytes = crypto.getRandomValues(new Uint8Array(32));
  return btoa(String.fromCharCode(...bytes)).replace(/\+/g, '-').replace(/\//g, '_').replace(/=+$/, '');
}

// Fetches the report from the agent and verifies it. Either fetchReport(url, init)
// or fetchReport({ nonce, origin, maxAge, expectedKey, url, init }): with a nonce
// the agent is asked with ?nonce=, and the report must carry that nonce and the
// page's origin (origin defaults to location.origin); maxAge and expectedKey are
// verifyReport's. text is the body as served, for posting on to a server that
// decides. A failed fetch has the code "unreachable", an answer other than 200
// "agent-error" (with the agent's own explanation when it sent one).
export async function fetchReport(target = AGENT_URL, init = {}) {
  let text = null;
  try {
    let options = { url: target, init };
    if (typeof target === 'object' && !(target instanceof URL) && !(target instanceof Request))
      options = { url: AGENT_URL, init: {}, origin: globalThis.location?.origin, ...target };
    const { nonce, origin, maxAge, expectedKey } = options;
    let url = options.url;
    if (nonce !== undefined) {
      url = new URL(url);
      url.searchParams.set('nonce', nonce);
    }
    const response = await fetch(agentRequest(url, options.init));
    text = await response.text();
    if (!response.ok) {
      const reason = `the agent answered with status ${response.status}${agentError(text)}`;
      return { ...failure(null, reason, 'agent-error'), text };
    }
    const expected = nonce === undefined ? { maxAge, expectedKey } : { nonce, origin, maxAge, expectedKey };
    return { ...(await verifyReport(text, expected)), text };
  } catch (error) {
    return { ...failure(null, `fetch failed: ${error && error.message ? error.message : error}`, 'unreachable'), text };
  }
}

// Verifies a report fetched elsewhere: the served JSON text or the parsed object.
// With a nonce or an origin, the report's signed "nonce" or "origin" must equal it;
// with expectedKey, its "public_key" must be that Base64 text; with maxAge (seconds),
// its "timestamp" must be at most that old and at most 60 s ahead of now (seconds
// since 1970, this clock unless given).
//
// Text is scanned before it is parsed: no nesting deeper than 16 levels, no number
// but a plain integer within +-(2^53-1). A parsed object gets the same limits on its
// values, but JSON.parse has already made 1.0 and 1e2 plain integers: a fraction or
// an exponent that parsing rounded away cannot be seen, so pass the text when there
// is text.
export async function verifyReport(input, options) {
  try {
    return await judge(input, options ?? {});
  } catch {
    // Only what no JSON text gives can throw here: a getter that throws, a Proxy.
    return failure(null, NOT_JSON);
  }
}

async function judge(input, { nonce, origin, maxAge, now = Math.floor(Date.now() / 1000), expectedKey }) {
  let report = input;
  if (typeof input === 'string') {
    const problem = lexicalProblem(input);
    if (problem) return failure(null, problem);
    try {
      report = JSON.parse(input);
    } catch {
      return failure(null, NOT_JSON);
    }
  }
  const problem = valueProblem(report);
  if (problem) return failure(null, problem);
  if (!isObject(report)) return failure(null, 'not a JSON object');
  for (const [member, type, is] of REQUIRED) {
    if (!Object.hasOwn(report, member)) return failure(report, `no ${member}`);
    if (!is(report[member])) return failure(report, `${member} is not ${type}`);
  }
  for (const member of OPTIONAL)
    if (Object.hasOwn(report, member) && !isString(report[member]))
      return failure(report, `${member} is not a string`);

  const signatureDer = decodeBase64(report[SIGNATURE]);
  if (!signatureDer) return failure(report, 'signature is not Base64');
  const point = decodeBase64(report[PUBLIC_KEY]);
  if (!point) return failure(report, 'public_key is not Base64');
  if (point.length !== 65 || point[0] !== 0x04)
    return failure(report, 'public_key is not a 65-byte uncompressed point');

  const subtle = globalThis.crypto && globalThis.crypto.subtle;
  if (!subtle) return failure(report, 'WebCrypto is unavailable (the page is not a secure context)', 'unsupported');
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
    return failure(report, 'signature does not verify', 'bad-signature');

  // Only signed members mean anything, so these come after the signature.
  for (const [member, wanted, code] of [['nonce', nonce, 'wrong-nonce'], ['origin', origin, 'wrong-origin']]) {
    if (wanted === undefined) continue;
    if (!Object.hasOwn(report, member)) return failure(report, `no ${member}`, code);
    if (report[member] !== wanted) return failure(report, `${member} does not match`, code);
  }
  if (expectedKey !== undefined && report[PUBLIC_KEY] !== expectedKey)
    return failure(report, 'public_key is not the expected key', 'key-mismatch');
  if (maxAge !== undefined && maxAge !== null) {
    const { timestamp } = report;
    if (timestamp < now - maxAge) return failure(report, `timestamp is older than ${maxAge} s`, 'stale');
    if (timestamp > now + MAX_SECONDS_AHEAD)
      return failure(report, `timestamp is more than ${MAX_SECONDS_AHEAD} s ahead`, 'from-the-future');
  }
  return { report, verified: true, reason: null, code: null };
}

// What the text shows before JSON.parse reads it: too deep a nesting, or a number
// that parsers would read differently (a fraction, an exponent, beyond a double).
// One pass without recursion; malformed text is left to the parser.
function lexicalProblem(text) {
  let depth = 0;
  for (let at = 0; at < text.length;) {
    const c = text[at];
    if (c === '"') {
      for (at++; at < text.length && text[at] !== '"'; at++) if (text[at] === '\\') at++;
      at++;
    } else if (NUMBER_CHARACTERS.includes(c)) {
      const start = at;
      while (at < text.length && NUMBER_CHARACTERS.includes(text[at])) at++;
      const run = text.slice(start, at);
      if (/^[-0-9]/.test(run) && !isPlainInteger(run)) return BAD_NUMBER;
    } else {
      if ((c === '{' || c === '[') && ++depth > MAX_DEPTH) return TOO_DEEP;
      if (c === '}' || c === ']') depth--;
      at++;
    }
  }
  return null;
}

// -?(0|[1-9][0-9]*), not -0, at most 2^53 - 1 either way (no longer run of digits
// rounds down to a safe integer).
function isPlainInteger(run) {
  return /^-?(0|[1-9][0-9]*)$/.test(run) && run !== '-0' && Number.isSafeInteger(Number(run));
}

// The same limits on a parsed value, walked without recursion (a cycle ends as too
// deep), and what JSON.parse takes but a strict parser refuses: a lone "\ud800",
// which no UTF-8 text, and so no agent, holds. What JSON cannot hold (undefined,
// a function, a Date, an array with holes) is not JSON either.
function valueProblem(root) {
  let lone = false;
  const pending = [[root, 1]];
  while (pending.length > 0) {
    const [value, depth] = pending.pop();
    if (isString(value)) {
      lone ||= LONE_SURROGATE.test(value);
    } else if (typeof value === 'number') {
      if (!Number.isSafeInteger(value) || Object.is(value, -0)) return BAD_NUMBER;
    } else if (Array.isArray(value) || Object.prototype.toString.call(value) === '[object Object]') {
      if (depth > MAX_DEPTH) return TOO_DEEP;
      const keys = Object.keys(value);
      if (Array.isArray(value) && keys.length !== value.length) return NOT_JSON;
      lone ||= !Array.isArray(value) && keys.some((key) => LONE_SURROGATE.test(key));
      // Reversed, so members come off the stack in their order.
      for (let i = keys.length - 1; i >= 0; i--) pending.push([value[keys[i]], depth + 1]);
    } else if (value !== null && typeof value !== 'boolean') {
      return NOT_JSON;
    }
  }
  return lone ? NOT_JSON : null;
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

// The agent explains a refusal (a malformed nonce) as {"error": "..."}.
function agentError(text) {
  try {
    const { error } = JSON.parse(text);
    return typeof error === 'string' ? `: ${error}` : '';
  } catch {
    return '';
  }
}

function failure(report, reason, code = 'malformed') {
  return { report, verified: false, reason, code };
}
