"""The worker pool's size follows RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS."""

import os
import subprocess
import sys

import pytest

# Runs parallel passes in a fresh interpreter and prints how many threads
# the process has afterwards: the calling thread plus the pool's workers.
# Workers start on demand, a few per pass, so passes go on until the count
# expected is there, or for a while.
PROGRAM = """
import os, sys, tesrak
expected = int(sys.argv[1])
d = tesrak.TensorDigest([8192], 1)
for _ in range(200):
    for _ in range(2):
        d.update([1.0] * 8192)
    d.quantile(0.5)
    threads = len(os.listdir('/proc/self/task'))
    if threads >= expected:
        break
print(threads)
"""


def threads_after_passes(expected, **env):
    clean = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    # A pool that never ends a pass fails here, with the child's output.
    result = subprocess.run([sys.executable, "-c", PROGRAM, str(expected)], env={**clean, **env},
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    return int(result.stdout)


@pytest.mark.parametrize("env, expected", [
    ({"RAYON_NUM_THREADS": "1"}, 1),
    ({"RAYON_NUM_THREADS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "+2"}, 2),
    ({"RAYON_NUM_THREADS": "2", "RAYON_RS_NUM_CPUS": "3"}, 2),
    ({"RAYON_NUM_THREADS": "two", "RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_RS_NUM_CPUS": "1"}, 1),
])
def test_environment_limits_the_pool(env, expected):
    assert threads_after_passes(expected, **env) == expected


def test_environment_sets_the_pool_also_above_the_cpu_count():
    more = len(os.sched_getaffinity(0)) + 1
    assert threads_after_passes(more, RAYON_NUM_THREADS=str(more)) == more


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs two CPUs")
@pytest.mark.parametrize("env", [{}, {"RAYON_NUM_THREADS": "0"}, {"RAYON_NUM_THREADS": "-1"}])
def test_default_uses_the_available_cpus(env):
    cpus = len(os.sched_getaffinity(0))
    assert threads_after_passes(cpus, **env) == cpus
