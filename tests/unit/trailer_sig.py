# Independent trailer signature of an aws-chunked upload (hmac/hashlib), for the stream tests.
# Usage: trailer_sig.py SECRET CRED_DATE AMZ_DATE PREV_SIGNATURE [TRAILER_LINE ...]
import hashlib
import hmac
import sys


def mac(key, msg):
    return hmac.new(key, msg.encode(), hashlib.sha256).digest()


secret, date, amz_date, prev = sys.argv[1:5]
text = "".join(line + "\n" for line in sys.argv[5:])
key = mac(("AWS4" + secret).encode(), date)
for part in ("us-east-1", "s3", "aws4_request"):
    key = mac(key, part)
sts = "AWS4-HMAC-SHA256-TRAILER\n%s\n%s/us-east-1/s3/aws4_request\n%s\n%s" % (
    amz_date, date[:8], prev, hashlib.sha256(text.encode()).hexdigest())
print(hmac.new(key, sts.encode(), hashlib.sha256).hexdigest())
