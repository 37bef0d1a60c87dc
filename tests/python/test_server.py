"""The visualizer's HTTP interface over real loopback sockets, served by a
child process: a (2, 3, 4) digest where cell i saw the values i and 2i."""

import contextlib
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest


SERVE = """import time, tesrak
d = tesrak.TensorDigest([2, 3, 4], 10)
d.update([float(i) for i in range(24)]); d.update([2.0 * i for i in range(24)])
try: d.visualize()
except KeyboardInterrupt: print(time.monotonic())
"""


FORBIDDEN = (b"Forbidden: the Host and the Origin must name this machine"
             b" (localhost, 127.0.0.1 or [::1])\n")


def exchange(port, data):
    with socket.create_connection(("127.0.0.1", port), timeout=20) as s:
        s.sendall(data)
        return b"".join(iter(lambda: s.recv(65536), b""))


def request(port, target, method="GET", body=b"", fields=None):
    fields = f"Host: 127.0.0.1:{port}\r\n" if fields is None else fields
    head = f"{method} {target} HTTP/1.1\r\n{fields}Content-Length: {len(body)}\r\n\r\n"
    status_and_headers, _, payload = exchange(port, head.encode() + body).partition(b"\r\n\r\n")
    lines = status_and_headers.decode().split("\r\n")
    return lines[0].removeprefix("HTTP/1.1 "), lines[1:], payload


def api(port, target, method="GET", body=b""):
    status, headers, payload = request(port, target, method, body)
    assert headers[0] == "Content-Type: application/json"
    return status, json.loads(payload)


# Serves from a thread while the main thread takes every descriptor the
# process may have, so that accepting fails with EMFILE, and gives them back
# on SIGUSR1.
EXHAUSTED = """import os, resource, signal, threading, time, urllib.request, tesrak
hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
resource.setrlimit(resource.RLIMIT_NOFILE, (min(256, hard), hard))
digest = tesrak.TensorDigest([2], 10)
threading.Thread(target=digest.visualize, daemon=True).start()
while True:
    try:
        urllib.request.urlopen(f"http://127.0.0.1:{os.environ['TESRAK_PORT']}/", timeout=10).read()
        break
    except OSError:
        time.sleep(0.01)
held = []
while True:
    try:
        held.append(os.open(os.devnull, os.O_RDONLY))
    except OSError:
        break
signal.signal(signal.SIGUSR1, lambda *_: [os.close(fd) for fd in held])
print("full", flush=True)
try:
    while True:
        time.sleep(1)
except KeyboardInterrupt:
    pass
"""


def cpu_seconds(pid):
    """User and system time the process has used so far."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def peak_memory(pid):
    """The process's peak resident memory so far, in bytes."""
    with open(f"/proc/{pid}/status") as status:
        peak = next(line for line in status if line.startswith("VmHWM:"))
    return int(peak.split()[1]) * 1024


def stop_server(child):
    """Ctrl+C; gives the moment the child's visualize() returned."""
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=10)
    assert child.returncode == 0
    return float(out)


@pytest.fixture(scope="module")
def served(visualizer_child):
    with visualizer_child(SERVE) as (child, port):
        yield child, port


@pytest.fixture(scope="module")
def port(served):
    return served[1]


@contextlib.contextmanager
def trickling_peer(port, interval):
    """A peer, connected on entry, that sends a request head one byte per
    interval and never ends it, until the block ends or the server cuts it off."""
    stop = threading.Event()
    peer = socket.create_connection(("127.0.0.1", port))

    def trickle():
        with peer:
            try:
                peer.sendall(b"GET / HTTP/1.1\r\n")
                while not stop.wait(interval):
                    peer.sendall(b"X")
            except OSError:
                pass

    thread = threading.Thread(target=trickle)
    thread.start()
    try:
        yield
    finally:
        stop.set()
        thread.join()


def test_reply_head_is_exact_for_every_status(port):
    for target, status, kind, body in [
            ("/api/info", "200 OK", "application/json", b'{"shape":[2,3,4],"ndim":3}'),
            ("/api/info/", "404 Not Found", "text/plain", b"Not Found")]:
        assert request(port, target) == (status, [
            f"Content-Type: {kind}", "Access-Control-Allow-Origin: *",
            f"Content-Length: {len(body)}", "Connection: close"], body)
    for method in ["GET", "HEAD", "POST"]:  # HEAD gets the body too
        status, headers, page = request(port, "/?x=1", method, b"[1]")
        assert (status, headers[0]) == ("200 OK", "Content-Type: text/html; charset=utf-8")
        assert page.startswith(b"<!DOCTYPE html>") and f"Content-Length: {len(page)}" in headers


def test_routes_answer_from_the_digest(port):
    assert api(port, "/api/slice?c=6") == ("200 OK", {"rows": 3, "cols": 4, "distributions": []})
    status, cell = api(port, "/api/cell?idx=5&q0=0.25&q1=0.75&exclude_zero=1")
    assert (status, cell["label"], cell["count"], len(cell["pdf"])) == ("200 OK", "cell", 2, 402)
    assert (cell["min"], cell["max"], cell["q0"], cell["pdf"][0]["x"], cell["pdf"][-1]) == (
        cell["q25"], cell["q75"], 0.25, cell["q25"], {"x": cell["q75"], "y": 0.75})
    for target, method, body, count, low, high in [
            ("/api/merge?scope=tensor", "POST", b"[1, 2]", 4, 1.0, 4.0),
            ("/api/merge?scope=channel&c=1&b=9", "GET", b"", 24, 12.0, 46.0),
            ("/api/merge?scope=tensor", "PUT", b"", 48, 0.0, 46.0),
            ("/api/merge", "POST", b"[0" + b",0" * 23 + b"]", 48, 0.0, 0.0)]:  # 24 listings
        merged = api(port, target, method, body)[1]
        assert (merged["label"], merged["count"], merged["min"], merged["max"]) == (
            "merged", count, low, high)
    for target, body in [("/api/cell?idx=24", b""), ("/api/merge", b""),
                         ("/api/merge?scope=x", b""), ("/api/merge?scope=channel&c=6", b""),
                         ("/api/merge", b"[0, 99]")]:
        status, doc = api(port, target, "POST" if body else "GET", body)
        assert status == "400 Bad Request" and doc["error"], target


# Cell 0 saw four zeros among 2, 4, 6 and 8; cell 1 nothing but zeros.
SERVE_ZEROS = """import tesrak
d = tesrak.TensorDigest([2], 100)
for value in [0.0, 8.0, 0.0, 2.0, 0.0, 4.0, 0.0, 6.0]:
    d.update([value, 0.0])
try: d.visualize()
except KeyboardInterrupt: pass
"""


def test_a_cell_answers_without_its_zeros_when_asked(visualizer_child):
    def summary(count, low, q25, q50, q75, high):
        return {"label": "cell", "distribution": "Unknown", "count": count, "min": low,
                "q25": q25, "q50": q50, "q75": q75, "max": high, "q0": 0.0, "q1": 1.0}

    with visualizer_child(SERVE_ZEROS) as (_, port):
        for idx, exclude_zero, expected in [
                (0, 0, summary(8, 0.0, 0.0, 2.0, 6.0, 8.0)),
                (0, 1, summary(4, 2.0, 2.0, 6.0, 8.0, 8.0)),
                (1, 0, summary(8, 0.0, 0.0, 0.0, 0.0, 0.0)),
                (1, 1, summary(0, 0.0, 0.0, 0.0, 0.0, 0.0))]:  # nothing left
            status, cell = api(port, f"/api/cell?idx={idx}&exclude_zero={exclude_zero}")
            pdf = cell.pop("pdf")
            assert (status, cell) == ("200 OK", expected), (idx, exclude_zero)
            assert (len(pdf), pdf[0], pdf[-1]) == (
                402, {"x": expected["min"], "y": 0.0}, {"x": expected["max"], "y": 1.0})


def test_only_this_machines_pages_and_tools_are_answered(port):
    answered = ["Content-Type: application/json", "Access-Control-Allow-Origin: *"]
    refused = ["Content-Type: text/plain", f"Content-Length: {len(FORBIDDEN)}",
               "Connection: close"]
    for fields, headers in [
            ("", answered),  # tools that send neither field
            ("Host:\r\n", answered),
            (f"Host: localhost:{port}\r\nOrigin: http://127.0.0.1:{port}\r\n", answered),
            (f"Host: 127.0.0.1:{port}\r\nOrigin: http://example.com\r\n", refused),
            (f"Host: rebound.example.com:{port}\r\n", refused)]:
        status, head, body = request(port, "/api/merge?scope=tensor", fields=fields)
        if headers is refused:
            assert (status, head, body) == ("403 Forbidden", refused, FORBIDDEN), fields
        else:
            assert (status, head[:2]) == ("200 OK", answered), fields


def test_a_body_listing_more_cells_than_the_tensor_is_refused_before_any_work(served):
    child, port = served
    before = peak_memory(child.pid)
    status, doc = api(port, "/api/merge", "POST", b"[" + b"0," * (4 << 20) + b"0]")  # 8 MiB
    assert (status, doc) == ("400 Bad Request", {
        "error": "the body lists more cells than the tensor's 24"})
    # Merged, its 4 million listings would have taken hundreds of MiB.
    assert peak_memory(child.pid) - before < 64 << 20


def test_odd_and_concurrent_clients_are_served_in_turn(port):
    socket.create_connection(("127.0.0.1", port)).close()  # says nothing
    for head in [b"GET / HTTP/2.0", b"GET /api/info RTSP/1.0", b"GET / HTTP/1.1\r\nX y: 1"]:
        assert exchange(port, head + b"\r\n\r\n") == b"", head
    with socket.create_connection(("127.0.0.1", port), timeout=20) as slow:
        for piece in (b"GET /api/in", b"fo HTTP/1.1\r\nHo", b"st: localhost\r\n\r\n"):
            slow.sendall(piece)
            time.sleep(0.1)
        assert slow.recv(65536).startswith(b"HTTP/1.1 200 OK")
    with socket.create_connection(("127.0.0.1", port), timeout=20) as stalled:
        stalled.sendall(b"POST /api/merge HTTP/1.1\r\nContent-Length: 6\r\n\r\n[1")
        connected = time.monotonic()
        with ThreadPoolExecutor(16) as pool:  # all wait for the stalled peer's deadline
            mins = pool.map(lambda k: api(port, f"/api/cell?idx={k}")[1]["min"], range(16))
        assert list(mins) == [float(k) for k in range(16)]
        assert stalled.recv(1) == b""  # closed without a reply, at its deadline
        assert time.monotonic() - connected >= 4.5


def test_a_body_that_ends_short_of_its_length_gets_no_reply(port):
    with socket.create_connection(("127.0.0.1", port), timeout=20) as cut:
        cut.sendall(b"POST /api/merge HTTP/1.1\r\nContent-Length: 6\r\n\r\n[1")
        cut.shutdown(socket.SHUT_WR)
        assert cut.recv(65536) == b""


def test_bytes_after_the_request_leave_the_reply_whole(port):
    # A small window keeps most of the page on its way when the server is
    # done writing.
    with socket.socket() as peer:
        peer.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8192)
        peer.settimeout(20)
        peer.connect(("127.0.0.1", port))
        peer.sendall(b"GET / HTTP/1.1\r\n\r\n")
        reply = peer.recv(1024)
        peer.sendall(b"GET / HTTP/1.1\r\n\r\n")  # pipelined; never answered
        time.sleep(0.05)
        reply += b"".join(iter(lambda: peer.recv(65536), b""))
    head, _, page = reply.partition(b"\r\n\r\n")
    assert f"Content-Length: {len(page)}".encode() in head.split(b"\r\n")


def test_a_trickling_peer_holds_the_server_only_until_its_deadline(port):
    with trickling_peer(port, interval=1.0):
        # Accepted after the peer, so answered only once the peer's 5 s are up.
        with socket.create_connection(("127.0.0.1", port), timeout=7) as second:
            second.sendall(b"GET /api/info HTTP/1.1\r\n\r\n")
            assert second.recv(65536).startswith(b"HTTP/1.1 200 OK")


def test_ctrl_c_is_noticed_in_the_middle_of_a_connection(visualizer_child):
    with visualizer_child(SERVE) as (child, port), trickling_peer(port, interval=0.1):
        time.sleep(0.5)  # the server is reading the peer's head by now
        asked = time.monotonic()
        returned = stop_server(child)
    assert returned - asked < 0.5


def test_a_lone_client_is_taken_as_soon_as_it_connects(port):
    started = time.monotonic()
    for _ in range(100):
        assert request(port, "/api/info")[0] == "200 OK"
    # Found only at the next tick of a 50 ms pause, they would take 5 s.
    assert time.monotonic() - started < 2.5


def test_a_full_descriptor_table_is_waited_out_without_spinning(visualizer_child, child_lines):
    with visualizer_child(EXHAUSTED) as (child, port):
        assert child_lines(child, child.stdout, 1) == ["full\n"]
        with socket.create_connection(("127.0.0.1", port), timeout=20) as waiting:
            waiting.sendall(b"GET /api/info HTTP/1.1\r\n\r\n")
            time.sleep(0.2)  # the server fails to accept it by now
            used, started = cpu_seconds(child.pid), time.monotonic()
            time.sleep(1.0)
            assert cpu_seconds(child.pid) - used < 0.3 * (time.monotonic() - started)
            child.send_signal(signal.SIGUSR1)
            assert waiting.recv(65536).startswith(b"HTTP/1.1 200 OK")


# Reports how visualize() refused and whether the digest came back.
REFUSE = """import tesrak
digest = tesrak.TensorDigest([2], 10)
try:
    digest.visualize()
except OSError as e:
    print(type(e).__name__, repr(e.args))
print(digest.flush())
"""


# Each text would serve on some port if its parse fell back to 0, cut the
# number to 16 or 64 bits, read a sign or skipped blanks; a port taken would
# serve if the bind did not fail. Run in a child so that a text wrongly
# accepted fails within seconds, not at the test's time limit.
@pytest.mark.parametrize("port_text,message", [
    ("", "invalid port value"), ("65536", "invalid port value"),
    ("abc", "invalid port value"), ("-1", "invalid port value"),
    (" {free}", "invalid port value"), ("18446744073709551616", "invalid port value"),
    ("{taken}", "Address already in use (os error 98)")])
def test_start_up_failures_raise_os_error(port_text, message, free_port, refusal_output):
    with socket.create_server(("127.0.0.1", 0)) as holder:
        port_text = port_text.format(free=free_port(), taken=holder.getsockname()[1])
        child = subprocess.Popen(
            [sys.executable, "-c", REFUSE], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            text=True, env=dict(os.environ, TESRAK_PORT=port_text))
        out, err = refusal_output(child, 10, f"TESRAK_PORT={port_text!r}")
    # OSError itself, one argument, nothing on standard error (no banner),
    # and the digest given back.
    assert (child.returncode, out, err) == (0, f"OSError {(message,)!r}\nNone\n", "")
