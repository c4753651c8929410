#!/usr/bin/env python3
"""A proxy on 127.0.0.1 that passes HTTP requests on to a server on this
machine and breaks the answers the way networks and servers do, for the
network scenario:

    fault_proxy.py --upstream PORT --port-file FILE FAULT [--times N] [--log LOG]

It listens on a free port, writes it to FILE, and stops by itself after
--lifetime seconds; with --log, each request line it receives is added to LOG.
It also serves as a plain HTTP proxy (http_proxy): a request for an absolute
URI goes to the upstream server all the same; and as an HTTPS proxy
(https_proxy): CONNECT to a port of 127.0.0.1 opens a tunnel to it, untouched
by any fault. FAULT is one of:

    pass              nothing
    drop:N            cut the connection after N bytes of its answers
    stall:N           stop sending after N bytes, keeping the connection open
    flip:N            flip one bit of the byte N bytes into the first answer's body
    status:CODE       answer CODE (404, 500, 416, ...) with an empty body
    norange           drop Range and If-Range from requests: whole files
    slow:RATE         send answers at RATE bytes a second
    swap:N:OLD:NEW    after N bytes, rename NEW over OLD on the server's disk,
                      then cut the connection: the file changed mid-download

Each fault strikes the first N connections (--times, default 1; 0: every
one), counted over the proxy's life; later ones pass untouched.
"""
import argparse
import asyncio
import os
import sys


class Faults:
    def __init__(self, fault, times):
        kind, _, arg = fault.partition(":")
        self.kind = kind
        self.arg = arg
        self.times = times
        self.struck = 0

    def take(self):
        """Whether the next connection is to be struck."""
        if self.kind == "pass" or (self.times and self.struck >= self.times):
            return False
        self.struck += 1
        return True


def rewrite(head, faults, struck):
    """The request head as passed on: a proxy request's absolute URI
    (GET http://host:port/path) made the path alone; without Range for
    norange."""
    lines = head.split(b"\r\n")
    method, _, rest = lines[0].partition(b" ")
    if rest.lower().startswith(b"http://"):
        path = rest[len(b"http://"):].partition(b"/")[2]
        lines[0] = method + b" /" + path
    if struck and faults.kind == "norange":
        lines = [line for line in lines
                 if not line.lower().startswith((b"range:", b"if-range:"))]
    return b"\r\n".join(lines)


async def answer_status(writer, code):
    writer.write(b"HTTP/1.1 %d Fault\r\nContent-Length: 0\r\nConnection: close\r\n\r\n" % code)
    await writer.drain()
    writer.close()


def record(log, head):
    if log:
        with open(log, "ab") as out:
            out.write(head.split(b"\r\n", 1)[0] + b"\n")


async def requests(reader, upstream, faults, struck, client, log, head):
    """Passes the client's requests (GETs, no bodies) on, one head at a time,
    the first one `head`."""
    while True:
        if head is None:
            try:
                head = await reader.readuntil(b"\r\n\r\n")
            except (asyncio.IncompleteReadError, ConnectionError):
                break
        record(log, head)
        if struck and faults.kind == "status":
            await answer_status(client, int(faults.arg))
            break
        upstream.write(rewrite(head, faults, struck))
        await upstream.drain()
        head = None
    upstream.close()


async def pipe(reader, writer):
    while True:
        data = await reader.read(65536)
        if not data:
            break
        writer.write(data)
        await writer.drain()
    writer.close()


async def tunnel(head, reader, writer, log):
    """CONNECT 127.0.0.1:PORT: a tunnel to that port of this machine, no other."""
    record(log, head)
    host, _, port = head.split(b" ")[1].rpartition(b":")
    try:
        if host not in (b"127.0.0.1", b"localhost"):
            raise OSError("not on this machine")
        up_reader, up_writer = await asyncio.open_connection("127.0.0.1", int(port))
    except (OSError, ValueError):
        writer.write(b"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n")
        writer.close()
        return
    writer.write(b"HTTP/1.1 200 Connection established\r\n\r\n")
    await writer.drain()
    await asyncio.wait([asyncio.ensure_future(pipe(reader, up_writer)),
                        asyncio.ensure_future(pipe(up_reader, writer))],
                       return_when=asyncio.FIRST_COMPLETED)
    writer.close()
    up_writer.close()


async def answers(upstream, client, faults, struck):
    """Passes the server's answers back, breaking them as the fault says."""
    sent = 0
    body_start = None
    limit = None
    if struck and faults.kind in ("drop", "stall", "swap"):
        limit = int(faults.arg.split(":")[0])
    buffered = b""
    while True:
        data = await upstream.read(65536)
        if not data:
            break
        if struck and faults.kind == "flip" and body_start is None:
            buffered += data
            end = buffered.find(b"\r\n\r\n")
            if end < 0:
                continue
            body_start = end + 4
            data, buffered = buffered, b""
        if body_start is not None and struck and faults.kind == "flip":
            at = body_start + int(faults.arg) - sent
            if 0 <= at < len(data):
                data = data[:at] + bytes([data[at] ^ 0x01]) + data[at + 1:]
        if limit is not None and sent + len(data) >= limit:
            client.write(data[:limit - sent])
            await client.drain()
            await strike(faults)
            return
        client.write(data)
        await client.drain()
        sent += len(data)
        if struck and faults.kind == "slow":
            await asyncio.sleep(len(data) / float(faults.arg))
    client.close()


async def strike(faults):
    """What happens at the limit: a stall holds on, the others cut."""
    if faults.kind == "stall":
        await asyncio.sleep(3600)
    if faults.kind == "swap":
        _, old, new = faults.arg.split(":", 2)
        os.rename(new, old)


async def handle(reader, writer, args, faults):
    try:
        head = await reader.readuntil(b"\r\n\r\n")
    except (asyncio.IncompleteReadError, ConnectionError):
        writer.close()
        return
    if head.startswith(b"CONNECT "):
        await tunnel(head, reader, writer, args.log)
        return
    struck = faults.take()
    try:
        up_reader, up_writer = await asyncio.open_connection("127.0.0.1", args.upstream)
    except OSError:
        writer.close()
        return
    back = asyncio.ensure_future(answers(up_reader, writer, faults, struck))
    forth = asyncio.ensure_future(requests(reader, up_writer, faults, struck, writer, args.log,
                                           head))
    await asyncio.wait([back, forth], return_when=asyncio.FIRST_COMPLETED)
    for task in (back, forth):
        task.cancel()
    writer.close()
    up_writer.close()


async def main():
    parser = argparse.ArgumentParser(description="A fault-injecting HTTP proxy for tests.")
    parser.add_argument("fault")
    parser.add_argument("--upstream", type=int, required=True)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--times", type=int, default=1)
    parser.add_argument("--lifetime", type=float, default=120)
    parser.add_argument("--log")
    args = parser.parse_args()
    faults = Faults(args.fault, args.times)
    server = await asyncio.start_server(lambda r, w: handle(r, w, args, faults), "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    with open(args.port_file + ".tmp", "w") as out:
        out.write("%d\n" % port)
    os.rename(args.port_file + ".tmp", args.port_file)
    async with server:
        try:
            await asyncio.wait_for(server.serve_forever(), args.lifetime)
        except asyncio.TimeoutError:
            pass


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        sys.exit(0)
