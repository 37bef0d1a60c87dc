"""Memory bounded by the digest: sizes refused before anything is touched,
snapshots read through a fixed window.

Every case runs in a child interpreter whose address space is capped, so
that a fault shows as a failed test instead of taking the machine's memory.
"""

import os
import resource
import struct
import subprocess
import sys
import textwrap

import pytest

from tesrak import TensorDigest

MiB = 1 << 20
GiB = 1 << 30
PHYSICAL = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
SHORT_PAYLOAD = "io error: failed to fill whole buffer"


def run_capped(code, cap):
    """Runs `code` in a child limited to `cap` bytes of address space and
    returns its printed lines and its peak resident memory in bytes."""
    def limit():
        resource.setrlimit(resource.RLIMIT_AS, (cap, cap))

    # The peak of this program's own memory: the rusage maximum would
    # count the parent's pages that the fork shared too.
    code = textwrap.dedent(code) + textwrap.dedent("""
        with open("/proc/self/status") as status:
            peak = next(line for line in status if line.startswith("VmHWM:"))
        print(int(peak.split()[1]) * 1024)
        """)
    child = subprocess.run([sys.executable, "-c", code], preexec_fn=limit,
                           capture_output=True, text=True, timeout=60)
    assert child.returncode == 0, child.stderr  # a kill shows as a negative code
    *lines, peak = child.stdout.splitlines()
    return lines, int(peak)


@pytest.mark.parametrize("cap, compression", [
    (4 * GiB, 10**9),               # refused by the address-space limit
    (PHYSICAL + 2 * GiB, 4 * 10**9),  # refused by the machine's memory
], ids=["address-space limit", "physical memory"])
def test_digests_and_merges_too_large_for_the_process_are_refused_untouched(cap, compression):
    lines, peak = run_capped(f"""
        from tesrak import TensorDigest
        fed = TensorDigest([1], 10000)
        for k in range(20000):  # about 2 000 centroids in its cell, 32 KB to gather
            fed.update([float(k * 7919 % 20000)])
        makers = [
            lambda: TensorDigest([1], {compression}),
            lambda: TensorDigest([0], {compression}).merge_all(),
            lambda: TensorDigest([0], {compression}).merge_channels([3]),
            lambda: TensorDigest([0], {compression}).merge_cells([]),
            # the cell gathered once per listing: twice the cap
            lambda: fed.merge_cells([0] * {cap // 16384}),
        ]
        for make in makers:
            try:
                make()
                print("built")
            except MemoryError:
                print("refused")
        # 2.9 GB of lists, built from pages not yet touched
        print(TensorDigest([1024, 1024], 50).numel)
        """, cap)
    assert lines == ["refused"] * 5 + ["1048576"]
    assert peak < 200 * MiB


def zeros_frame(prefix, zeros):
    """One zstd frame: `prefix` stored as is, then `zeros` zero bytes as
    blocks that each repeat one byte (four bytes of file per 128 KiB)."""
    block = 1 << 17
    out = bytearray(b"\x28\xb5\x2f\xfd\x00\x38")  # magic; no size; 128 KiB window

    def header(kind, size, last):
        out.extend((int(last) | kind << 1 | size << 3).to_bytes(3, "little"))

    header(0, len(prefix), zeros == 0)
    out.extend(prefix)
    while zeros:
        n = min(zeros, block)
        zeros -= n
        header(1, n, zeros == 0)
        out.append(0)
    return bytes(out)


def payload_head(shape, compression, row_entries):
    """A float32 payload up to the row buffer's count."""
    numel = 1
    for dim in shape:
        numel *= dim
    return (b"\x00" + struct.pack(f"<Q{len(shape)}Q", len(shape), *shape)
            + struct.pack("<QQQ", numel, compression, row_entries))


@pytest.mark.parametrize("head, cap, outcome", [
    (payload_head([1], 1, 2**40), 2 * GiB, SHORT_PAYLOAD),
    # a digest this process could hold: its lists are allocated, and the
    # zeros leave their pages untouched
    (payload_head([1024, 1024], 300, 1024 * 1024 * 600), PHYSICAL + 2 * GiB, SHORT_PAYLOAD),
    (payload_head([1024, 1024], 2000, 1024 * 1024 * 4000), 2 * GiB, SHORT_PAYLOAD),
    (None, 512 * MiB, "MemoryError"),
], ids=["counts beyond the payload", "a digest that fits", "a digest beyond memory",
        "a saved digest beyond memory"])
def test_small_files_of_large_digests_fail_in_little_memory(tmp_path, head, cap, outcome):
    path = tmp_path / "snapshot.tsk"
    if head is None:
        TensorDigest([1024, 256], 50).save(str(path))  # 760 MB of lists
    else:
        path.write_bytes(zeros_frame(head, 2 * GiB))
    assert path.stat().st_size < 70_000
    lines, peak = run_capped(f"""
        from tesrak import TensorDigest
        try:
            TensorDigest.load({str(path)!r})
        except (OSError, MemoryError) as e:
            print(e if type(e) is OSError else type(e).__name__)
        """, cap)
    assert lines == [outcome]
    assert peak < 100 * MiB
