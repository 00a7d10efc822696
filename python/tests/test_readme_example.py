"""The example of the README, as it is printed there."""


def test_upload(s3_client, s3_bucket):
    s3_client.put_object(Bucket=s3_bucket, Key="k", Body=b"v")
    assert s3_client.get_object(Bucket=s3_bucket, Key="k")["Body"].read() == b"v"
