#pragma once
// Splitting an http:// or https:// URL into what a request needs: the
// scheme, the host, the port and the path. Pure text work on its arguments
// (see http_client.h for the layer's rules).

#include <cstddef>

struct HttpUrl {
  bool tls = true;       // https://
  char* host = nullptr;  // heap; a DNS name or a dotted IPv4 address, lower case
  int port = 443;        // 443 or 80 when the URL names none
  char* path = nullptr;  // heap; from the first "/" on, query included; "/" when none
};

// Splits "http(s)://host[:port][/path]" into *parsed (release it with
// http_url_free). False with a reason in `error` for anything else:
// another scheme, user information, an IPv6 or malformed host, a port
// outside 1-65535, a fragment, or control characters and spaces anywhere
// (they would end the request line); *parsed holds nothing then.
bool http_parse_url(const char* url, HttpUrl* parsed, char* error, size_t error_size);

// http_parse_url for a URL that must be https:// ("URL is not
// https://host[:port]/path" for any other).
bool https_parse_url(const char* url, HttpUrl* parsed, char* error, size_t error_size);

// Whether `host` (of `length` bytes) is four decimal parts 0-255, nothing else.
bool http_is_dotted_ipv4(const char* host, size_t length);

// Releases the host and path of *url; null members are allowed.
void http_url_free(HttpUrl* url);
