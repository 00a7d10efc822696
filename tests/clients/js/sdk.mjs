// The AWS SDK for JavaScript v3 (client-s3 + lib-storage) against quillmar-s3d, default checksums.
import fs from 'node:fs';
import path from 'node:path';
import { Readable } from 'node:stream';
import {
  S3Client, CreateBucketCommand, ListBucketsCommand, HeadBucketCommand, PutObjectCommand,
  GetObjectCommand, HeadObjectCommand, CopyObjectCommand, ListObjectsCommand, ListObjectsV2Command,
  DeleteObjectCommand, DeleteObjectsCommand, DeleteBucketCommand, CreateMultipartUploadCommand,
  UploadPartCopyCommand, CompleteMultipartUploadCommand, paginateListObjectsV2, UploadPartCommand,
  ListPartsCommand, ListMultipartUploadsCommand, AbortMultipartUploadCommand,
  GetObjectAttributesCommand,
  GetObjectTaggingCommand, PutObjectTaggingCommand, DeleteObjectTaggingCommand,
  GetBucketTaggingCommand, PutBucketTaggingCommand, DeleteBucketTaggingCommand,
  PutBucketVersioningCommand, ListObjectVersionsCommand,
} from '@aws-sdk/client-s3';
import crypto from 'node:crypto';
import { Upload } from '@aws-sdk/lib-storage';
import * as c from './common.mjs';

const BIG = 20 * 1024 * 1024;

function client(secret = c.SECRET_KEY) {
  return new S3Client({
    endpoint: c.endpoint, region: 'us-east-1', forcePathStyle: true,
    credentials: { accessKeyId: c.ACCESS_KEY, secretAccessKey: secret },
  });
}

async function bytes(resp) {
  return Buffer.from(await resp.Body.transformToByteArray());
}

// The checksum of body as S3 writes it (Base64), from a bitwise CRC or node's hashes.
function checksumOf(algo, body) {
  if (algo === 'SHA1' || algo === 'SHA256') return crypto.createHash(algo.toLowerCase()).update(body).digest('base64');
  const [poly, width] = { CRC32: [0xEDB88320n, 32n], CRC32C: [0x82F63B78n, 32n], CRC64NVME: [0x9A6C9329AC4BC9B5n, 64n] }[algo];
  const mask = (1n << width) - 1n;
  let crc = mask;
  for (const byte of body) {
    crc ^= BigInt(byte);
    for (let k = 0; k < 8; k++) crc = (crc & 1n) ? (crc >> 1n) ^ poly : crc >> 1n;
  }
  crc ^= mask;
  const out = Buffer.alloc(Number(width / 8n));
  for (let i = out.length - 1; i >= 0; i--) { out[i] = Number(crc & 0xffn); crc >>= 8n; }
  return out.toString('base64');
}

// Each algorithm as a header (a buffer body, whose checksum the SDK sends up front) and as a
// trailer (a stream, sent aws-chunked with the checksum after the data); a 50 MiB Upload; GetObject
// in the SDK's default checksum mode, which validates a whole object; GetObjectAttributes.
async function checksums(s3) {
  const b = 'jssdk-sums';
  await s3.send(new CreateBucketCommand({ Bucket: b }));
  const body = c.data(300 * 1024, 11);
  for (const algo of ['CRC32', 'CRC32C', 'CRC64NVME', 'SHA1', 'SHA256']) {
    for (const how of ['header', 'trailer']) {
      await c.op(`checksum ${algo} ${how}`, async () => {
        const key = `${algo}-${how}.bin`;
        const Body = how === 'header' ? body : fs.createReadStream(c.tmpFile(key, body));
        const put = await s3.send(new PutObjectCommand({ Bucket: b, Key: key, Body, ContentLength: body.length, ChecksumAlgorithm: algo }));
        const want = checksumOf(algo, body);
        c.check(put['Checksum' + algo] === want, `put answered ${put['Checksum' + algo]}, want ${want}`);
        c.check(c.onDisk(b, key).equals(body), 'stored bytes differ');
        const h = await s3.send(new HeadObjectCommand({ Bucket: b, Key: key, ChecksumMode: 'ENABLED' }));
        c.check(h['Checksum' + algo] === want && h.ChecksumType === 'FULL_OBJECT', 'head ' + JSON.stringify(h).slice(0, 300));
      });
    }
  }
  const fifty = c.data(50 * 1024 * 1024, 12);
  await c.op('Upload 50 MiB', async () => {
    await new Upload({ client: s3, params: { Bucket: b, Key: 'fifty.bin', Body: Readable.from([fifty]) } }).done();
    c.check(c.md5(c.onDisk(b, 'fifty.bin')) === c.md5(fifty), 'stored bytes differ');
  });
  await c.op('GetObject checksum mode', async () => {
    // The SDK asks for the checksum by default and validates the body against it.
    const r = await s3.send(new GetObjectCommand({ Bucket: b, Key: 'CRC32-header.bin' }));
    c.check((await bytes(r)).equals(body) && r.ChecksumCRC32 === checksumOf('CRC32', body), 'validated get');
    const f = await s3.send(new GetObjectCommand({ Bucket: b, Key: 'fifty.bin' }));
    c.check(c.md5(await bytes(f)) === c.md5(fifty), 'fifty MiB back');
  });
  await c.op('GetObjectAttributes', async () => {
    const a = await s3.send(new GetObjectAttributesCommand({ Bucket: b, Key: 'fifty.bin',
      ObjectAttributes: ['ETag', 'Checksum', 'ObjectParts', 'StorageClass', 'ObjectSize'] }));
    c.check(a.ObjectSize === fifty.length && a.StorageClass === 'STANDARD', JSON.stringify(a).slice(0, 300));
    c.check(a.ObjectParts && a.ObjectParts.TotalPartsCount === 10, 'parts ' + JSON.stringify(a.ObjectParts).slice(0, 300));
    c.check(a.Checksum && Object.keys(a.Checksum).some((k) => k.startsWith('Checksum') && k !== 'ChecksumType'), 'checksum ' + JSON.stringify(a.Checksum));
    const one = await s3.send(new GetObjectAttributesCommand({ Bucket: b, Key: 'SHA256-trailer.bin', ObjectAttributes: ['Checksum', 'ObjectSize'] }));
    c.check(one.Checksum.ChecksumSHA256 === checksumOf('SHA256', body) && one.ObjectSize === body.length, JSON.stringify(one).slice(0, 300));
  });
  const r = await s3.send(new ListObjectsV2Command({ Bucket: b }));
  for (const o of r.Contents || []) await s3.send(new DeleteObjectCommand({ Bucket: b, Key: o.Key }));
  await s3.send(new DeleteBucketCommand({ Bucket: b }));
}

async function main() {
  const s3 = client();
  if (!c.authOn) {
    await c.op('auth off', async () => {
      await s3.send(new CreateBucketCommand({ Bucket: 'open' }));
      await s3.send(new PutObjectCommand({ Bucket: 'open', Key: 'k', Body: Buffer.from('v') }));
      c.check((await bytes(await s3.send(new GetObjectCommand({ Bucket: 'open', Key: 'k' })))).toString() === 'v', 'get');
    });
    return;
  }
  const b = 'jssdk-bucket';
  const small = Buffer.from('js sdk small body');
  const big = c.data(BIG, 5);
  await c.op('make bucket', () => s3.send(new CreateBucketCommand({ Bucket: b })));
  await c.op('list buckets', async () => {
    const r = await s3.send(new ListBucketsCommand({}));
    c.check(r.Buckets.some((x) => x.Name === b), 'not listed');
  });
  await c.op('head bucket', () => s3.send(new HeadBucketCommand({ Bucket: b })));
  await c.op('put small+meta', async () => {
    await s3.send(new PutObjectCommand({ Bucket: b, Key: 'small.txt', Body: small, ContentType: 'text/x-note', Metadata: { owner: 'ann' } }));
    const h = await s3.send(new HeadObjectCommand({ Bucket: b, Key: 'small.txt' }));
    c.check(h.ContentType === 'text/x-note', 'content type ' + h.ContentType);
    c.check(h.Metadata.owner === 'ann', 'metadata ' + JSON.stringify(h.Metadata));
  });
  await c.op('put stream', async () => {
    for (const [name, n] of [['rs-small.bin', 1000], ['rs-3m.bin', 3 * 1024 * 1024]]) {
      const body = c.data(n, n);
      const p = c.tmpFile(name, body);
      await s3.send(new PutObjectCommand({ Bucket: b, Key: name, Body: fs.createReadStream(p), ContentLength: undefined }));
      c.check(c.onDisk(b, name).equals(body), name + ' stored bytes differ');
      const back = await bytes(await s3.send(new GetObjectCommand({ Bucket: b, Key: name })));
      c.check(back.equals(body), name + ' downloaded bytes differ');
    }
  });
  await c.op('put 20 MiB', async () => {
    const up = new Upload({ client: s3, params: { Bucket: b, Key: 'big.bin', Body: Readable.from([big.subarray(0, BIG / 2), big.subarray(BIG / 2)]) } });
    await up.done();
    c.check(c.onDisk(b, 'big.bin').equals(big), 'stored bytes differ');
  });
  await c.op('get whole', async () => {
    c.check((await bytes(await s3.send(new GetObjectCommand({ Bucket: b, Key: 'big.bin' })))).equals(big), 'differs');
  });
  await c.op('get range', async () => {
    const r = await s3.send(new GetObjectCommand({ Bucket: b, Key: 'big.bin', Range: 'bytes=10-19' }));
    c.check((await bytes(r)).equals(big.subarray(10, 20)), 'range differs');
  });
  await c.op('head object', async () => {
    const h = await s3.send(new HeadObjectCommand({ Bucket: b, Key: 'big.bin' }));
    c.check(h.ContentLength === BIG, 'length ' + h.ContentLength);
  });
  await c.op('copy small', async () => {
    await s3.send(new CopyObjectCommand({ Bucket: b, Key: 'copy.txt', CopySource: `${b}/small.txt` }));
    c.check(c.onDisk(b, 'copy.txt').equals(small), 'copy differs');
  });
  await c.op('copy 20 MiB', async () => {
    const { UploadId } = await s3.send(new CreateMultipartUploadCommand({ Bucket: b, Key: 'big2.bin' }));
    const parts = [];
    const step = 8 * 1024 * 1024;
    for (let off = 0, n = 1; off < BIG; off += step, n++) {
      const last = Math.min(off + step, BIG) - 1;
      const r = await s3.send(new UploadPartCopyCommand({ Bucket: b, Key: 'big2.bin', UploadId, PartNumber: n, CopySource: `${b}/big.bin`, CopySourceRange: `bytes=${off}-${last}` }));
      parts.push({ PartNumber: n, ETag: r.CopyPartResult.ETag });
    }
    await s3.send(new CompleteMultipartUploadCommand({ Bucket: b, Key: 'big2.bin', UploadId, MultipartUpload: { Parts: parts } }));
    c.check((await bytes(await s3.send(new GetObjectCommand({ Bucket: b, Key: 'big2.bin' })))).equals(big), 'copy differs');
  });
  await c.op('multipart api', async () => {
    const { UploadId } = await s3.send(new CreateMultipartUploadCommand({ Bucket: b, Key: 'parts.bin' }));
    await s3.send(new UploadPartCommand({ Bucket: b, Key: 'parts.bin', UploadId, PartNumber: 1, Body: big.subarray(0, 5 * 1024 * 1024) }));
    await s3.send(new UploadPartCommand({ Bucket: b, Key: 'parts.bin', UploadId, PartNumber: 2, Body: Buffer.from('tail') }));
    const parts = (await s3.send(new ListPartsCommand({ Bucket: b, Key: 'parts.bin', UploadId }))).Parts || [];
    c.check(JSON.stringify(parts.map((p) => [p.PartNumber, p.Size])) === JSON.stringify([[1, 5 * 1024 * 1024], [2, 4]]), 'parts ' + JSON.stringify(parts));
    c.check(parts.every((p) => p.LastModified instanceof Date && !isNaN(p.LastModified)), 'part dates ' + JSON.stringify(parts));
    const ups = (await s3.send(new ListMultipartUploadsCommand({ Bucket: b, Prefix: 'parts' }))).Uploads || [];
    c.check(ups.length === 1 && ups[0].UploadId === UploadId && ups[0].Key === 'parts.bin', 'uploads ' + JSON.stringify(ups));
    await s3.send(new AbortMultipartUploadCommand({ Bucket: b, Key: 'parts.bin', UploadId }));
    const after = (await s3.send(new ListMultipartUploadsCommand({ Bucket: b }))).Uploads || [];
    c.check(after.length === 0, 'not aborted');
  });
  await c.op('tagging', async () => {
    const tags = async (Key) => JSON.stringify(((await s3.send(new GetObjectTaggingCommand({ Bucket: b, Key }))).TagSet || [])
      .map((t) => [t.Key, t.Value]));
    await s3.send(new PutObjectCommand({ Bucket: b, Key: 'tagged.txt', Body: small, Tagging: 'team=blue&note=a%20b' }));
    c.check(await tags('tagged.txt') === JSON.stringify([['team', 'blue'], ['note', 'a b']]), 'put ' + await tags('tagged.txt'));
    const h = await s3.send(new GetObjectCommand({ Bucket: b, Key: 'tagged.txt' }));
    await bytes(h);
    c.check(h.TagCount === 2, 'TagCount ' + h.TagCount);
    await s3.send(new PutObjectTaggingCommand({ Bucket: b, Key: 'tagged.txt', Tagging: { TagSet: [{ Key: 'état', Value: 'prêt' }] } }));
    c.check(await tags('tagged.txt') === JSON.stringify([['état', 'prêt']]), 'replaced ' + await tags('tagged.txt'));
    // lib-storage's Upload sets the tags of a multipart upload once it is complete.
    const up = new Upload({ client: s3, params: { Bucket: b, Key: 'tagged-big.bin', Body: big.subarray(0, 6 * 1024 * 1024) }, tags: [{ Key: 'size', Value: 'big' }] });
    await up.done();
    c.check(await tags('tagged-big.bin') === JSON.stringify([['size', 'big']]), 'Upload ' + await tags('tagged-big.bin'));
    await s3.send(new CopyObjectCommand({ Bucket: b, Key: 'tagged-copy.txt', CopySource: `${b}/tagged.txt` }));
    c.check(await tags('tagged-copy.txt') === JSON.stringify([['état', 'prêt']]), 'copy ' + await tags('tagged-copy.txt'));
    await s3.send(new DeleteObjectTaggingCommand({ Bucket: b, Key: 'tagged.txt' }));
    c.check(await tags('tagged.txt') === '[]', 'deleted ' + await tags('tagged.txt'));
    let refused = '';
    try {
      await s3.send(new PutObjectTaggingCommand({ Bucket: b, Key: 'tagged.txt', Tagging: { TagSet: [{ Key: 'd', Value: '1' }, { Key: 'd', Value: '2' }] } }));
    } catch (e) { refused = e.name; }
    c.check(refused === 'InvalidTag', 'duplicate key answered ' + refused);
    await s3.send(new PutBucketTaggingCommand({ Bucket: b, Tagging: { TagSet: [{ Key: 'owner', Value: 'qa' }] } }));
    const bt = await s3.send(new GetBucketTaggingCommand({ Bucket: b }));
    c.check(JSON.stringify(bt.TagSet) === JSON.stringify([{ Key: 'owner', Value: 'qa' }]), 'bucket ' + JSON.stringify(bt.TagSet));
    await s3.send(new DeleteBucketTaggingCommand({ Bucket: b }));
    let none = '';
    try { await s3.send(new GetBucketTaggingCommand({ Bucket: b })); } catch (e) { none = e.name; }
    c.check(none === 'NoSuchTagSet', 'bucket tags after delete: ' + none);
    await s3.send(new DeleteObjectsCommand({ Bucket: b, Delete: { Objects: ['tagged.txt', 'tagged-big.bin', 'tagged-copy.txt'].map((Key) => ({ Key })) } }));
  });
  await c.op('odd keys', async () => {
    for (const k of c.ODD_KEYS) {
      await s3.send(new PutObjectCommand({ Bucket: b, Key: 'odd/' + k, Body: Buffer.from(k) }));
      c.check((await bytes(await s3.send(new GetObjectCommand({ Bucket: b, Key: 'odd/' + k })))).toString() === k, 'get ' + k);
      await s3.send(new CopyObjectCommand({ Bucket: b, Key: 'odd2/' + k, CopySource: encodeURIComponent(`${b}/odd/${k}`) }));
      c.check(c.onDisk(b, 'odd2/' + k).toString() === k, 'copy ' + k);
    }
    const want = c.sorted(c.ODD_KEYS.map((k) => 'odd/' + k));
    for (const Cmd of [ListObjectsCommand, ListObjectsV2Command]) {
      const got = ((await s3.send(new Cmd({ Bucket: b, Prefix: 'odd/' }))).Contents || []).map((x) => x.Key);
      c.check(JSON.stringify(got) === JSON.stringify(want), 'listing ' + JSON.stringify(got));
    }
    const all = c.ODD_KEYS.flatMap((k) => ['odd/' + k, 'odd2/' + k]);
    const r = await s3.send(new DeleteObjectsCommand({ Bucket: b, Delete: { Objects: all.map((Key) => ({ Key })) } }));
    c.check((r.Deleted || []).length === all.length && !(r.Errors || []).length, 'delete ' + JSON.stringify(r));
    const left = ((await s3.send(new ListObjectsV2Command({ Bucket: b, Prefix: 'odd' }))).Contents || []).map((x) => x.Key);
    for (const Key of left) await s3.send(new DeleteObjectCommand({ Bucket: b, Key }));
    c.check(left.length === 0, 'reported deleted but still there: ' + JSON.stringify(left));
  });
  await c.op('folder marker', async () => {
    // A "Create folder" marker beside the objects of the same folder: listed as a key,
    // folded into the common prefix by the delimiter, deleted on its own.
    await s3.send(new PutObjectCommand({ Bucket: b, Key: 'fm/', Body: Buffer.alloc(0) }));
    for (const k of ['fm/a.txt', 'fm/sub/b.txt']) await s3.send(new PutObjectCommand({ Bucket: b, Key: k, Body: Buffer.from(k) }));
    c.check((await bytes(await s3.send(new GetObjectCommand({ Bucket: b, Key: 'fm/' })))).length === 0, 'marker body');
    const shape = (r) => JSON.stringify([(r.Contents || []).map((x) => x.Key), (r.CommonPrefixes || []).map((x) => x.Prefix)]);
    let r = await s3.send(new ListObjectsV2Command({ Bucket: b, Prefix: 'fm/', Delimiter: '/' }));
    c.check(shape(r) === '[["fm/","fm/a.txt"],["fm/sub/"]]', 'v2 delimiter ' + shape(r));
    r = await s3.send(new ListObjectsCommand({ Bucket: b, Prefix: 'f', Delimiter: '/' }));
    c.check(shape(r) === '[[],["fm/"]]', 'v1 delimiter ' + shape(r));
    await s3.send(new DeleteObjectCommand({ Bucket: b, Key: 'fm/' }));
    r = await s3.send(new ListObjectsV2Command({ Bucket: b, Prefix: 'fm/' }));
    c.check(shape(r) === '[["fm/a.txt","fm/sub/b.txt"],[]]', 'after delete ' + shape(r));
    await s3.send(new DeleteObjectsCommand({ Bucket: b, Delete: { Objects: [{ Key: 'fm/a.txt' }, { Key: 'fm/sub/b.txt' }] } }));
  });
  await c.op('missing bucket', async () => {
    // A mistyped bucket name is an error at once (the 3 MiB body goes with Expect: 100-continue,
    // which the 404 answers), never retried and never a new bucket.
    for (const Body of [Buffer.from('x'), big.subarray(0, 3 * 1024 * 1024)]) {
      let err;
      try {
        await s3.send(new PutObjectCommand({ Bucket: 'jssdk-bucket-typo', Key: 'k', Body }));
      } catch (e) { err = e; }
      c.check(err, 'put into a missing bucket was accepted');
      const got = [err.name, err.$metadata && err.$metadata.httpStatusCode, err.$metadata && err.$metadata.attempts];
      c.check(JSON.stringify(got) === '["NoSuchBucket",404,1]', 'answer ' + JSON.stringify(got));
    }
    c.check(!fs.existsSync(path.join(c.root, 'jssdk-bucket-typo')), 'bucket created');
  });
  const keys = c.listingKeys(1100);
  c.populate('jssdk-list', keys);
  await c.op('list v1', async () => {
    let got = []; let marker;
    for (;;) {
      const r = await s3.send(new ListObjectsCommand({ Bucket: 'jssdk-list', Marker: marker, MaxKeys: 200 }));
      got = got.concat((r.Contents || []).map((x) => x.Key));
      if (!r.IsTruncated) break;
      marker = r.NextMarker || got[got.length - 1];
    }
    c.check(JSON.stringify(got) === JSON.stringify(keys), 'v1 keys differ ' + got.length);
  });
  await c.op('list v2', async () => {
    let got = [];
    for await (const page of paginateListObjectsV2({ client: s3, pageSize: 100 }, { Bucket: 'jssdk-list' })) {
      got = got.concat((page.Contents || []).map((x) => x.Key));
    }
    c.check(JSON.stringify(got) === JSON.stringify(keys), 'v2 keys differ ' + got.length);
    const r = await s3.send(new ListObjectsV2Command({ Bucket: 'jssdk-list', Delimiter: '/', Prefix: 'dir-b/' }));
    c.check(JSON.stringify((r.CommonPrefixes || []).map((x) => x.Prefix)) === '["dir-b/sub/"]', 'prefixes');
  });
  await c.op('versioning', async () => {
    const vb = 'jssdk-versions';
    await s3.send(new CreateBucketCommand({ Bucket: vb }));
    await s3.send(new PutBucketVersioningCommand({ Bucket: vb, VersioningConfiguration: { Status: 'Enabled' } }));
    const want = [];
    for (const key of ['a', 'b']) {
      for (let i = 0; i < 3; i++) {
        const r = await s3.send(new PutObjectCommand({ Bucket: vb, Key: key, Body: key + i }));
        want.unshift(key + ' ' + r.VersionId);
      }
    }
    // S3's order: keys in order, each key's versions newest first; one entry a page. This SDK
    // has no paginator for ListObjectVersions: the pages are followed by their markers.
    want.sort((x, y) => (x[0] < y[0] ? -1 : x[0] > y[0] ? 1 : 0));
    let got = [];
    let KeyMarker; let VersionIdMarker;
    for (let pages = 0; pages < 20; pages++) {
      const page = await s3.send(new ListObjectVersionsCommand({ Bucket: vb, MaxKeys: 1, KeyMarker, VersionIdMarker }));
      got = got.concat((page.Versions || []).map((x) => x.Key + ' ' + x.VersionId));
      if (!page.IsTruncated) break;
      KeyMarker = page.NextKeyMarker;
      VersionIdMarker = page.NextVersionIdMarker;
    }
    c.check(JSON.stringify(got) === JSON.stringify(want), 'versions ' + JSON.stringify(got));
    for (const e of got) {
      const [Key, VersionId] = e.split(' ');
      await s3.send(new DeleteObjectCommand({ Bucket: vb, Key, VersionId }));
    }
    await s3.send(new DeleteBucketCommand({ Bucket: vb }));
  });
  await c.op('delete one', async () => {
    await s3.send(new DeleteObjectCommand({ Bucket: b, Key: 'copy.txt' }));
    c.check(!c.existsOnDisk(b, 'copy.txt'), 'still there');
  });
  const del = Array.from({ length: 1500 }, (_, i) => 'del/k' + String(i).padStart(4, '0'));
  c.populate(b, del);
  await c.op('delete batch', async () => {
    for (let i = 0; i < del.length; i += 1000) {
      const r = await s3.send(new DeleteObjectsCommand({ Bucket: b, Delete: { Objects: del.slice(i, i + 1000).map((Key) => ({ Key })) } }));
      c.check(!(r.Errors || []).length, 'errors ' + JSON.stringify(r.Errors));
    }
    c.check(c.filesUnder(path.join(c.root, b, 'del')).length === 0, 'keys left');
  });
  await c.op('remove bucket', async () => {
    const r = await s3.send(new ListObjectsV2Command({ Bucket: b }));
    for (const o of r.Contents || []) await s3.send(new DeleteObjectCommand({ Bucket: b, Key: o.Key }));
    await s3.send(new DeleteBucketCommand({ Bucket: b }));
    c.check(!fs.existsSync(path.join(c.root, b)), 'bucket dir still there');
  });
  await c.op('wrong secret', async () => {
    try {
      await client('wrong').send(new ListBucketsCommand({}));
    } catch (e) {
      c.check(e.name === 'SignatureDoesNotMatch' || e.Code === 'SignatureDoesNotMatch', 'error ' + e.name);
      return;
    }
    throw new Error('request was accepted');
  });
  await checksums(s3);
}

main().catch((e) => { c.result('suite', 'fail', e.stack || String(e)); process.exit(1); });
