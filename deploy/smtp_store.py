#!/usr/bin/python3
"""A small SMTP server for trying out and testing the gateway: it accepts
every message on 127.0.0.1, keeps the bytes exactly as they arrived in
DIR/NNNN.eml (envelope and greeting in DIR/NNNN.json) and prints each one.

    /usr/bin/python3 deploy/smtp_store.py --dir DIR [--port N] [--port-file F]

With --port 0 (the default) the system picks a free port; the port is
printed as "listening on 127.0.0.1:PORT" and written to --port-file.
Stops cleanly on SIGTERM or SIGINT."""

import argparse
import asyncio
import itertools
import json
import os
import signal
import socket
import sys

from aiosmtpd.smtp import SMTP


class StoreHandler:
    def __init__(self, directory):
        self.directory = directory
        existing = [int(n[:-4]) for n in os.listdir(directory)
                    if n.endswith(".eml") and n[:-4].isdigit()]
        self.numbers = itertools.count(max(existing, default=0) + 1)

    async def handle_DATA(self, server, session, envelope):
        number = next(self.numbers)
        base = os.path.join(self.directory, "%04d" % number)
        meta = {
            "mail_from": envelope.mail_from,
            "rcpt_tos": list(envelope.rcpt_tos),
            "helo": session.host_name,
            "size": len(envelope.original_content),
        }
        # The .json goes first and the .eml is renamed into place last, so a
        # reader that sees the .eml also finds its envelope and never a
        # partly written message.
        write_atomically(base + ".json", json.dumps(meta, indent=1).encode())
        write_atomically(base + ".eml", envelope.original_content)
        print("=== message %04d from <%s> to %s, %d bytes, greeting %s"
              % (number, meta["mail_from"], meta["rcpt_tos"], meta["size"],
                 meta["helo"]))
        print(envelope.original_content.decode("latin-1"), end="")
        print("=== end of message %04d" % number, flush=True)
        return "250 OK stored as %04d" % number


def write_atomically(path, data):
    partial = path + ".part"
    with open(partial, "wb") as f:
        f.write(data)
    os.rename(partial, path)


def listening_socket(host, port):
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind((host, port))
    sock.listen(16)
    return sock


async def serve(args):
    os.makedirs(args.dir, exist_ok=True)
    handler = StoreHandler(args.dir)
    sock = listening_socket(args.host, args.port)
    port = sock.getsockname()[1]
    loop = asyncio.get_running_loop()
    server = await loop.create_server(
        lambda: SMTP(handler, hostname="smtp-store.test"), sock=sock)
    stop = loop.create_future()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, lambda: stop.done() or stop.set_result(0))
    if args.port_file:
        write_atomically(args.port_file, b"%d\n" % port)
    print("listening on %s:%d, storing into %s" % (args.host, port, args.dir),
          flush=True)
    await stop
    server.close()
    await server.wait_closed()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", required=True, help="where messages are stored")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file", help="file that receives the port")
    args = parser.parse_args()
    asyncio.run(serve(args))
    return 0


if __name__ == "__main__":
    sys.exit(main())
