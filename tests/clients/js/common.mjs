// Shared helpers of the JavaScript client suites: results, deterministic data, checks.
import crypto from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';

export const ACCESS_KEY = 'AKIDQUILLMARTEST0001';
export const SECRET_KEY = 'quillmarTestSecretKey/0123456789abcdefghij';
export const endpoint = process.env.QS3_ENDPOINT;
export const root = process.env.QS3_ROOT;
export const authOn = process.env.QS3_AUTH === '1';

export function result(op, status, detail = '') {
  process.stdout.write('RESULT ' + JSON.stringify({ op, status, detail: String(detail).slice(0, 1500) }) + '\n');
}

// A client behaviour the server deliberately does not follow; the message says why.
export class ByDesign extends Error {}

export async function op(name, fn) {
  const t = Date.now();
  try {
    await fn();
    result(name, 'pass', ((Date.now() - t) / 1000).toFixed(1) + 's');
  } catch (e) {
    if (e instanceof ByDesign) result(name, 'by design', e.message);
    else result(name, 'fail', (e && (e.stack || e.message)) || String(e));
  }
}

export function check(cond, msg) {
  if (!cond) throw new Error(msg);
}

// n deterministic bytes
export function data(n, seed) {
  const out = Buffer.alloc(n);
  let x = seed >>> 0 || 1;
  for (let i = 0; i < n; i++) {
    x ^= x << 13; x >>>= 0; x ^= x >>> 17; x ^= x << 5; x >>>= 0;
    out[i] = x & 0xff;
  }
  return out;
}

// Keys that need percent-encoding in the path, escaping in XML, or both, and keys that are no
// Windows file names (ISO timestamps, <>:"|?*, a trailing ".", device names), which the server
// stores in an encoded form there; all are plain file names on Linux, where the suites run.
export const ODD_KEYS = ['sp ace.txt', 'plus+sign', 'pct%41', 'amp&\'', '\u00fcn\u00ef/c\u00f6d\u00e9', 'tilde~x',
  'eq=a;b,c', 'hash#y', 'paren(x)!$@', 'dir/sub dir/k', 'logs/2026-01-01T10:00:00.log',
  'what?.txt', 'a|b', 'name.', 'con.txt', 'star*.x', 'lt<gt>', 'q"uote'];

export function sorted(list) {
  return [...list].sort((a, b) => (a < b ? -1 : a > b ? 1 : 0));
}

export function md5(b) {
  return crypto.createHash('md5').update(b).digest('hex');
}

export function tmpFile(name, content) {
  const dir = fs.mkdtempSync('/tmp/qs3-js-');
  const p = path.join(dir, name);
  fs.writeFileSync(p, content);
  return p;
}

export function populate(bucket, keys) {
  for (const k of keys) {
    const p = path.join(root, bucket, k);
    fs.mkdirSync(path.dirname(p), { recursive: true });
    fs.writeFileSync(p, 'x');
  }
}

export function listingKeys(n) {
  const out = [];
  for (let i = 0; i < n; i++) {
    const s = String(i).padStart(4, '0');
    if (i % 3 === 0) out.push('dir-a/k' + s);
    else if (i % 3 === 1) out.push('dir-b/sub/k' + s);
    else out.push('top' + s);
  }
  return out.sort((a, b) => (a < b ? -1 : a > b ? 1 : 0));
}

export function onDisk(bucket, key) {
  return fs.readFileSync(path.join(root, bucket, key));
}

export function existsOnDisk(bucket, key) {
  return fs.existsSync(path.join(root, bucket, key));
}

export function filesUnder(dir) {
  if (!fs.existsSync(dir)) return [];
  const out = [];
  for (const e of fs.readdirSync(dir, { withFileTypes: true })) {
    const p = path.join(dir, e.name);
    if (e.isDirectory()) out.push(...filesUnder(p));
    else out.push(p);
  }
  return out;
}
