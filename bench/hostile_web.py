#!/usr/bin/env python3
"""Hostile rounds against capture_server's web view, and what a real client gets meanwhile.

capture_server --handler tcp --web captures 640x480 of the moving scene at 10 fps on a private
Xvfb. Each round runs for --seconds and prints what the attacker held and what the real clients
got:
  lockout   16 WebSocket clients that never send "ready" and never read, reopened as soon as one
            is dropped; every 3 s a TCP viewer and a browser-like WebSocket client try to get in
            (a TCP viewer is in when frame bytes arrive, a browser when its first frame arrives;
            a refused one prints the reason it was given)
  slow      40 connections that send their request one byte a second, reopened when cut; every
            second a real page request, answered or not
  ping      a client that sends 125-byte pings as fast as it can and never reads: capture_server's
            resident memory over the round, and when the client was cut; then one reading client
            sends a 125-byte ping and must get its pong

    bench/hostile_web.py [--seconds 32] [--only lockout|slow|ping] [--build-dir DIR]
"""
import argparse
import base64
import os
import re
import socket
import struct
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib  # noqa: E402

TOKEN = "hostile-round-token-0123456789"


class Target:
    def __init__(self, tcp_port, web_port):
        self.tcp_port = tcp_port
        self.web_port = web_port

    def handshake(self, origin=True):
        head = (f"GET /ws?token={TOKEN} HTTP/1.1\r\nHost: 127.0.0.1:{self.web_port}\r\n"
                + (f"Origin: http://127.0.0.1:{self.web_port}\r\n" if origin else "")
                + "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                  f"Sec-WebSocket-Key: {base64.b64encode(os.urandom(16)).decode()}\r\n"
                  "Sec-WebSocket-Version: 13\r\n\r\n")
        return head.encode()


def connect(port, rcvbuf=None, timeout=5):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if rcvbuf:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.settimeout(timeout)
    s.connect(("127.0.0.1", port))
    return s


def read_head(s):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = s.recv(4096)
        if not chunk:
            break
        data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    return head.decode("latin-1"), rest


def read_frame(s, buffered=b""):
    """One server frame: (opcode, payload, rest of the bytes read)."""
    data = buffered

    def need(n):
        nonlocal data
        while len(data) < n:
            chunk = s.recv(65536)
            if not chunk:
                raise ConnectionError("closed")
            data += chunk

    need(2)
    opcode, length = data[0] & 0x0F, data[1] & 0x7F
    at = 2
    if length == 126:
        need(4)
        length, at = struct.unpack(">H", data[2:4])[0], 4
    elif length == 127:
        need(10)
        length, at = struct.unpack(">Q", data[2:10])[0], 10
    need(at + length)
    return opcode, data[at:at + length], data[at + length:]


def client_frame(opcode, payload):
    return bytes([0x80 | opcode, 0x80 | len(payload)]) + b"\0\0\0\0" + payload


def try_browser(target):
    """A browser-like client: 'in' when its first frame arrives, else what it was told."""
    try:
        s = connect(target.web_port)
        s.sendall(target.handshake())
        head, rest = read_head(s)
        if not head.startswith("HTTP/1.1 101"):
            return "answered " + head.split("\r\n")[0]
        while True:
            opcode, payload, rest = read_frame(s, rest)
            if opcode == 2:
                s.close()
                return "in"
            if opcode == 8:
                reason = payload[2:].decode("utf-8", "replace")
                return f"closed: {reason or 'no reason'}"
    except (OSError, ConnectionError) as error:
        return f"failed: {error}"


def try_viewer(target):
    try:
        s = connect(target.tcp_port)
        data = s.recv(64)
        s.close()
        if data.startswith(b"\0"):
            return "in"
        return "refused: " + data.decode("latin-1").strip() if data else "closed without a word"
    except OSError as error:
        return f"failed: {error}"


def lockout(target, seconds):
    stop = time.monotonic() + seconds
    held = []
    opened = 0
    lock = threading.Lock()

    def attacker():
        nonlocal opened
        while time.monotonic() < stop:
            with lock:
                alive = [s for s in held if not closed(s)]
                held[:] = alive
            while len(held) < 16 and time.monotonic() < stop:
                try:
                    s = connect(target.web_port, rcvbuf=4096)
                    s.sendall(target.handshake())
                    s.setblocking(False)
                    with lock:
                        held.append(s)
                    opened += 1
                except OSError:
                    break
            time.sleep(0.2)

    def closed(s):
        # The attacker reads nothing, not even a close: the system says whether the server has
        # let go (any state but established).
        return s.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 1)[0] != 1

    thread = threading.Thread(target=attacker, daemon=True)
    thread.start()
    time.sleep(1)
    results = {"viewer": [], "browser": []}
    while time.monotonic() < stop - 1:
        results["viewer"].append(try_viewer(target))
        results["browser"].append(try_browser(target))
        time.sleep(3)
    thread.join()
    print(f"lockout: the attacker opened {opened} silent WebSockets (16 at a time)")
    for kind, got in results.items():
        print(f"  {kind}s in: {got.count('in')} of {len(got)}")
        for other in sorted(set(g for g in got if g != "in")):
            print(f"    {got.count(other)}x {other}")


def slow(target, seconds):
    stop = time.monotonic() + seconds
    slow_clients = []

    def attacker():
        request = f"GET / HTTP/1.1\r\nHost: 127.0.0.1:{target.web_port}\r\n\r\n".encode()
        while time.monotonic() < stop:
            while len(slow_clients) < 40:
                try:
                    slow_clients.append([connect(target.web_port), 0])
                except OSError:
                    break
            for entry in list(slow_clients):
                try:
                    entry[0].send(request[entry[1] % len(request):][:1])
                    entry[1] += 1
                except OSError:
                    slow_clients.remove(entry)
            time.sleep(1)

    thread = threading.Thread(target=attacker, daemon=True)
    thread.start()
    time.sleep(2)
    got = []
    while time.monotonic() < stop - 1:
        try:
            s = connect(target.web_port)
            s.sendall(f"GET /?token={TOKEN} HTTP/1.1\r\nHost: 127.0.0.1:{target.web_port}\r\n\r\n".encode())
            head, _ = read_head(s)
            got.append(head.split("\r\n")[0] or "closed without an answer")
            s.close()
        except OSError as error:
            got.append(f"failed: {error}")
        time.sleep(1)
    thread.join()
    print("slow: 40 connections sending a byte a second")
    print(f"  real requests answered: {sum(g.startswith('HTTP/1.1 303') for g in got)} of {len(got)}")
    for other in sorted(set(got)):
        print(f"    {got.count(other)}x {other}")


def ping(target, seconds, pid):
    s = connect(target.web_port, rcvbuf=4096)
    s.sendall(target.handshake())
    read_head(s)  # a client sends nothing before the handshake is answered: it would be refused at once
    ping_frame = client_frame(9, b"p" * 125)
    batch = ping_frame * 1000
    start_rss = benchlib.rss_mb(pid)
    peak = start_rss
    stop = time.monotonic() + seconds
    began = time.monotonic()
    cut_after = None
    sent = 0
    s.settimeout(1)
    while time.monotonic() < stop:
        try:
            s.send(batch)
            sent += len(batch)
        except socket.timeout:
            pass
        except OSError:
            cut_after = time.monotonic() - began
            break
        peak = max(peak, benchlib.rss_mb(pid))
    peak = max(peak, benchlib.rss_mb(pid))
    print(f"ping: {sent // len(ping_frame)} pings of 125 bytes sent, never reading the pongs")
    print(f"  capture_server memory: {start_rss:.0f} MB at the start, {peak:.0f} MB at the peak")
    print(f"  the client was {'cut after %.1f s' % cut_after if cut_after is not None else 'never cut'}")
    s.close()

    s = connect(target.web_port)
    s.sendall(target.handshake())
    head, rest = read_head(s)
    s.sendall(client_frame(9, b"q" * 125))
    answer = "no pong"
    try:
        while True:
            opcode, payload, rest = read_frame(s, rest)
            if opcode == 10:
                answer = "its pong" if payload == b"q" * 125 else "a wrong pong"
                break
            if opcode == 8:
                answer = "a close: " + payload[2:].decode("utf-8", "replace")
                break
    except (OSError, ConnectionError) as error:
        answer = f"nothing ({error})"
    print(f"  a reading client's 125-byte ping got {answer}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=int, default=32)
    parser.add_argument("--only", choices=("lockout", "slow", "ping"))
    parser.add_argument("--build-dir")
    args = parser.parse_args()
    build = benchlib.build_dir(args.build_dir)
    with benchlib.Display(size="1280x720", content="moving", build=build) as display, \
            tempfile.TemporaryDirectory() as work:
        proc, log = benchlib.start_capture_server(
            build, display, work, ["--handler", "tcp", "--start", "--area", "0,0,640,480", "--fps", "10",
                                   "--web", "0", "--web-token", TOKEN])
        try:
            tcp_port = int(benchlib.wait_for_line(log, r"^Port: (\d+)$", 30, "the TCP port", proc).group(1))
            web_port = int(benchlib.wait_for_line(log, r"^Web view: http://[^:]+:(\d+)/", 30, "the web port",
                                                  proc).group(1))
            target = Target(tcp_port, web_port)
            for name in ("lockout", "slow", "ping"):
                if args.only in (None, name):
                    if name == "ping":
                        ping(target, args.seconds, proc.pid)
                    else:
                        globals()[name](target, args.seconds)
                    time.sleep(2)  # the round's connections go before the next one
            if proc.poll() is not None:
                benchlib.fail("capture_server ended during the rounds" + benchlib.tail(log))
        finally:
            benchlib.stop(proc)
        lines = open(log, errors="replace").read().splitlines()
        print(f"capture_server: {len(lines)} console lines, "
              f"{sum('Browser' in l and 'disconnected:' in l for l in lines)} browsers dropped with a reason, "
              f"exit status {proc.returncode}")


if __name__ == "__main__":
    main()
