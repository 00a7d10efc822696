// Presigned URLs from the JavaScript clients (@aws-sdk/s3-request-presigner, minio-js) printed as
// JSON for suite_presign.py to fetch, and the SDK's virtual-host addressing against localhost.
// usage: node presign.mjs urls BUCKET KEY | node presign.mjs vhost BUCKET
import http from 'node:http';
import { S3Client, GetObjectCommand, PutObjectCommand, ListObjectsV2Command } from '@aws-sdk/client-s3';
import { getSignedUrl } from '@aws-sdk/s3-request-presigner';
import { NodeHttpHandler } from '@smithy/node-http-handler';
import * as Minio from 'minio';
import { ACCESS_KEY, SECRET_KEY, endpoint } from './common.mjs';

const credentials = { accessKeyId: ACCESS_KEY, secretAccessKey: SECRET_KEY };
const [mode, bucket, key] = process.argv.slice(2);

async function urls() {
  const sdk = new S3Client({ endpoint, region: 'us-east-1', forcePathStyle: true, credentials });
  const u = new URL(endpoint);
  const minio = new Minio.Client({
    endPoint: u.hostname, port: Number(u.port), useSSL: false, pathStyle: true, region: 'us-east-1',
    accessKey: ACCESS_KEY, secretKey: SECRET_KEY,
  });
  const twoHoursAgo = new Date(Date.now() - 2 * 3600 * 1000);
  const out = {
    sdk_put: await getSignedUrl(sdk, new PutObjectCommand({ Bucket: bucket, Key: key + '-sdk' }), { expiresIn: 600 }),
    sdk_get: await getSignedUrl(sdk, new GetObjectCommand({ Bucket: bucket, Key: key + '-sdk' }), { expiresIn: 600 }),
    // Signed two hours ago for one hour: expired however fast it is fetched.
    sdk_expired: await getSignedUrl(sdk, new GetObjectCommand({ Bucket: bucket, Key: key + '-sdk' }),
      { expiresIn: 3600, signingDate: twoHoursAgo }),
    minio_put: await minio.presignedPutObject(bucket, key + '-minio', 600),
    minio_get: await minio.presignedGetObject(bucket, key + '-minio', 600),
  };
  process.stdout.write(JSON.stringify(out) + '\n');
}

// bucket.localhost does not resolve everywhere; the client is told it is the loopback address.
function loopbackLookup(hostname, options, cb) {
  if (options && options.all) cb(null, [{ address: '127.0.0.1', family: 4 }]);
  else cb(null, '127.0.0.1', 4);
}

async function vhost() {
  const port = new URL(endpoint).port;
  const sdk = new S3Client({
    endpoint: 'http://localhost:' + port, region: 'us-east-1', forcePathStyle: false, credentials,
    requestHandler: new NodeHttpHandler({ httpAgent: new http.Agent({ lookup: loopbackLookup }) }),
  });
  const body = 'virtual host body';
  await sdk.send(new PutObjectCommand({ Bucket: bucket, Key: 'v/key.txt', Body: body }));
  const got = await (await sdk.send(new GetObjectCommand({ Bucket: bucket, Key: 'v/key.txt' }))).Body.transformToString();
  if (got !== body) throw new Error('read back ' + JSON.stringify(got));
  const list = await sdk.send(new ListObjectsV2Command({ Bucket: bucket, Prefix: 'v/' }));
  const keys = (list.Contents || []).map((o) => o.Key);
  if (keys.join(',') !== 'v/key.txt') throw new Error('listed ' + keys.join(','));
  process.stdout.write('vhost ok\n');
}

await (mode === 'vhost' ? vhost() : urls());
