/* The floor of one CGI run: the least a program can do for the same job.
 * It reads the form body from standard input, hands one message to an SMTP
 * server in the same exchange as the gateway, sending the same bytes in the
 * same sends, and prints a short page. No settings file, no log, no
 * decoding: what the gateway costs beyond this is the cost of those.
 *
 * EHLO mode: the greeting, EHLO and its reply; MAIL, RCPT and DATA in one
 * send when the reply offers PIPELINING (one at a time otherwise); after the
 * 354 the content with its end mark and QUIT in one send, then the two
 * replies. HELO mode: each command waits for its reply, and QUIT goes on its
 * own after the reply to the content. Both stop after the reply to QUIT.
 *
 *   cc -O2 -o floor_client bench/floor_client.c
 *   CONTENT_LENGTH=N floor_client EHLO|HELO PORT FROM TO CONTENT_FILE < body
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
 * of the last one, or -1 when the connection ended first. Notes whether a
 * line offered PIPELINING. Each read is acknowledged at once, as the
 * gateway does. */
static int g_pipelining;

static int read_replies(int fd, int count) {
  int code = -1;
  for (;;) {
    char *end;
    while (count > 0 && (end = memchr(g_replies, '\n', (size_t)g_reply_length)) != NULL) {
      int line_length = (int)(end - g_replies) + 1;
      if (line_length >= 14 && strncmp(g_replies + 4, "PIPELINING", 10) == 0) g_pipelining = 1;
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
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
    g_reply_length += (int)n;
  }
}

/* Sends one piece and waits for `replies` final replies; returns the last
 * code, or -1. */
static int exchange(int fd, const char *data, size_t length, int replies) {
  if (write_all(fd, data, length) != 0) return -1;
  return read_replies(fd, replies);
}

static size_t read_file(const char *path, char *out, size_t size) {
  FILE *file = fopen(path, "rb");
  if (file == NULL) return 0;
  size_t n = fread(out, 1, size, file);
  fclose(file);
  return n;
}

int main(int argc, char **argv) {
  if (argc != 6 || (strcmp(argv[1], "EHLO") != 0 && strcmp(argv[1], "HELO") != 0)) {
    fprintf(stderr, "usage: floor_client EHLO|HELO PORT FROM TO CONTENT_FILE\n");
    return 2;
  }
  int ehlo = strcmp(argv[1], "EHLO") == 0;
  const char *length_text = getenv("CONTENT_LENGTH");
  long wanted = length_text != NULL ? atol(length_text) : 0;
  if (wanted > 100000) wanted = 100000;
  size_t got = 0;
  while (wanted > 0 && got < (size_t)wanted) {
    size_t n = fread(g_body + got, 1, (size_t)wanted - got, stdin);
    if (n == 0) break;
    got += n;
  }
  size_t content_length = read_file(argv[5], g_content, sizeof g_content - 8);

  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in to;
  memset(&to, 0, sizeof to);
  to.sin_family = AF_INET;
  to.sin_port = htons((unsigned short)atoi(argv[2]));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || connect(fd, (struct sockaddr *)&to, sizeof to) != 0) return 1;
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

  char mail[600], rcpt[600];
  int mail_length = snprintf(mail, sizeof mail, "MAIL FROM:<%s>\r\n", argv[3]);
  int rcpt_length = snprintf(rcpt, sizeof rcpt, "RCPT TO:<%s>\r\n", argv[4]);
  if (mail_length <= 0 || mail_length >= (int)sizeof mail || rcpt_length <= 0 ||
      rcpt_length >= (int)sizeof rcpt) {
    return 1;
  }
  int accepted = 0;
  if (read_replies(fd, 1) == 220 &&
      exchange(fd, ehlo ? "EHLO QUILLON\r\n" : "HELO QUILLON\r\n", 14, 1) == 250) {
    int code;
    if (ehlo && g_pipelining) {
      char envelope[1200];
      memcpy(envelope, mail, (size_t)mail_length);
      memcpy(envelope + mail_length, rcpt, (size_t)rcpt_length);
      memcpy(envelope + mail_length + rcpt_length, "DATA\r\n", 6);
      code = exchange(fd, envelope, (size_t)(mail_length + rcpt_length + 6), 3);
    } else {
      code = exchange(fd, mail, (size_t)mail_length, 1) == 250 &&
                     exchange(fd, rcpt, (size_t)rcpt_length, 1) == 250
                 ? exchange(fd, "DATA\r\n", 6, 1)
                 : -1;
    }
    if (code == 354 && ehlo && g_pipelining) {
      memcpy(g_content + content_length, "QUIT\r\n", 6);
      code = exchange(fd, g_content, content_length + 6, 1);
      accepted = code >= 200 && code <= 299;
      read_replies(fd, 1);
    } else if (code == 354) {
      code = exchange(fd, g_content, content_length, 1);
      accepted = code >= 200 && code <= 299;
      exchange(fd, "QUIT\r\n", 6, 1);
    }
  }
  close(fd);
  printf("Pragma: no-cache\nContent-type: text/html\n\n<html><body>%s</body></html>\n",
         accepted ? "sent" : "not sent");
  return accepted ? 0 : 1;
}
