"""A loopback SMTP server that follows a script, for the faults a real server
will not produce on demand: refusals of chosen commands, replies split over
several segments, a server that closes early, one that never answers, one
that resets the connection. It records every byte each connection sent."""

import socket
import struct
import threading
import time

# Actions that can stand in place of a reply.
CLOSE = "close"     # close the connection instead of answering
RESET = "reset"     # abort the connection (the client sees a reset)
SILENT = "silent"   # never answer; wait until the client goes away

DEFAULT_REPLIES = {
    "greeting": b"220 scripted.test ESMTP ready\r\n",
    "EHLO": b"250-scripted.test greets you\r\n250-PIPELINING\r\n250 8BITMIME\r\n",
    "HELO": b"250 scripted.test greets you\r\n",
    "MAIL": b"250 2.1.0 sender ok\r\n",
    "RCPT": b"250 2.1.5 recipient ok\r\n",
    "DATA": b"354 end data with <CR><LF>.<CR><LF>\r\n",
    ".": b"250 2.0.0 queued as 1234\r\n",
    "QUIT": b"221 2.0.0 bye\r\n",
}
END_OF_DATA = b"\r\n.\r\n"
# No test should wait on a quiet client longer than this.
IO_TIMEOUT = 30


class Session:
    """One accepted connection: what the client sent, and the means to
    answer it."""

    def __init__(self, conn):
        self.conn = conn
        self.conn.settimeout(IO_TIMEOUT)
        self.received = b""
        self.unread = b""
        self.commands = []   # each command line as received, line end kept
        self.data = None     # the message content up to its end mark
        self.closed = False

    def _fill(self):
        chunk = self.conn.recv(65536)
        if not chunk:
            return False
        self.received += chunk
        self.unread += chunk
        return True

    def read_line(self):
        """The next line up to and including LF; b"" at end of input."""
        while b"\n" not in self.unread:
            if not self._fill():
                line, self.unread = self.unread, b""
                return line
        line, _, self.unread = self.unread.partition(b"\n")
        return line + b"\n"

    def read_data(self):
        """The content up to and including CR LF . CR LF; partial at EOF."""
        while END_OF_DATA not in self.unread:
            if not self._fill():
                data, self.unread = self.unread, b""
                return data
        pos = self.unread.index(END_OF_DATA) + len(END_OF_DATA)
        data, self.unread = self.unread[:pos], self.unread[pos:]
        return data

    def drain(self):
        """Reads until the client closes or goes quiet."""
        try:
            while self._fill():
                pass
        except OSError:
            pass

    def act(self, action):
        """Sends a reply (bytes), performs one of CLOSE, RESET, SILENT, or
        does a list of these one after the other, pausing between them so
        that each piece of bytes arrives as a separate segment. Returns
        False when the session is over."""
        if action == CLOSE:
            self.close()
            return False
        if action == RESET:
            self.conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                 struct.pack("ii", 1, 0))
            self.close()
            return False
        if action == SILENT:
            self.drain()
            self.close()
            return False
        if isinstance(action, (list, tuple)):
            for i, piece in enumerate(action):
                if i:
                    time.sleep(0.05)  # lets the client see a separate receive
                if not self.act(piece):
                    return False
            return True
        self.conn.sendall(action)
        return True

    def shutdown(self):
        """Ends the session from outside its thread, waking a pending read."""
        if not self.closed:
            try:
                self.conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        self.close()

    def close(self):
        if not self.closed:
            self.closed = True
            self.conn.close()


def reply_text(action):
    """The bytes a reply action sends (b"" for CLOSE, RESET, SILENT)."""
    if isinstance(action, (list, tuple)):
        return b"".join(action)
    return action if isinstance(action, bytes) else b""


def standard_session(session, replies):
    """Answers command by command, by the first word of each line, with
    `replies` in place of the defaults; a reply may also be a function of
    the command line. A DATA answered with 354 is followed by the message
    content and the answer under "."."""
    if not session.act(replies["greeting"]):
        return
    while True:
        line = session.read_line()
        if not line:
            return
        session.commands.append(line)
        verb = line.split(b" ", 1)[0].strip().upper().decode("latin-1")
        reply = replies.get(verb, b"500 5.5.2 unknown command\r\n")
        if callable(reply):
            reply = reply(line)
        if not session.act(reply):
            return
        if verb == "DATA" and reply_text(reply).startswith(b"354"):
            session.data = session.read_data()
            if not session.act(replies["."]):
                return
        if verb == "QUIT":
            session.close()
            return


class ScriptedSMTP:
    """Serves connections on 127.0.0.1 in a background thread. `replies`
    overrides DEFAULT_REPLIES; `script`, if given, replaces the standard
    session: it is called with each Session."""

    def __init__(self, replies=None, script=None):
        self.replies = dict(DEFAULT_REPLIES)
        self.replies.update(replies or {})
        self.script = script
        self.sessions = []
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        # Closing a listener does not wake a blocked accept(): poll instead.
        self.listener.settimeout(0.05)
        self.port = self.listener.getsockname()[1]
        self.threads = []
        self.stopping = False

    def __enter__(self):
        acceptor = threading.Thread(target=self._accept, daemon=True)
        acceptor.start()
        self.threads.append(acceptor)
        return self

    def __exit__(self, *exc):
        self.stopping = True
        self.listener.close()
        for session in self.sessions:
            session.shutdown()
        for thread in self.threads:
            thread.join(timeout=IO_TIMEOUT)

    def _accept(self):
        while not self.stopping:
            try:
                conn, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            conn.setblocking(True)
            # Each reply leaves at once, as the script wrote it.
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            session = Session(conn)
            self.sessions.append(session)
            worker = threading.Thread(target=self._serve, args=(session,),
                                      daemon=True)
            worker.start()
            self.threads.append(worker)

    def _serve(self, session):
        try:
            if self.script is not None:
                self.script(session)
            else:
                standard_session(session, self.replies)
        except OSError:
            pass
        finally:
            session.close()

    def wait_sessions_done(self, timeout=IO_TIMEOUT):
        """Waits until every session thread has ended, so that .received is
        complete."""
        deadline = time.monotonic() + timeout
        for thread in self.threads[1:]:
            thread.join(timeout=max(0, deadline - time.monotonic()))

    @property
    def session(self):
        """The one session of a run (None if the program never connected)."""
        return self.sessions[0] if self.sessions else None


def starttls_script(context, replies=None, after_220=b""):
    """A script for ScriptedSMTP that turns to TLS: the plain greeting, an
    EHLO reply offering STARTTLS, "220" to STARTTLS with `after_220` in the
    same segment, the handshake with the server-side `context`, and then the
    standard session over TLS (without a second greeting), `replies`
    overriding the defaults there."""
    def script(session):
        if not session.act(DEFAULT_REPLIES["greeting"]):
            return
        while True:
            line = session.read_line()
            if not line:
                return
            session.commands.append(line)
            verb = line.split(b" ", 1)[0].strip().upper()
            if verb == b"STARTTLS":
                break
            session.act(b"250-scripted.test\r\n250 STARTTLS\r\n" if verb == b"EHLO"
                        else b"530 5.7.0 STARTTLS first\r\n")
        session.act(b"220 2.0.0 ready for TLS\r\n" + after_220)
        session.conn = context.wrap_socket(session.conn, server_side=True)
        tls_replies = dict(DEFAULT_REPLIES)
        tls_replies.update(replies or {})
        tls_replies["greeting"] = b""
        standard_session(session, tls_replies)
    return script
