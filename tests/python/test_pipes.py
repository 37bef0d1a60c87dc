"""Snapshots through FIFOs, pipes and devices. Nothing waits for a peer that
is not there; a peer that is there gets the bytes; a peer that keeps a save
or load waiting lets Ctrl+C and the other threads through.

Every save and load runs in a child interpreter, so that a wait that never
ends fails the test by its time-out instead of hanging the suite."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

# Its snapshot is larger than a pipe holds: a save into a pipe that nobody
# reads has to wait.
DIGEST = """
import sys, time
import numpy as np
from tesrak import TensorDigest
d = TensorDigest([32, 32], 20)
rng = np.random.default_rng(0)
for _ in range(50):
    d.update(rng.normal(size=[32, 32]).astype("float32"))
"""
PIPE_SIZE = 1 << 16


def child(code, *args, **options):
    """Runs `code` after DIGEST in a child interpreter that takes Ctrl+C."""
    return subprocess.Popen(
        [sys.executable, "-c", DIGEST + textwrap.dedent(code), *args],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL), **options)


def output(process, stdin=None):
    try:
        out, err = process.communicate(stdin, timeout=60)
    finally:
        process.kill()  # nothing once it has ended
        process.wait()
    assert process.returncode == 0, err
    return out


@pytest.fixture
def fifo(tmp_path):
    path = str(tmp_path / "fifo")
    os.mkfifo(path)
    return path


@pytest.fixture
def saved(tmp_path):
    """The bytes of the child's digest saved to a regular file."""
    path = tmp_path / "digest.tsk"
    output(child("d.save(sys.argv[1])", str(path)))
    assert path.stat().st_size > 2 * PIPE_SIZE
    return path.read_bytes()


@pytest.mark.parametrize("call, message", [
    ("d.save(sys.argv[1])", "No such device or address (os error 6)"),
    ("TensorDigest.load(sys.argv[1])", "incomplete frame"),
], ids=["save without a reader", "load without a writer"])
def test_a_fifo_without_a_peer_fails_at_once(fifo, call, message):
    out = output(child(f"""
        start = time.monotonic()
        try:
            {call}
        except OSError as e:
            print(type(e).__name__, e, sep=": ")
        print(time.monotonic() - start)
        """, fifo))
    failure, seconds = out.decode().splitlines()
    assert failure == "OSError: " + message
    assert float(seconds) < 2.0  # at once; loose for busy machines


def test_a_pipe_with_a_peer_carries_the_snapshot(saved):
    # The child's standard output and input are pipes, which the parent
    # empties and fills as the child waits for it.
    assert output(child("d.save('/dev/stdout')")) == saved
    same = "print(TensorDigest.load('/dev/stdin').quantiles([0, 0.3, 1]) == d.quantiles([0, 0.3, 1]))"
    assert output(child(same, stdin=subprocess.PIPE), saved) == b"True\n"


@pytest.mark.parametrize("peer_flags, call, refusals", [
    (os.O_RDONLY | os.O_NONBLOCK, "d.save(sys.argv[1])", ["Already mutably borrowed"]),
    (os.O_RDWR, "TensorDigest.load(sys.argv[1])", []),
], ids=["save to a reader that does not read", "load from a writer that does not write"])
def test_a_save_or_load_kept_waiting_lets_threads_run_and_answers_ctrl_c(
        fifo, open_files, peer_flags, call, refusals):
    peer = os.open(fifo, peer_flags)
    try:
        waiting = child(f"""
            import threading
            ticks, refusals = [0], []
            def other_thread():
                while True:
                    ticks[0] += 1
                    if not refusals:
                        try:
                            d.numel
                        except RuntimeError as e:
                            refusals.append(str(e))
                    time.sleep(0.01)
            threading.Thread(target=other_thread, daemon=True).start()
            try:
                {call}
            except KeyboardInterrupt:
                print(ticks[0], refusals, d.numel)
            """, fifo)
        deadline = time.monotonic() + 60
        while os.path.realpath(fifo) not in open_files(waiting.pid) and time.monotonic() < deadline:
            time.sleep(0.01)
        time.sleep(0.5)
        waiting.send_signal(signal.SIGINT)
        interrupted = time.monotonic()
        ticks, seen = output(waiting).decode().split(" ", 1)
        assert time.monotonic() - interrupted < 5.0  # within a wait slice; loose
    finally:
        os.close(peer)
    assert int(ticks) >= 10  # the other thread ran all the while: about 50 ticks
    # A save holds its object all the while; it is free again afterwards.
    assert seen == f"{refusals} 1024\n"
