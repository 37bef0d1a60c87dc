"""visualize() blocks the calling (main) thread until Ctrl+C; a helper thread
drives the server meanwhile."""

import _thread
import socket
import threading
import time
import urllib.request

import pytest

import tesrak


def visualize_until_interrupted(digest, monkeypatch, while_serving):
    """Returns the seconds from the interrupt to KeyboardInterrupt."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    monkeypatch.setenv("TESRAK_PORT", str(port))
    interrupted = []

    def helper():
        try:
            for _ in range(3000):  # the server listens once start-up is done
                try:
                    socket.create_connection(("127.0.0.1", port)).close()
                    break
                except OSError:
                    time.sleep(0.01)
            while_serving(lambda path: urllib.request.urlopen(
                f"http://127.0.0.1:{port}{path}", timeout=30).read())
        finally:
            interrupted.append(time.monotonic())
            _thread.interrupt_main()

    thread = threading.Thread(target=helper)
    thread.start()
    with pytest.raises(KeyboardInterrupt):
        digest.visualize()
    thread.join()
    return time.monotonic() - interrupted[0]


def test_ctrl_c_stops_an_idle_server_promptly(monkeypatch, capfd):
    digest = tesrak.TensorDigest([3, 4], 10)
    digest.update(list(range(12)))
    # ~100 ms: one poll of the caller plus one idle pause of the server; the
    # bound is loose for busy machines.
    assert visualize_until_interrupted(digest, monkeypatch, lambda get: get("/")) < 1.0
    assert capfd.readouterr().err.startswith("tesrak visualizer running at http://127.0.0.1:")


def test_the_digest_is_borrowed_while_served_and_free_after(monkeypatch):
    digest = tesrak.TensorDigest([2, 2], 10, dtype="int32")
    digest.update([1, 2, 3, 4])
    errors, replies = [], []

    def use(get):
        replies.append(get("/api/info"))
        for call in (lambda: digest.quantile(0.5), lambda: digest.shape):
            try:
                call()
            except RuntimeError as e:
                errors.append(str(e))

    for _ in range(2):  # a second call behaves as the first
        visualize_until_interrupted(digest, monkeypatch, use)
    assert errors == ["Already borrowed", "Already mutably borrowed"] * 2
    assert replies == [b'{"shape":[2,2],"ndim":2}'] * 2
    assert digest.quantile(1.0) == [1.0, 2.0, 3.0, 4.0]
