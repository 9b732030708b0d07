// Types of corvane-verify.js: checks a Corvane agent's signed status report.

/** The agent's own address. */
export const AGENT_URL: string;

/** Why a report was refused, for programs; the reason says it for people. */
export type VerdictCode =
  | 'malformed' // not a report: too deep, a number not a safe integer, not JSON, a member missing or mistyped, ...
  | 'bad-signature' // the signature does not verify over the signed members
  | 'wrong-nonce' // no nonce, or not the expected one
  | 'wrong-origin' // no origin, or not the expected one
  | 'key-mismatch' // public_key is not the expected key
  | 'stale' // older than maxAge seconds
  | 'from-the-future' // more than 60 s ahead of the clock
  | 'unsupported' // no WebCrypto (not a secure context)
  | 'unreachable' // fetchReport: the fetch failed
  | 'agent-error'; // fetchReport: the agent answered with a status other than 200

/** A report as served; unknown members are allowed (they are signed too). */
export interface Report {
  timestamp: number;
  device_id: string;
  connected_network: { bssid?: string; ssid?: string; [member: string]: unknown };
  nearby_networks: Array<{ bssid?: string; channel?: number; rssi?: number; ssid?: string; [member: string]: unknown }>;
  vpn_active: boolean;
  nonce?: string;
  origin?: string;
  key_storage?: string; // "tpm" or "file"
  signer?: string; // "system" or "session"
  signature: string;
  public_key: string;
  [member: string]: unknown;
}

/**
 * The outcome; never a rejection. report is the parsed object once the input is
 * a JSON object (null before that), checked or not: trust it only when verified.
 */
export type Verdict =
  | { report: Report; verified: true; reason: null; code: null }
  | { report: Record<string, unknown> | null; verified: false; reason: string; code: VerdictCode };

/** fetchReport's verdict, with the body as served (null when none came). */
export type FetchedVerdict = Verdict & { text: string | null };

export interface VerifyOptions {
  /** The report's signed "nonce" must be exactly this. */
  nonce?: string;
  /** The report's signed "origin" must be exactly this. */
  origin?: string;
  /** The report's "public_key" must be exactly this Base64 text. */
  expectedKey?: string;
  /** Seconds: "timestamp" at most this old and at most 60 s ahead of now; unchecked when absent. */
  maxAge?: number | null;
  /** Seconds since 1970; this clock unless given. */
  now?: number;
}

export interface FetchOptions {
  /** Asks the agent with ?nonce= and requires it, with origin, in the report. */
  nonce?: string;
  /** Defaults to location.origin; checked only with a nonce. */
  origin?: string;
  expectedKey?: string;
  maxAge?: number | null;
  url?: string | URL;
  init?: RequestInit;
}

/** 32 random bytes, base64url without padding: a challenge the agent takes. */
export function createNonce(): string;

/** Fetches the agent's report and verifies it; never rejects. */
export function fetchReport(options: FetchOptions): Promise<FetchedVerdict>;
export function fetchReport(url?: string | URL | Request, init?: RequestInit): Promise<FetchedVerdict>;

/**
 * Verifies the served text (preferred) or the parsed object; never rejects.
 * Text is scanned before parsing: nesting deeper than 16 levels and any number
 * but a plain integer within +-(2^53-1) are refused. Given a parsed object, the
 * same limits apply to its values, but a fraction such as 1.0 cannot be seen:
 * JSON.parse has already made it 1.
 */
export function verifyReport(input: string | object, options?: VerifyOptions): Promise<Verdict>;

/** The exact text the agent signs: every member but "signature" and "public_key", canonical. */
export function signedPayload(report: Record<string, unknown>): string;
