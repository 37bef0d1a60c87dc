"""visualize() blocks the calling (main) thread until Ctrl+C; a helper thread
drives the server meanwhile. Run on a daemon thread, it must let the
interpreter end."""

import _thread
import contextlib
import threading
import time
import urllib.request

import pytest

import tesrak


def test_served_digest_is_borrowed_until_ctrl_c_stops_it_promptly(monkeypatch, capfd, free_port):
    port = free_port()
    monkeypatch.setenv("TESRAK_PORT", str(port))
    digest = tesrak.TensorDigest([2, 2], 10, dtype="int32")
    digest.update([1, 2, 3, 4])
    seen, interrupted = [], []
    url = f"http://127.0.0.1:{port}/api/info"

    def helper():
        try:
            for _ in range(3000):  # the server listens once start-up is done
                try:
                    seen.append(urllib.request.urlopen(url, timeout=30).read())
                    break
                except OSError:
                    time.sleep(0.01)
            for call in (lambda: digest.quantile(0.5), lambda: digest.shape):
                with pytest.raises(RuntimeError) as raised:
                    call()
                seen.append(str(raised.value))
        finally:
            interrupted.append(time.monotonic())
            _thread.interrupt_main()

    for _ in range(2):  # a second call behaves as the first
        thread = threading.Thread(target=helper)
        thread.start()
        with pytest.raises(KeyboardInterrupt):
            digest.visualize()
        # ~100 ms: one poll of the caller plus one idle pause of the server;
        # the bound is loose for busy machines.
        assert time.monotonic() - interrupted[-1] < 1.0
        thread.join()
    assert seen == [b'{"shape":[2,2],"ndim":2}', "Already borrowed", "Already mutably borrowed"] * 2
    assert digest.quantile(1.0) == [1.0, 2.0, 3.0, 4.0]
    assert capfd.readouterr().err.startswith("tesrak visualizer running at http://127.0.0.1:")


# Serves from a daemon thread, as a training script would, until the main
# thread returns. Finalisers that sleep keep the interpreter finalising while
# the serving thread wakes and tries to take the interpreter lock back, which
# is when the interpreter ends that thread.
DAEMON = """import os, sys, threading, time, urllib.request
import tesrak
digest = tesrak.TensorDigest([2, 2], 10)
threading.Thread(target=digest.visualize, daemon=True).start()
for _ in range(1000):
    try:
        urllib.request.urlopen(f"http://127.0.0.1:{os.environ['TESRAK_PORT']}/", timeout=10)
        break
    except OSError:
        time.sleep(0.01)

class SlowFinaliser:
    def __del__(self, pause=float(sys.argv[1]), sleep=time.sleep):
        sleep(pause)

keep = SlowFinaliser()
"""


def test_interpreter_exits_cleanly_while_a_daemon_thread_serves(visualizer_child):
    with contextlib.ExitStack() as stack:
        runs = [stack.enter_context(visualizer_child(DAEMON, finaliser_sleep))[0]
                for finaliser_sleep in ["0", "0.2"] * 3]
        for run in runs:
            out, err = run.communicate(timeout=60)
            assert (run.returncode, out, err) == (0, "", "")  # nothing after the start-up line
