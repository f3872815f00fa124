#pragma once
// What a run takes from its process environment, read here and nowhere
// below the driver: the request's CGI variables (one value, handed down),
// whether a web server started the program, and a test's pause point; and
// the delivery context built from them, shared by a CGI run and -resend.
// Driver level: may use base, config and deliver; reads the environment.

#include "base/request.h"
#include "config/settings.h"
#include "deliver/deliver.h"

// The request's CGI variables as the web server set them (null: not set).
Request request_from_environment();

// Whether a web server started the program: it sets GATEWAY_INTERFACE or
// REQUEST_METHOD for every CGI program it starts (RFC 3875).
bool started_by_web_server();

// What the delivery layer needs of this run besides the message: the
// settings, the settings file's path and a test's pause point
// (QUILLON_TEST_PAUSE_AT).
DeliveryContext delivery_context(const Settings& settings);
