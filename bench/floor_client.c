/* The floor of one CGI run: the least a program can do for the same job.
 * It reads the form body from standard input, hands one message to an SMTP
 * server in the same exchange as the gateway's EHLO mode (the envelope
 * commands in one go, the replies counted up to the 354, the content, QUIT,
 * then the rest until the server closes) and prints a short page. No
 * settings file, no log, no decoding: what the gateway costs beyond this is
 * the cost of those.
 *
 *   cc -O2 -o floor_client bench/floor_client.c
 *   CONTENT_LENGTH=N floor_client PORT FROM TO CONTENT_FILE < body
 *
 * CONTENT_FILE holds the bytes sent after the 354, end mark included.
 * Exits 0 when the server accepted the message, 1 otherwise. */

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static char g_body[100001];
static char g_content[1 << 20];
static char g_replies[4096];
static int g_reply_length;

static int write_all(int fd, const char *data, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n <= 0) return -1;
    data += n;
    length -= (size_t)n;
  }
  return 0;
}

/* Reads until `count` more final reply lines have arrived; returns the code
 * of the last one, or -1 when the connection ended first. */
static int read_replies(int fd, int count) {
  int code = -1;
  for (;;) {
    char *end;
    while (count > 0 && (end = memchr(g_replies, '\n', (size_t)g_reply_length)) != NULL) {
      int line_length = (int)(end - g_replies) + 1;
      if (line_length < 5 || g_replies[3] != '-') {
        code = atoi(g_replies);
        --count;
      }
      memmove(g_replies, end + 1, (size_t)(g_reply_length - line_length));
      g_reply_length -= line_length;
    }
    if (count == 0) return code;
    ssize_t n = read(fd, g_replies + g_reply_length, sizeof g_replies - (size_t)g_reply_length);
    if (n <= 0) return -1;
    g_reply_length += (int)n;
  }
}

static size_t read_file(const char *path, char *out, size_t size) {
  FILE *file = fopen(path, "rb");
  if (file == NULL) return 0;
  size_t n = fread(out, 1, size, file);
  fclose(file);
  return n;
}

int main(int argc, char **argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: floor_client PORT FROM TO CONTENT_FILE\n");
    return 2;
  }
  const char *length_text = getenv("CONTENT_LENGTH");
  long wanted = length_text != NULL ? atol(length_text) : 0;
  if (wanted > 100000) wanted = 100000;
  size_t got = 0;
  while (wanted > 0 && got < (size_t)wanted) {
    size_t n = fread(g_body + got, 1, (size_t)wanted - got, stdin);
    if (n == 0) break;
    got += n;
  }
  size_t content_length = read_file(argv[4], g_content, sizeof g_content);

  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in to;
  memset(&to, 0, sizeof to);
  to.sin_family = AF_INET;
  to.sin_port = htons((unsigned short)atoi(argv[1]));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || connect(fd, (struct sockaddr *)&to, sizeof to) != 0) return 1;
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

  char envelope[1200];
  int n = snprintf(envelope, sizeof envelope,
                   "EHLO QUILLON\r\nMAIL FROM:<%s>\r\nRCPT TO:<%s>\r\nDATA\r\n", argv[2], argv[3]);
  int accepted = 0;
  /* Greeting, EHLO, MAIL, RCPT and DATA replies. */
  if (n > 0 && n < (int)sizeof envelope && write_all(fd, envelope, (size_t)n) == 0 &&
      read_replies(fd, 5) == 354 && write_all(fd, g_content, content_length) == 0 &&
      write_all(fd, "QUIT\r\n", 6) == 0) {
    int code = read_replies(fd, 1);
    accepted = code >= 200 && code <= 299;
    read_replies(fd, 1);
  }
  char rest[512];
  while (read(fd, rest, sizeof rest) > 0) {
  }
  printf("Pragma: no-cache\nContent-type: text/html\n\n<html><body>%s</body></html>\n",
         accepted ? "sent" : "not sent");
  return accepted ? 0 : 1;
}
