"""Cost of TensorDigest.update against plain numpy, and of a whole stream
against numpy's exact quantiles.

    python bench/bench_update.py            # after `pip install .`

The first half times update() alone (no flush inside the timed calls) for a
numpy float32 array (buffer path) and a torch float32 tensor (tensor path),
against np.copyto of the same array into the next row of a preallocated row
buffer, which is the copy an update amounts to; every round starts with cold
caches. The second half feeds 2 000 tensors of shape (256, 256) at
compression 50 and asks for three quantiles, against np.quantile over the
stacked stream; each side runs in its own process so that its peak memory is
its own.
"""

import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

SIZES = (4_096, 262_144, 1_048_576)
ROUNDS = 15
# Centroid and row storage per cell is about 56 x compression bytes; the
# compression is picked so one digest stays near this budget.
STORAGE_BUDGET_BYTES = 256 << 20
MAX_COMPRESSION = 100

STREAM_UPDATES = 2_000
STREAM_SHAPE = (256, 256)
STREAM_COMPRESSION = 50
STREAM_LEVELS = [0.01, 0.5, 0.99]
STREAM_SEED = 2024


def compression_for(numel):
    return max(2, min(MAX_COMPRESSION, STORAGE_BUDGET_BYTES // (numel * 56)))


# Written between rounds so that every round of every side starts with cold
# caches: a digest must flush between rounds, which evicts them anyway, and
# a peer whose destination stayed cached would be timed on a different task.
EVICTION_BYTES = 256 << 20


def per_call_seconds(batch, calls_per_round, evict, before_round=None):
    """Median over rounds of the mean time of one call; `batch()` makes
    `calls_per_round` calls; `before_round()` and the eviction run untimed."""
    means = []
    for _ in range(ROUNDS):
        if before_round is not None:
            before_round()
        evict()
        start = time.perf_counter_ns()
        batch()
        means.append((time.perf_counter_ns() - start) / calls_per_round / 1e9)
    return statistics.median(means)


def time_updates(numel, cold=True):
    import torch

    import tesrak

    compression = compression_for(numel)
    calls = 2 * compression - 1  # one short of the update that flushes
    array = np.random.default_rng(1).normal(size=numel).astype(np.float32)
    tensor = torch.from_numpy(array.copy())
    rows = np.zeros((calls, numel), np.float32)
    scratch = np.zeros(EVICTION_BYTES // 4 if cold else 1, np.float32)

    def evict():
        if cold:
            scratch.fill(1.0)

    def copy_rows():
        for r in range(calls):
            np.copyto(rows[r], array)

    results = {"numel": numel, "compression": compression, "calls_per_round": calls}
    results["np.copyto"] = per_call_seconds(copy_rows, calls, evict)
    for name, data in (("update(numpy)", array), ("update(torch)", tensor)):
        digest = tesrak.TensorDigest([numel], compression)

        def feed(digest=digest, data=data):
            for _ in range(calls):
                digest.update(data)

        results[name] = per_call_seconds(feed, calls, evict, before_round=digest.flush)
    return results


def stream_chunks():
    """The same 2 000 tensors in every process: normal cells whose centre
    and spread vary across the tensor."""
    rng = np.random.default_rng(STREAM_SEED)
    centre = rng.normal(size=STREAM_SHAPE).astype(np.float32)
    spread = rng.uniform(0.5, 2.0, size=STREAM_SHAPE).astype(np.float32)
    for _ in range(STREAM_UPDATES):
        yield centre + spread * rng.standard_normal(STREAM_SHAPE, dtype=np.float32)


def peak_rss_bytes():
    """This process's resident high-water mark. ru_maxrss would carry the
    parent's over fork and exec; VmHWM starts afresh with the new image."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmHWM in /proc/self/status")


def run_stream_tesrak(out_path):
    import tesrak

    baseline = peak_rss_bytes()
    digest = tesrak.TensorDigest(list(STREAM_SHAPE), STREAM_COMPRESSION)
    elapsed = 0
    for tensor in stream_chunks():
        start = time.perf_counter_ns()
        digest.update(tensor)
        elapsed += time.perf_counter_ns() - start
    start = time.perf_counter_ns()
    result = digest.quantiles(STREAM_LEVELS)
    elapsed += time.perf_counter_ns() - start
    np.save(out_path, np.array(result, np.float64))
    return {"seconds": elapsed / 1e9, "peak_rss": peak_rss_bytes(), "baseline_rss": baseline}


def run_stream_numpy(out_path):
    baseline = peak_rss_bytes()
    stream = list(stream_chunks())
    start = time.perf_counter_ns()
    result = np.quantile(np.stack(stream), STREAM_LEVELS, axis=0)
    elapsed = time.perf_counter_ns() - start
    np.save(out_path, result.reshape(len(STREAM_LEVELS), -1).astype(np.float64))
    return {"seconds": elapsed / 1e9, "peak_rss": peak_rss_bytes(), "baseline_rss": baseline}


def in_subprocess(role, out_path):
    done = subprocess.run([sys.executable, __file__, role, out_path], check=True,
                          capture_output=True, text=True)
    return json.loads(done.stdout)


def main():
    print(f"CPUs: {os.cpu_count()}  (worker pool: every available CPU)")
    print(f"Python {sys.version.split()[0]}, numpy {np.__version__}")
    print("\nupdate, microseconds per call (median of rounds, each from cold caches), "
          "no flush in the timed calls")
    print(f"{'numel':>9} {'compr.':>6} {'np.copyto':>10} {'numpy':>10} {'ratio':>6} "
          f"{'torch':>10} {'ratio':>6}")
    for numel in SIZES:
        r = time_updates(numel)
        base = r["np.copyto"]
        print(f"{numel:>9} {r['compression']:>6} {base * 1e6:>10.2f} "
              f"{r['update(numpy)'] * 1e6:>10.2f} {r['update(numpy)'] / base:>6.2f} "
              f"{r['update(torch)'] * 1e6:>10.2f} {r['update(torch)'] / base:>6.2f}")

    print("warm caches (no eviction between rounds), nanoseconds per call:")
    for numel in (1, SIZES[0]):
        r = time_updates(numel, cold=False)
        base = r["np.copyto"]
        print(f"{numel:>9}: np.copyto {base * 1e9:.0f}, update(numpy) "
              f"{r['update(numpy)'] * 1e9:.0f} ({r['update(numpy)'] / base:.2f}), update(torch) "
              f"{r['update(torch)'] * 1e9:.0f} ({r['update(torch)'] / base:.2f})")

    with tempfile.TemporaryDirectory() as tmp:
        ours = in_subprocess("stream-tesrak", os.path.join(tmp, "tesrak.npy"))
        exact = in_subprocess("stream-numpy", os.path.join(tmp, "numpy.npy"))
        estimate = np.load(os.path.join(tmp, "tesrak.npy"))
        truth = np.load(os.path.join(tmp, "numpy.npy"))
    print(f"\nstream: {STREAM_UPDATES} updates of {STREAM_SHAPE}, compression "
          f"{STREAM_COMPRESSION}, then quantiles({STREAM_LEVELS})")
    print(f"{'':>28} {'seconds':>8} {'peak RSS MiB':>13} {'above start MiB':>16}")
    for name, r in (("tesrak update + quantiles", ours),
                    ("np.quantile(np.stack(...))", exact)):
        print(f"{name:>28} {r['seconds']:>8.2f} {r['peak_rss'] / 2**20:>13.0f} "
              f"{(r['peak_rss'] - r['baseline_rss']) / 2**20:>16.0f}")
    error = np.abs(estimate - truth)
    for level, row in zip(STREAM_LEVELS, error):
        print(f"  level {level}: median |error| {np.median(row):.4f}, max {row.max():.4f} "
              f"(cell spreads 0.5-2.0)")


if __name__ == "__main__":
    if len(sys.argv) == 3:
        role, out = sys.argv[1:]
        run = {"stream-tesrak": run_stream_tesrak, "stream-numpy": run_stream_numpy}[role]
        print(json.dumps(run(out)))
    else:
        main()
