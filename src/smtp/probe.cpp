#include "smtp/probe.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "platform/os.h"
#include "smtp/dialogue_tls.h"
#include "smtp/steps.h"
#include "smtp/transport.h"

namespace {

constexpr size_t kReplyShown = 1500;

struct Probe {
  SmtpSession* session;
  ProbeReportFn report;
  void* context;
  long long started;
  char reply[kReplyShown];
  EhloFeatures features;
  bool broken;  // a TLS handshake failed: the connection is no use for QUIT
};

void keep_line(const char* line, int length, void* context) {
  Probe* probe = static_cast<Probe*>(context);
  size_t used = strlen(probe->reply);
  snprintf(probe->reply + used, kReplyShown - used, "%s%.*s", used > 0 ? " | " : "", length, line);
  if (length > 4) ehlo_feature_line(line + 4, length - 4, &probe->features);
}

// Reports one step that began at probe->started; returns `ok`.
bool step_done(Probe* probe, const char* name, bool ok, int code) {
  ProbeStep step = {name, ok, code, probe->reply, os_monotonic_ms() - probe->started};
  probe->report(step, probe->context);
  probe->started = os_monotonic_ms();
  probe->reply[0] = '\0';
  return ok;
}

// Sends `command` (null: none, for the greeting) and reads its reply;
// the step succeeds on a code of the `expected` hundred (2: 2xx, 3: 3xx).
bool exchange(Probe* probe, const char* name, const char* command, int expected) {
  if (command != nullptr) sendr(probe->session, command);
  int code = 0;
  bool read = smtp_read_reply(probe->session, &code, keep_line, probe) == 1;
  return step_done(probe, name, read && code / 100 == expected, code);
}

bool tls_step(Probe* probe, const char* host) {
  probe->broken = !smtp_start_tls(probe->session, host);
  return step_done(probe, "TLS", !probe->broken, 0);
}

bool ehlo_step(Probe* probe) {
  probe->features = EhloFeatures{};
  const SmtpOptions& options = probe->session->options;
  if (options.use_helo && options.security == kSmtpPlain) {
    return exchange(probe, "HELO", "HELO QUILLON", 2);
  }
  return exchange(probe, "EHLO", "EHLO QUILLON", 2);
}

bool auth_step(Probe* probe, const char* host) {
  int outcome = smtp_authenticate(probe->session, host, probe->features);
  snprintf(probe->reply, kReplyShown, "%s", probe->session->last_reply);
  return step_done(probe, "AUTH", outcome == 1, probe->session->last_code);
}

// Everything after the connection stands: the same order as a delivery.
bool converse(Probe* probe, const char* host) {
  SmtpSecurity security = probe->session->options.security;
  if (security == kSmtpTls && !tls_step(probe, host)) return false;
  if (!exchange(probe, "greeting", nullptr, 2)) {
    smtp_note_no_greeting(probe->session, host);
    return false;
  }
  if (!ehlo_step(probe)) return false;
  if (security == kSmtpStarttls) {
    if (!probe->features.starttls) {
      snprintf(probe->reply, kReplyShown, "STARTTLS is not offered");
      return step_done(probe, "STARTTLS", false, 0);
    }
    if (!exchange(probe, "STARTTLS", "STARTTLS", 2)) return false;
    smtp_discard_pending(probe->session);
    if (!tls_step(probe, host) || !ehlo_step(probe)) return false;
  }
  return probe->session->options.user == nullptr || auth_step(probe, host);
}

}  // namespace

bool smtp_probe(SmtpSession* session, const char* server_text, ProbeReportFn report,
                void* context) {
  if (!session->winsock_started) {
    TCPstartup();
    session->winsock_started = true;
  }
  Probe probe = {session, report, context, os_monotonic_ms(), "", EhloFeatures{}, false};
  if (server_text == nullptr) {
    snprintf(probe.reply, kReplyShown, "no smtp line in the settings");
    return step_done(&probe, "connect", false, 0);
  }
  int port = 0;
  char* server = smtp_split_server(server_text, session->options.security, &port);
  session->socket = TCPconnect(session, server, port);
  snprintf(probe.reply, kReplyShown, "%s port %d", server, port);
  bool ok = step_done(&probe, "connect", session->socket != kNoSocket, 0);
  if (ok) {
    const char* host =
        session->options.tls_host != nullptr ? session->options.tls_host : server;
    ok = converse(&probe, host);
    // A server that stopped answering is not waited for again.
    if (!session->timed_out && !probe.broken) {
      bool said = exchange(&probe, "QUIT", "QUIT", 2);
      ok = ok && said;
    }
  }
  smtp_close(session);
  free(server);
  return ok;
}
