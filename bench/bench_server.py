"""Requests per second and p99 latency of the visualizer under wrk.

Serves a 262 144-cell digest (shape (4, 256, 256), compression 50, 300
updates of mixed distributions) in a child process and drives it with wrk,
once with one connection (a lone client such as the page: after each reply
the server finds no connection waiting and pauses 50 ms) and once with 8
(connections queue, so the server never idles and its own cost shows). The
peer is "/api/info", measured in the same run: accepting, parsing and
answering a request with no digest work, so route / peer ratios show what
the digest work adds.

    python bench/bench_server.py [--seconds 10]
"""

import argparse
import os
import re
import signal
import socket
import subprocess
import sys
import time

SHAPE = [4, 256, 256]
COMPRESSION = 50
UPDATES = 300
ROUTES = [
    ("info (peer)", "/api/info"),
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


def to_ms(text):
    value, unit = re.fullmatch(r"([\d.]+)(us|ms|s)", text).groups()
    return float(value) * {"us": 1e-3, "ms": 1.0, "s": 1e3}[unit]


def run_wrk(url, seconds, connections):
    out = subprocess.run(["wrk", "-t1", f"-c{connections}", f"-d{seconds}s", "--latency", url],
                         capture_output=True, text=True, check=True).stdout
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    p99 = to_ms(re.search(r"99%\s+(\S+)", out).group(1))
    errors = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    if errors:
        raise RuntimeError(f"{url}: {errors.group(1)} failed replies")
    return rps, p99


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve:
        serve()
        return
    port = free_port()
    child = subprocess.Popen([sys.executable, __file__, "--serve"],
                             env=dict(os.environ, TESRAK_PORT=str(port)),
                             stderr=subprocess.DEVNULL)
    try:
        wait_for(port)
        results = [(name, *run_wrk(f"http://127.0.0.1:{port}{path}", args.seconds, 1),
                    *run_wrk(f"http://127.0.0.1:{port}{path}", args.seconds, 8))
                   for name, path in ROUTES]
    finally:
        child.send_signal(signal.SIGINT)
        child.wait()
    peer_rps = results[0][3]
    print(f"{os.cpu_count()} CPUs, shape {SHAPE}, compression {COMPRESSION}, "
          f"{UPDATES} updates, wrk -t1 -d{args.seconds}s")
    print("| route | 1 connection: req/s | p99 | 8 connections: req/s | p99 | time / peer |")
    print("|---|---:|---:|---:|---:|---:|")
    for name, rps1, p99_1, rps8, p99_8 in results:
        print(f"| {name} | {rps1:,.0f} | {p99_1:.1f} ms | {rps8:,.0f} | {p99_8:.1f} ms "
              f"| {peer_rps / rps8:,.1f} |")


if __name__ == "__main__":
    main()
