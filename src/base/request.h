#pragma once
// The request as the web server described it: the CGI variables a run
// reads, taken from the environment once by the driver and handed down as a
// value, so that no layer below reads the environment and a test builds
// one in place. Pure data: includes nothing, may be used by every layer.
// Every member is the variable's text as it was set, or null when it was not;
// the texts belong to the environment (or the test) and outlive the run.

struct Request {
  const char* accept;           // HTTP_ACCEPT
  const char* origin;           // HTTP_ORIGIN
  const char* referer;          // HTTP_REFERER
  const char* method;           // REQUEST_METHOD
  const char* content_type;     // CONTENT_TYPE
  const char* content_length;   // CONTENT_LENGTH
  const char* remote_addr;      // REMOTE_ADDR, the client's address
  const char* accept_language;  // HTTP_ACCEPT_LANGUAGE
  const char* user_agent;       // HTTP_USER_AGENT
  const char* path_info;        // PATH_INFO
  const char* script_name;      // SCRIPT_NAME
  const char* query_string;     // QUERY_STRING
};
