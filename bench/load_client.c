/* A load client for the lighttpd benchmark: CONCURRENCY threads post form
 * bodies to one CGI address, each on a new connection, until COUNT requests
 * are done or SECONDS have passed (no new request starts after that). The
 * body is BODY_FORMAT with the request's number (FIRST, FIRST+1, ...) put in
 * (one %d), so every submission carries a token of its own.
 *
 *   cc -O2 -pthread -o load_client bench/load_client.c
 *   load_client PORT PATH CONCURRENCY FIRST COUNT SECONDS BODY_FORMAT MARK_FORMAT
 *
 * Prints one line per request: "number microseconds ok", ok being 1 when the
 * reply was HTTP 200 and held MARK_FORMAT with the number put in (the
 * success page naming the submission's token). Talks to 127.0.0.1 only. */

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

static int g_port;
static const char *g_path;
static const char *g_body_format;
static const char *g_mark_format;
static int g_first;
static int g_count;
static double g_stop_at;
static int g_next;
static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static long long *g_micros;
static char *g_ok;

static double now_seconds(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static int take_number(void) {
  pthread_mutex_lock(&g_lock);
  int number = g_next < g_count && now_seconds() < g_stop_at ? g_next++ : -1;
  pthread_mutex_unlock(&g_lock);
  return number;
}

static int send_all(int fd, const char *data, size_t length) {
  while (length > 0) {
    ssize_t n = send(fd, data, length, MSG_NOSIGNAL);
    if (n <= 0) return -1;
    data += n;
    length -= (size_t)n;
  }
  return 0;
}

/* One request; returns 1 when the reply was the success page for it. */
static int post(int number) {
  char body[4096], request[8192], mark[256], reply[16384];
  int body_length = snprintf(body, sizeof body, g_body_format, g_first + number);
  int request_length = snprintf(request, sizeof request,
                                "POST %s HTTP/1.0\r\nHost: 127.0.0.1\r\n"
                                "Content-Type: application/x-www-form-urlencoded\r\n"
                                "Content-Length: %d\r\n\r\n%s",
                                g_path, body_length, body);
  snprintf(mark, sizeof mark, g_mark_format, g_first + number);
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  struct timeval limit = {60, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  struct sockaddr_in to;
  memset(&to, 0, sizeof to);
  to.sin_family = AF_INET;
  to.sin_port = htons((unsigned short)g_port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int ok = 0;
  if (connect(fd, (struct sockaddr *)&to, sizeof to) == 0 &&
      send_all(fd, request, (size_t)request_length) == 0) {
    size_t got = 0;
    ssize_t n;
    while (got < sizeof reply - 1 && (n = recv(fd, reply + got, sizeof reply - 1 - got, 0)) > 0) {
      got += (size_t)n;
    }
    reply[got] = '\0';
    ok = strncmp(reply, "HTTP/1.0 200", 12) == 0 && strstr(reply, mark) != NULL;
  }
  close(fd);
  return ok;
}

static void *worker(void *unused) {
  (void)unused;
  int number;
  while ((number = take_number()) >= 0) {
    double start = now_seconds();
    g_ok[number] = (char)post(number);
    g_micros[number] = (long long)((now_seconds() - start) * 1e6);
  }
  return NULL;
}

int main(int argc, char **argv) {
  if (argc != 9) {
    fprintf(stderr, "usage: load_client PORT PATH CONCURRENCY FIRST COUNT SECONDS "
                    "BODY_FORMAT MARK_FORMAT\n");
    return 2;
  }
  g_port = atoi(argv[1]);
  g_path = argv[2];
  int concurrency = atoi(argv[3]);
  g_first = atoi(argv[4]);
  g_count = atoi(argv[5]);
  g_stop_at = now_seconds() + atof(argv[6]);
  g_body_format = argv[7];
  g_mark_format = argv[8];
  if (concurrency < 1 || concurrency > 256 || g_count < 1) return 2;
  g_micros = calloc((size_t)g_count, sizeof *g_micros);
  g_ok = calloc((size_t)g_count, 1);
  pthread_t threads[256];
  for (int i = 0; i < concurrency; ++i) pthread_create(&threads[i], NULL, worker, NULL);
  for (int i = 0; i < concurrency; ++i) pthread_join(threads[i], NULL);
  for (int i = 0; i < g_next; ++i) printf("%d %lld %d\n", g_first + i, g_micros[i], g_ok[i]);
  return 0;
}
