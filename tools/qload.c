/* qload: the benchmark's load client. Raw HTTP/1.1 over loopback, one request per connection,
 * many threads; it counts requests per second for small objects, and bytes per second for
 * large streams. A measuring tool for scripts/bench, not part of the server.
 *
 *   qload PORT put    THREADS COUNT PREFIX SIZE    COUNT PUTs of SIZE bytes to PREFIX%08d
 *   qload PORT get    THREADS COUNT PREFIX NKEYS   COUNT GETs of PREFIX%08d, index mod NKEYS
 *   qload PORT bigput STREAMS SIZE  PREFIX         STREAMS PUTs of SIZE bytes at once
 *   qload PORT bigget STREAMS PREFIX               STREAMS GETs of PREFIX%08d at once
 *   qload PORT kput   THREADS COUNT PREFIX SIZE    as put, each thread on one kept connection
 *   qload PORT kget   THREADS COUNT PREFIX NKEYS   as get, each thread on one kept connection
 *
 * The k modes keep a connection per thread and send the next request on it once the answer
 * (framed by its Content-Length) is read; a connection the server closes is opened again.
 *
 * Output, one line: "requests=N errors=E seconds=S rate=R bytes=B mbps=M". A request counts as
 * an error unless its answer starts "HTTP/1.1 2" (a connection closed unanswered is one); the
 * rate counts answered requests only. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define MAX_THREADS 256
#define PIECE (1 << 20) /* one send or receive of a large stream */

static int g_port;
static const char *g_prefix;
static long long g_size;  /* body bytes of a PUT */
static long g_count;      /* requests in all */
static long g_nkeys;      /* keys a GET cycles through */
static atomic_long g_next;
static atomic_long g_errors;
static atomic_llong g_bytes;
static char *g_body;      /* PIECE bytes of pattern, the source of every body */

static double now_s(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

static int connect_local(void) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons((unsigned short)g_port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  while (connect(fd, (struct sockaddr *)&a, sizeof a) != 0) {
    if (errno == EINTR) continue;
    close(fd);
    return -1;
  }
  return fd;
}

static int send_all(int fd, const char *p, size_t n) {
  while (n) {
    ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return -1;
    p += w;
    n -= (size_t)w;
  }
  return 0;
}

/* Sends a head and body_len bytes of pattern, reads the whole answer; 0 when it was a 2xx. */
static int one_request(const char *method, long idx, long long body_len, char *buf, size_t cap) {
  int fd = connect_local();
  if (fd < 0) return -1;
  char head[512];
  int hn = snprintf(head, sizeof head,
                    "%s /%s%08ld HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Length: %lld\r\n"
                    "Content-Type: application/octet-stream\r\nConnection: close\r\n\r\n",
                    method, g_prefix, idx, g_port, body_len);
  int rc = send_all(fd, head, (size_t)hn);
  for (long long left = body_len; rc == 0 && left > 0;) {
    size_t n = left < PIECE ? (size_t)left : PIECE;
    rc = send_all(fd, g_body, n);
    left -= (long long)n;
  }
  long long got = 0;
  char status[16] = {0};
  for (;;) {
    ssize_t r = recv(fd, buf, cap, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    if (got < 12) {
      size_t take = (size_t)(12 - got) < (size_t)r ? (size_t)(12 - got) : (size_t)r;
      memcpy(status + got, buf, take);
    }
    got += r;
  }
  close(fd);
  atomic_fetch_add(&g_bytes, got + body_len);
  if (rc != 0 || strncmp(status, "HTTP/1.1 2", 10) != 0) return -1;
  return 0;
}

/* One request on the thread's kept connection *fd (opened when -1): reads the head, then the
 * body its Content-Length gives (none for HEAD). 0 when it was a 2xx. The connection is closed
 * and *fd set to -1 when the answer has no length, says "Connection: close" or fails. */
static int kept_request(int *fd, const char *method, long idx, long long body_len, char *buf,
                        size_t cap) {
  if (*fd < 0) *fd = connect_local();
  if (*fd < 0) return -1;
  char head[512];
  int hn = snprintf(head, sizeof head,
                    "%s /%s%08ld HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Length: %lld\r\n"
                    "Content-Type: application/octet-stream\r\n\r\n",
                    method, g_prefix, idx, g_port, body_len);
  int rc = send_all(*fd, head, (size_t)hn);
  for (long long left = body_len; rc == 0 && left > 0;) {
    size_t n = left < PIECE ? (size_t)left : PIECE;
    rc = send_all(*fd, g_body, n);
    left -= (long long)n;
  }
  size_t got = 0;
  char *end = NULL;
  while (rc == 0 && !end) {
    if (got + 1 >= cap) { rc = -1; break; }
    ssize_t r = recv(*fd, buf + got, cap - 1 - got, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) { rc = -1; break; }
    got += (size_t)r;
    buf[got] = 0;
    end = strstr(buf, "\r\n\r\n");
  }
  int ok = rc == 0 && strncmp(buf, "HTTP/1.1 2", 10) == 0;
  long long want = -1;
  int closing = 1;
  if (end) {
    *end = 0;
    const char *cl = strcasestr(buf, "\r\ncontent-length:");
    if (cl) want = strtoll(cl + 17, NULL, 10);
    closing = strcasestr(buf, "\r\nconnection: close") != NULL;
    if (strcmp(method, "HEAD") == 0) want = 0;
    long long have = (long long)(got - (size_t)(end + 4 - buf));
    while (want >= 0 && have < want) {
      ssize_t r = recv(*fd, buf, cap, 0);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) { ok = 0; break; }
      have += r;
    }
    atomic_fetch_add(&g_bytes, (long long)got + (have > 0 ? have : 0) + body_len);
  }
  if (want < 0 || closing || rc != 0) {
    close(*fd);
    *fd = -1;
  }
  return ok ? 0 : -1;
}

static void *kept_worker(void *arg) {
  const char *method = (const char *)arg;
  char buf[65536];
  int fd = -1;
  for (;;) {
    long i = atomic_fetch_add(&g_next, 1);
    if (i >= g_count) break;
    long idx = strcmp(method, "GET") == 0 ? i % g_nkeys : i;
    if (kept_request(&fd, method, idx, strcmp(method, "PUT") == 0 ? g_size : 0, buf, sizeof buf))
      atomic_fetch_add(&g_errors, 1);
  }
  if (fd >= 0) close(fd);
  return NULL;
}

static void *small_worker(void *arg) {
  const char *method = (const char *)arg;
  char buf[65536];
  for (;;) {
    long i = atomic_fetch_add(&g_next, 1);
    if (i >= g_count) break;
    long idx = strcmp(method, "GET") == 0 ? i % g_nkeys : i;
    if (one_request(method, idx, strcmp(method, "PUT") == 0 ? g_size : 0, buf, sizeof buf))
      atomic_fetch_add(&g_errors, 1);
  }
  return NULL;
}

static void *big_worker(void *arg) {
  const char *method = (const char *)arg;
  char *buf = malloc(PIECE);
  long i = atomic_fetch_add(&g_next, 1);
  if (!buf || one_request(method, i, strcmp(method, "PUT") == 0 ? g_size : 0, buf, PIECE))
    atomic_fetch_add(&g_errors, 1);
  free(buf);
  return NULL;
}

static int usage(void) {
  fprintf(stderr, "usage: qload PORT put|get|kput|kget|bigput|bigget ... (see tools/qload.c)\n");
  return 2;
}

int main(int argc, char **argv) {
  if (argc < 5) return usage();
  g_port = (int)strtol(argv[1], NULL, 10);
  const char *mode = argv[2];
  long threads = strtol(argv[3], NULL, 10);
  int big = strncmp(mode, "big", 3) == 0;
  int kept = mode[0] == 'k';
  const char *method = strstr(mode, "put") ? "PUT" : "GET";
  if (threads < 1 || threads > MAX_THREADS) return usage();
  if (!big && argc == 7) {
    g_count = strtol(argv[4], NULL, 10);
    g_prefix = argv[5];
    g_size = strtoll(argv[6], NULL, 10);
    g_nkeys = g_size > 0 ? (long)g_size : 1;
  } else if (big && method[0] == 'P' && argc == 6) {
    g_size = strtoll(argv[4], NULL, 10);
    g_prefix = argv[5];
    g_count = threads;
  } else if (big && argc == 5) {
    g_prefix = argv[4];
    g_count = threads;
  } else {
    return usage();
  }
  g_body = malloc(PIECE);
  if (!g_body) return 1;
  for (size_t i = 0; i < PIECE; i++) g_body[i] = (char)('a' + (i * 7 + i / 4096) % 26);

  pthread_t tid[MAX_THREADS];
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 1 << 20);
  double t0 = now_s();
  for (long t = 0; t < threads; t++)
    pthread_create(&tid[t], &attr, big ? big_worker : kept ? kept_worker : small_worker,
                   (void *)method);
  for (long t = 0; t < threads; t++) pthread_join(tid[t], NULL);
  double dt = now_s() - t0;
  long long bytes = atomic_load(&g_bytes);
  long errors = atomic_load(&g_errors);
  printf("requests=%ld errors=%ld seconds=%.4f rate=%.1f bytes=%lld mbps=%.1f\n", g_count,
         errors, dt, (g_count - errors) / dt, bytes, bytes / dt / 1e6);
  free(g_body);
  return 0;
}
