// minio-go (Debian's v7) against quillmar-s3d on its defaults: puts of unknown and known size
// (multipart, with CRC32C checksums), compose, tagging, listing and removal. Prints one RESULT
// line per step.
package main

import (
	"bytes"
	"context"
	"crypto/md5"
	"encoding/json"
	"fmt"
	"io"
	"math/rand"
	"os"
	"path/filepath"
	"sort"
	"time"

	"github.com/minio/minio-go/v7"
	"github.com/minio/minio-go/v7/pkg/credentials"
	"github.com/minio/minio-go/v7/pkg/tags"
)

const accessKey = "AKIDQUILLMARTEST0001"
const secretKey = "quillmarTestSecretKey/0123456789abcdefghij"

func result(op, status, detail string) {
	line, _ := json.Marshal(map[string]string{"op": op, "status": status, "detail": detail})
	fmt.Printf("RESULT %s\n", line)
}

func step(name string, fn func() error) {
	t := time.Now()
	if err := fn(); err != nil {
		result(name, "fail", err.Error())
		return
	}
	result(name, "pass", fmt.Sprintf("%.1fs", time.Since(t).Seconds()))
}

func data(n int, seed int64) []byte {
	b := make([]byte, n)
	rand.New(rand.NewSource(seed)).Read(b)
	return b
}

func onDisk(root, bucket, key string) ([]byte, error) {
	return os.ReadFile(filepath.Join(root, bucket, key))
}

func sameBytes(root, bucket, key string, want []byte) error {
	got, err := onDisk(root, bucket, key)
	if err != nil {
		return err
	}
	if md5.Sum(got) != md5.Sum(want) {
		return fmt.Errorf("%s: stored %d bytes differ from the %d sent", key, len(got), len(want))
	}
	return nil
}

func main() {
	endpoint, root := os.Getenv("QS3_HOSTPORT"), os.Getenv("QS3_ROOT")
	ctx := context.Background()
	// The client's defaults: its multipart uploads declare CRC32C, send it with every part and
	// the composite at Complete.
	c, err := minio.New(endpoint, &minio.Options{
		Creds: credentials.NewStaticV4(accessKey, secretKey, ""), Secure: false, Region: "us-east-1",
	})
	if err != nil {
		result("suite", "fail", err.Error())
		os.Exit(1)
	}
	b := "minio-go-bucket"
	step("make bucket", func() error { return c.MakeBucket(ctx, b, minio.MakeBucketOptions{}) })

	unknown := data(20*1024*1024+3, 1)
	step("put unknown size", func() error {
		// A reader of unknown length (-1): the multipart path of streaming tools.
		_, err := c.PutObject(ctx, b, "unknown.bin", io.MultiReader(bytes.NewReader(unknown)), -1,
			minio.PutObjectOptions{PartSize: 8 * 1024 * 1024})
		if err != nil {
			return err
		}
		return sameBytes(root, b, "unknown.bin", unknown)
	})
	seventy := data(70*1024*1024, 2)
	step("put 70 MiB", func() error {
		_, err := c.PutObject(ctx, b, "seventy.bin", bytes.NewReader(seventy), int64(len(seventy)),
			minio.PutObjectOptions{ContentType: "application/x-test"})
		if err != nil {
			return err
		}
		if err := sameBytes(root, b, "seventy.bin", seventy); err != nil {
			return err
		}
		o, err := c.GetObject(ctx, b, "seventy.bin", minio.GetObjectOptions{})
		if err != nil {
			return err
		}
		back, err := io.ReadAll(o)
		if err != nil {
			return err
		}
		if md5.Sum(back) != md5.Sum(seventy) {
			return fmt.Errorf("downloaded bytes differ")
		}
		return nil
	})
	step("compose", func() error {
		srcs := []minio.CopySrcOptions{
			{Bucket: b, Object: "seventy.bin", MatchRange: true, Start: 0, End: 6*1024*1024 - 1},
			{Bucket: b, Object: "unknown.bin"},
		}
		_, err := c.ComposeObject(ctx, minio.CopyDestOptions{Bucket: b, Object: "composed.bin"}, srcs...)
		if err != nil {
			return err
		}
		want := append(append([]byte{}, seventy[:6*1024*1024]...), unknown...)
		return sameBytes(root, b, "composed.bin", want)
	})
	step("tagging", func() error {
		// An object of its own, so that the step does not hang on the puts before it.
		if _, err := c.PutObject(ctx, b, "tag-target.txt", bytes.NewReader([]byte("target")), 6,
			minio.PutObjectOptions{}); err != nil {
			return err
		}
		t, err := tags.NewTags(map[string]string{"project": "quillmar", "tier": "gold"}, true)
		if err != nil {
			return err
		}
		if err := c.PutObjectTagging(ctx, b, "tag-target.txt", t, minio.PutObjectTaggingOptions{}); err != nil {
			return err
		}
		got, err := c.GetObjectTagging(ctx, b, "tag-target.txt", minio.GetObjectTaggingOptions{})
		if err != nil {
			return err
		}
		if m := got.ToMap(); m["project"] != "quillmar" || m["tier"] != "gold" || len(m) != 2 {
			return fmt.Errorf("tags read back as %v", m)
		}
		_, err = c.PutObject(ctx, b, "tagged.txt", bytes.NewReader([]byte("tagged")), 6,
			minio.PutObjectOptions{UserTags: map[string]string{"k": "v"}})
		if err != nil {
			return err
		}
		got, err = c.GetObjectTagging(ctx, b, "tagged.txt", minio.GetObjectTaggingOptions{})
		if err != nil {
			return err
		}
		if m := got.ToMap(); m["k"] != "v" {
			return fmt.Errorf("tags given with the put read back as %v", m)
		}
		if err := c.RemoveObjectTagging(ctx, b, "tag-target.txt", minio.RemoveObjectTaggingOptions{}); err != nil {
			return err
		}
		got, err = c.GetObjectTagging(ctx, b, "tag-target.txt", minio.GetObjectTaggingOptions{})
		if err != nil {
			return err
		}
		if m := got.ToMap(); len(m) != 0 {
			return fmt.Errorf("tags left after their removal: %v", m)
		}
		return nil
	})
	step("list", func() error {
		for i := 0; i < 30; i++ {
			k := fmt.Sprintf("list/k%02d", i)
			if _, err := c.PutObject(ctx, b, k, bytes.NewReader([]byte(k)), int64(len(k)), minio.PutObjectOptions{}); err != nil {
				return err
			}
		}
		var keys []string
		for o := range c.ListObjects(ctx, b, minio.ListObjectsOptions{Prefix: "list/", Recursive: true, MaxKeys: 7}) {
			if o.Err != nil {
				return o.Err
			}
			keys = append(keys, o.Key)
		}
		if len(keys) != 30 || !sort.StringsAreSorted(keys) {
			return fmt.Errorf("listed %d keys: %v", len(keys), keys)
		}
		var top []string
		for o := range c.ListObjects(ctx, b, minio.ListObjectsOptions{}) {
			if o.Err != nil {
				return o.Err
			}
			top = append(top, o.Key)
		}
		for _, want := range []string{"composed.bin", "list/", "seventy.bin", "unknown.bin"} {
			found := false
			for _, k := range top {
				found = found || k == want
			}
			if !found {
				return fmt.Errorf("%s not in the delimited listing %v", want, top)
			}
		}
		return nil
	})
	step("remove", func() error {
		if err := c.RemoveObject(ctx, b, "tagged.txt", minio.RemoveObjectOptions{}); err != nil {
			return err
		}
		objs := make(chan minio.ObjectInfo)
		go func() {
			defer close(objs)
			for o := range c.ListObjects(ctx, b, minio.ListObjectsOptions{Recursive: true}) {
				objs <- o
			}
		}()
		for e := range c.RemoveObjects(ctx, b, objs, minio.RemoveObjectsOptions{}) {
			return fmt.Errorf("remove %s: %v", e.ObjectName, e.Err)
		}
		if err := c.RemoveBucket(ctx, b); err != nil {
			return err
		}
		if _, err := os.Stat(filepath.Join(root, b)); !os.IsNotExist(err) {
			return fmt.Errorf("bucket directory still there")
		}
		return nil
	})
}
