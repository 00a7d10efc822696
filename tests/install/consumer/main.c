/* A minimal host: starts the server on the port and root given, lists the buckets, stops. */
#include <stdio.h>
#include <stdlib.h>

#include <quillmar-s3.h>

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: consumer PORT ROOT\n");
    return 2;
  }
  if (s3_server_start(atoi(argv[1]), argv[2], NULL, NULL) != 0) {
    fprintf(stderr, "start failed: %s\n", s3_last_error());
    return 1;
  }
  printf("version %s running %d\n", s3_version(), s3_server_status());
  printf("%s\n", s3_list_buckets_json());
  s3_server_stop();
  return s3_server_status() == 0 ? 0 : 1;
}
