#!/usr/bin/env python3
"""Latency-adding TCP relay for the benchmarks: makes a loopback server look far away.

    python3 bench/latency_proxy.py --listen-port 0 --target-port 8080 --delay-ms 20 \\
        --port-file /tmp/proxy.port

Every connection accepted on 127.0.0.1 is relayed to 127.0.0.1:TARGET. Bytes travelling in
either direction are held for DELAY milliseconds before they are passed on (a one-way delay, so a
request and its answer take two DELAYs, one round trip), in order, without limiting the rate. A
new connection also pays one round trip before its first byte reaches the target, as the TCP
handshake would cost on a real link. The relay never looks inside the stream, so HTTP/1.0,
keep-alive, chunked answers and TLS all pass as they are.

Stops on SIGINT or SIGTERM. The port actually listened on is written to --port-file.
"""

import argparse
import asyncio
import collections
import os
import signal
import sys

BLOCK = 256 * 1024


class DelayedPipe:
    """Copies reader to writer, each block delivered `delay` seconds after it was read.

    Reading and writing are separate tasks, so the delay does not reduce the throughput: a
    long transfer is shifted in time, not slowed down."""

    def __init__(self, reader, writer, delay, not_before=0.0):
        self.reader = reader
        self.writer = writer
        self.delay = delay
        self.not_before = not_before  # loop time before which nothing is delivered
        self.queue = collections.deque()
        self.ready = asyncio.Event()
        self.eof = False

    async def read_side(self, loop):
        try:
            while True:
                data = await self.reader.read(BLOCK)
                due = max(loop.time(), self.not_before) + self.delay
                self.queue.append((due, data))
                self.ready.set()
                if not data:
                    return
        except (ConnectionError, OSError):
            self.queue.append((loop.time(), b""))
            self.ready.set()

    async def write_side(self, loop):
        try:
            while True:
                while not self.queue:
                    self.ready.clear()
                    await self.ready.wait()
                due, data = self.queue.popleft()
                wait = due - loop.time()
                if wait > 0:
                    await asyncio.sleep(wait)
                if not data:
                    if self.writer.can_write_eof():
                        self.writer.write_eof()
                    await self.writer.drain()
                    return
                self.writer.write(data)
                await self.writer.drain()
        except (ConnectionError, OSError):
            return

    async def run(self):
        loop = asyncio.get_running_loop()
        await asyncio.gather(self.read_side(loop), self.write_side(loop))


async def relay(client_reader, client_writer, target_port, delay):
    loop = asyncio.get_running_loop()
    # The handshake's round trip: the client's first bytes reach the target no earlier.
    handshake_done = loop.time() + 2 * delay
    try:
        server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target_port)
    except OSError:
        client_writer.close()
        return
    up = DelayedPipe(client_reader, server_writer, delay, handshake_done)
    down = DelayedPipe(server_reader, client_writer, delay)
    try:
        await asyncio.gather(up.run(), down.run())
    except asyncio.CancelledError:
        pass  # the proxy is stopping with this connection still open
    finally:
        for w in (client_writer, server_writer):
            try:
                w.close()
            except OSError:
                pass


async def serve(args):
    delay = args.delay_ms / 1000.0
    server = await asyncio.start_server(
        lambda r, w: relay(r, w, args.target_port, delay), "127.0.0.1", args.listen_port,
        backlog=256)
    port = server.sockets[0].getsockname()[1]
    if args.port_file:
        tmp = args.port_file + ".tmp"
        with open(tmp, "w") as f:
            f.write("%d\n" % port)
        os.replace(tmp, args.port_file)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    async with server:
        await stop.wait()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--listen-port", type=int, default=0)
    ap.add_argument("--target-port", type=int, required=True)
    ap.add_argument("--delay-ms", type=float, default=20.0, help="one-way delay (default 20)")
    ap.add_argument("--port-file", help="write the port listened on here")
    args = ap.parse_args()
    asyncio.run(serve(args))
    return 0


if __name__ == "__main__":
    sys.exit(main())
