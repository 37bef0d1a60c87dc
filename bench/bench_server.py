"""Requests per second and p99 latency of the visualizer under wrk.

Serves a 262 144-cell digest (shape (4, 256, 256), compression 50, 300
updates of mixed distributions) in a child process and drives it with wrk,
once with one connection (a lone client such as the page) and once with 8
(connections queue, so the server never waits for a client). The peer,
measured in the same run, is a minimal serial accept loop in C
(serial_peer.c) that answers every connection with the visualizer's
"/api/info" reply and closes as the visualizer does: what any server that
takes one connection at a time costs, so route / peer ratios show what
parsing, routing and the digest work add.

Before each run one request goes through the server and waits for its
reply: the server takes connections in order, so the run starts only once
the previous run's last requests (wrk leaves up to 8 open) are done.

    python bench/bench_server.py [--seconds 10]
"""

import argparse
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time

SHAPE = [4, 256, 256]
COMPRESSION = 50
UPDATES = 300
# Long enough that no reply is counted as lost: 8 queued tensor merges take
# several seconds.
WRK_TIMEOUT = "60s"
PEER_SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "serial_peer.c")
ROUTES = [
    ("info", "/api/info"),
    ("cell", "/api/cell?idx=131071&q0=0&q1=1&exclude_zero=0"),
    ("merge tensor", "/api/merge?scope=tensor&q0=0&q1=1&exclude_zero=0"),
    ("merge channel", "/api/merge?scope=channel&c=2&q0=0&q1=1&exclude_zero=0"),
]


def serve():
    import numpy as np

    import tesrak

    rng = np.random.default_rng(3)
    n = int(np.prod(SHAPE))
    digest = tesrak.TensorDigest(SHAPE, COMPRESSION)
    third = n // 3
    for _ in range(UPDATES):
        row = np.concatenate([
            rng.standard_normal(third),
            rng.uniform(-1, 1, third),
            rng.lognormal(0, 1, n - 2 * third),
        ]).astype(np.float32).reshape(SHAPE)
        digest.update(row)
    try:
        digest.visualize()
    except KeyboardInterrupt:
        pass


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(port, timeout=600):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.1)
    raise TimeoutError("the server did not start")


def settle(port, path):
    """One request to `path`, answered only once every connection accepted
    before it has been served."""
    with socket.create_connection(("127.0.0.1", port), timeout=600) as s:
        s.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n\r\n".encode())
        reply = b"".join(iter(lambda: s.recv(65536), b""))
    if not reply.startswith(b"HTTP/1.1 200 OK\r\n"):
        raise RuntimeError(f"{path}: {reply[:60]!r}")


def to_ms(text):
    value, unit = re.fullmatch(r"([\d.]+)(us|ms|s)", text).groups()
    return float(value) * {"us": 1e-3, "ms": 1.0, "s": 1e3}[unit]


def run_wrk(port, path, seconds, connections):
    settle(port, path)
    out = subprocess.run(["wrk", "-t1", f"-c{connections}", f"-d{seconds}s", "--latency",
                          "--timeout", WRK_TIMEOUT, f"http://127.0.0.1:{port}{path}"],
                         capture_output=True, text=True, check=True).stdout
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    # The 99th percentile of the latency distribution, not a "+/- Stdev"
    # share such as 98.99% in the table above it.
    distribution = out.split("Latency Distribution", 1)[1]
    p99 = to_ms(re.search(r"^\s*99%\s+(\S+)", distribution, re.M).group(1))
    for failures in (re.search(r"Non-2xx or 3xx responses: (\d+)", out),
                     re.search(r"Socket errors: .*", out)):
        if failures:
            raise RuntimeError(f"{path}, {connections} connections: {failures.group(0)}")
    if rps == 0:
        raise RuntimeError(f"{path}, {connections} connections: no reply in {seconds} s")
    return rps, p99


def measure(port, path, seconds):
    return (*run_wrk(port, path, seconds, 1), *run_wrk(port, path, seconds, 8))


def start(command, port):
    child = subprocess.Popen(command, env=dict(os.environ, TESRAK_PORT=str(port)),
                             stderr=subprocess.DEVNULL)
    try:
        wait_for(port)
    except BaseException:  # a server that never listens is not left running
        child.kill()
        child.wait()
        raise
    return child


def rate(rps):
    return f"{rps:,.0f}" if rps >= 100 else f"{rps:.1f}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve:
        serve()
        return
    with tempfile.TemporaryDirectory() as build:
        peer_binary = os.path.join(build, "serial_peer")
        subprocess.run(["cc", "-O2", "-o", peer_binary, PEER_SOURCE], check=True)
        port = free_port()
        peer = start([peer_binary, str(port)], port)
        try:
            results = [("serial C loop (peer)", *measure(port, "/api/info", args.seconds))]
        finally:
            peer.kill()
            peer.wait()
    port = free_port()
    child = start([sys.executable, __file__, "--serve"], port)
    try:
        results += [(name, *measure(port, path, args.seconds)) for name, path in ROUTES]
    finally:
        child.send_signal(signal.SIGINT)
        child.wait()
    _, peer_rps1, _, peer_rps8, _ = results[0]
    print(f"{os.cpu_count()} CPUs, shape {SHAPE}, compression {COMPRESSION}, "
          f"{UPDATES} updates, wrk -t1 -d{args.seconds}s")
    print("| route | 1 connection: req/s | p99 | time / peer "
          "| 8 connections: req/s | p99 | time / peer |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for name, rps1, p99_1, rps8, p99_8 in results:
        print(f"| {name} | {rate(rps1)} | {p99_1:.2f} ms | {peer_rps1 / rps1:,.1f} "
              f"| {rate(rps8)} | {p99_8:.2f} ms | {peer_rps8 / rps8:,.1f} |")


if __name__ == "__main__":
    main()
