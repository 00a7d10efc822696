/* qfloor: the machine's durability floor for small uploads, a measuring tool for scripts/bench.
 * Each thread stores COUNT/THREADS keys of SIZE bytes under DIR the way an upload must before
 * it may answer 200: the data written to a temporary file and synced, moved into place, its
 * record written to a temporary file and synced, moved into place, and the directory synced.
 *
 *   qfloor DIR THREADS COUNT SIZE
 *
 * Output, one line: "keys=N errors=E seconds=S rate=R". */
#define _GNU_SOURCE
#include <fcntl.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define MAX_THREADS 256

static const char *g_dir;
static long g_count;
static long g_size;
static atomic_long g_next;
static atomic_long g_errors;
static char *g_data;

static double now_s(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

/* Writes n bytes to a new temporary file, syncs it and moves it onto path. 0 / -1. */
static int store(const char *path, const char *tmp, const char *p, size_t n) {
  int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  int rc = write(fd, p, n) == (ssize_t)n && fdatasync(fd) == 0 ? 0 : -1;
  close(fd);
  return rc == 0 ? rename(tmp, path) : -1;
}

static void *worker(void *arg) {
  (void)arg;
  char path[4096], tmp[4096], rec[512];
  int dfd = open(g_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (;;) {
    long i = atomic_fetch_add(&g_next, 1);
    if (i >= g_count) break;
    int rc = 0;
    snprintf(path, sizeof path, "%s/k%08ld", g_dir, i);
    snprintf(tmp, sizeof tmp, "%s/.t%08ld", g_dir, i);
    rc |= store(path, tmp, g_data, (size_t)g_size);
    int rn = snprintf(rec, sizeof rec, "{\"etag\":\"%032ld\",\"size\":%ld}\n", i, g_size);
    snprintf(path, sizeof path, "%s/.k%08ld.meta", g_dir, i);
    snprintf(tmp, sizeof tmp, "%s/.m%08ld", g_dir, i);
    rc |= store(path, tmp, rec, (size_t)rn);
    if (dfd < 0 || fsync(dfd) != 0) rc = -1;
    if (rc) atomic_fetch_add(&g_errors, 1);
  }
  if (dfd >= 0) close(dfd);
  return NULL;
}

int main(int argc, char **argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: qfloor DIR THREADS COUNT SIZE\n");
    return 2;
  }
  g_dir = argv[1];
  long threads = strtol(argv[2], NULL, 10);
  g_count = strtol(argv[3], NULL, 10);
  g_size = strtol(argv[4], NULL, 10);
  if (threads < 1 || threads > MAX_THREADS || g_count < 1 || g_size < 0) return 2;
  g_data = malloc((size_t)g_size + 1);
  if (!g_data) return 1;
  memset(g_data, 'q', (size_t)g_size);
  pthread_t tid[MAX_THREADS];
  double t0 = now_s();
  for (long t = 0; t < threads; t++) pthread_create(&tid[t], NULL, worker, NULL);
  for (long t = 0; t < threads; t++) pthread_join(tid[t], NULL);
  double dt = now_s() - t0;
  long errors = atomic_load(&g_errors);
  printf("keys=%ld errors=%ld seconds=%.4f rate=%.1f\n", g_count, errors, dt, (g_count - errors) / dt);
  free(g_data);
  return 0;
}
