// Running digests of one payload: MD5 always, the others as the request's wants say.
#include "digest/running.h"

#include "base/text.h"

void hashing_init(body_hashing *h, body_digests *d) {
  md5_init(&h->md5);
  sha256_init(&h->sha256);
  sha1_init(&h->sha1);
  h->d = d;
  d->crc32 = 0;
  d->crc32c = 0;
  d->crc64nvme = 0;
}

void hashing_rest(body_hashing *h, const void *data, size_t n) {
  body_digests *d = h->d;
  if (d->want_sha256) sha256_update(&h->sha256, data, n);
  if (d->want_sha1) sha1_update(&h->sha1, data, n);
  if (d->want_crc32) d->crc32 = crc32_update(d->crc32, data, n);
  if (d->want_crc32c) d->crc32c = crc32c_update(d->crc32c, data, n);
  if (d->want_crc64nvme) d->crc64nvme = crc64nvme_update(d->crc64nvme, data, n);
}

void hashing_update(body_hashing *h, const void *data, size_t n) {
  md5_update(&h->md5, data, n);
  hashing_rest(h, data, n);
}

void hashing_final(body_hashing *h, char etag_out[33]) {
  body_digests *d = h->d;
  md5_final(&h->md5, d->md5);
  hex_encode(d->md5, 16, etag_out);
  etag_out[32] = 0;
  if (d->want_sha256) sha256_final(&h->sha256, d->sha256);
  if (d->want_sha1) sha1_final(&h->sha1, d->sha1);
}

