// The minio JavaScript client against quillmar-s3d: path style, region us-east-1 or none at all.
import fs from 'node:fs';
import path from 'node:path';
import { Readable } from 'node:stream';
import * as Minio from 'minio';
import * as c from './common.mjs';

const BIG = 20 * 1024 * 1024;
const url = new URL(c.endpoint);

function client(secret = c.SECRET_KEY) {
  const opts = { endPoint: url.hostname, port: Number(url.port), useSSL: false, accessKey: c.ACCESS_KEY, secretKey: secret, pathStyle: true };
  if (process.env.QS3_REGION) opts.region = process.env.QS3_REGION;
  return new Minio.Client(opts);
}

async function collect(stream) {
  const chunks = [];
  for await (const ch of stream) chunks.push(ch);
  return chunks;
}

async function bytes(stream) {
  return Buffer.concat(await collect(stream));
}

async function main() {
  const mc = client();
  if (!c.authOn) {
    await c.op('auth off', async () => {
      await mc.makeBucket('open');
      await mc.putObject('open', 'k', Buffer.from('v'));
      c.check((await bytes(await mc.getObject('open', 'k'))).toString() === 'v', 'get');
    });
    return;
  }
  const b = 'minio-bucket';
  const small = Buffer.from('minio small body');
  const big = c.data(BIG, 6);
  await c.op('make bucket', () => mc.makeBucket(b));
  await c.op('list buckets', async () => {
    c.check((await mc.listBuckets()).some((x) => x.name === b), 'not listed');
  });
  await c.op('head bucket', async () => c.check(await mc.bucketExists(b), 'bucketExists false'));
  await c.op('put small+meta', async () => {
    await mc.putObject(b, 'small.txt', small, small.length, { 'Content-Type': 'text/x-note', 'x-amz-meta-color': 'blue' });
    const st = await mc.statObject(b, 'small.txt');
    c.check(st.metaData['content-type'] === 'text/x-note', 'content type ' + JSON.stringify(st.metaData));
    c.check(st.metaData.color === 'blue', 'metadata ' + JSON.stringify(st.metaData));
  });
  await c.op('put 20 MiB', async () => {
    await mc.putObject(b, 'big.bin', big);
    c.check(c.onDisk(b, 'big.bin').equals(big), 'stored bytes differ');
  });
  await c.op('put stream', async () => {
    const body = big.subarray(0, 6 * 1024 * 1024 + 7);
    await mc.putObject(b, 'stream.bin', Readable.from([body.subarray(0, 1000), body.subarray(1000)]));
    c.check(c.onDisk(b, 'stream.bin').equals(body), 'stored bytes differ');
  });
  await c.op('get whole', async () => {
    c.check((await bytes(await mc.getObject(b, 'big.bin'))).equals(big), 'differs');
  });
  await c.op('get range', async () => {
    c.check((await bytes(await mc.getPartialObject(b, 'big.bin', 100, 50))).equals(big.subarray(100, 150)), 'range differs');
  });
  await c.op('head object', async () => {
    c.check((await mc.statObject(b, 'big.bin')).size === BIG, 'size');
  });
  await c.op('copy small', async () => {
    await mc.copyObject(b, 'copy.txt', `/${b}/small.txt`, new Minio.CopyConditions());
    c.check(c.onDisk(b, 'copy.txt').equals(small), 'copy differs');
  });
  await c.op('copy 20 MiB', async () => {
    await mc.copyObject(b, 'big2.bin', `/${b}/big.bin`, new Minio.CopyConditions());
    c.check(c.onDisk(b, 'big2.bin').equals(big), 'copy differs');
  });
  await c.op('multipart api', async () => {
    // Above the client's 64 MiB part size putObject goes multipart, asking first for an upload
    // of that key to resume.
    const n = 64 * 1024 * 1024 + 4096;
    const body = Buffer.concat([big, big, big, big.subarray(0, n - 3 * BIG)]);
    const MiB = 1024 * 1024;
    // The client cuts parts out of the stream's chunks but passes a chunk larger than a part whole.
    const pieces = Array.from({ length: Math.ceil(n / MiB) }, (_, i) => body.subarray(i * MiB, (i + 1) * MiB));
    await mc.putObject(b, 'mp.bin', Readable.from(pieces), n);
    c.check(c.onDisk(b, 'mp.bin').equals(body), 'stored bytes differ');
    c.check((await mc.statObject(b, 'mp.bin')).etag.endsWith('-2'), 'not a two-part upload');
    const id = await mc.initiateNewMultipartUpload(b, 'open/one.bin', {});
    const ups = await collect(mc.listIncompleteUploads(b, 'open/', true));
    c.check(ups.length === 1 && ups[0].uploadId === id && ups[0].key === 'open/one.bin', 'uploads ' + JSON.stringify(ups));
    await mc.removeIncompleteUpload(b, 'open/one.bin');
    c.check((await collect(mc.listIncompleteUploads(b, '', true))).length === 0, 'not aborted');
  });
  await c.op('odd keys', async () => {
    for (const k of c.ODD_KEYS) {
      await mc.putObject(b, 'odd/' + k, Buffer.from(k));
      c.check((await bytes(await mc.getObject(b, 'odd/' + k))).toString() === k, 'get ' + k);
    }
    const want = c.sorted(c.ODD_KEYS.map((k) => 'odd/' + k));
    // The client asks for encoding-type=url and percent-decodes every listed name: the listing
    // must come encoded for "%" and "+" in keys to survive.
    for (const [kind, stream] of [['v1', () => mc.listObjects(b, 'odd/', true)], ['v2', () => mc.listObjectsV2(b, 'odd/', true)]]) {
      const got = c.sorted((await collect(stream())).map((x) => x.name));
      c.check(JSON.stringify(got) === JSON.stringify(want), 'listing ' + kind + ' ' + JSON.stringify(got));
    }
    await mc.removeObjects(b, want);
    const left = [];
    for (const k of want) if (c.existsOnDisk(b, k)) left.push(k);
    for (const k of left) await mc.removeObject(b, k);
    c.check(left.length === 0, 'reported deleted but still there: ' + JSON.stringify(left));
  });
  const keys = c.listingKeys(1100);
  c.populate('minio-list', keys);
  await c.op('list v1', async () => {
    const got = (await collect(mc.listObjects('minio-list', '', true))).map((x) => x.name);
    c.check(JSON.stringify(got) === JSON.stringify(keys), 'v1 keys differ ' + got.length);
    const top = (await collect(mc.listObjects('minio-list', 'dir-b/', false))).map((x) => x.prefix || x.name);
    c.check(JSON.stringify(top) === '["dir-b/sub/"]', 'prefixes ' + JSON.stringify(top));
  });
  await c.op('list v2', async () => {
    const got = (await collect(mc.listObjectsV2('minio-list', '', true))).map((x) => x.name);
    c.check(JSON.stringify(got) === JSON.stringify(keys), 'v2 keys differ ' + got.length);
  });
  await c.op('delete one', async () => {
    await mc.removeObject(b, 'copy.txt');
    c.check(!c.existsOnDisk(b, 'copy.txt'), 'still there');
  });
  const del = Array.from({ length: 1500 }, (_, i) => 'del/k' + String(i).padStart(4, '0'));
  c.populate(b, del);
  await c.op('delete batch', async () => {
    await mc.removeObjects(b, del);
    c.check(c.filesUnder(path.join(c.root, b, 'del')).length === 0, 'keys left');
  });
  await c.op('remove bucket', async () => {
    const names = (await collect(mc.listObjects(b, '', true))).map((x) => x.name);
    await mc.removeObjects(b, names);
    await mc.removeBucket(b);
    c.check(!fs.existsSync(path.join(c.root, b)), 'bucket dir still there');
  });
  await c.op('wrong secret', async () => {
    try {
      await client('wrong').listBuckets();
    } catch (e) {
      c.check(e.code === 'SignatureDoesNotMatch', 'error ' + e.code);
      return;
    }
    throw new Error('request was accepted');
  });
}

main().catch((e) => { c.result('suite', 'fail', e.stack || String(e)); process.exit(1); });
