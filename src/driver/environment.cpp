#include "driver/environment.h"

#include <cstdlib>

#include "base/program.h"

Request request_from_environment() {
  Request request = {};
  request.accept = getenv("HTTP_ACCEPT");
  request.origin = getenv("HTTP_ORIGIN");
  request.referer = getenv("HTTP_REFERER");
  request.method = getenv("REQUEST_METHOD");
  request.content_type = getenv("CONTENT_TYPE");
  request.content_length = getenv("CONTENT_LENGTH");
  request.remote_addr = getenv("REMOTE_ADDR");
  request.accept_language = getenv("HTTP_ACCEPT_LANGUAGE");
  request.user_agent = getenv("HTTP_USER_AGENT");
  request.path_info = getenv("PATH_INFO");
  request.script_name = getenv("SCRIPT_NAME");
  request.query_string = getenv("QUERY_STRING");
  return request;
}

bool started_by_web_server() {
  return getenv("GATEWAY_INTERFACE") != nullptr || getenv("REQUEST_METHOD") != nullptr;
}

DeliveryContext delivery_context(const Settings& settings) {
  // A test names a step here to have the run wait there (the web server
  // passes visitors' headers as HTTP_* variables only, so no visitor can).
  return DeliveryContext{&settings, g_program.ini_path, getenv("QUILLON_TEST_PAUSE_AT")};
}
