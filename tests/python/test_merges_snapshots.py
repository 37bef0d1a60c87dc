"""Merged digests and snapshot files as Python sees them."""

import errno
import os
import signal
import shutil
import subprocess
import sys
import tempfile
import textwrap
import time

import numpy as np
import pytest

from tesrak import TensorDigest

LEVELS = [0.0, 0.01, 0.25, 0.5, 0.9, 1.0]


def fed(shape, dtype, rows):
    rng = np.random.default_rng(0)
    d = TensorDigest(shape, 4, dtype)
    for _ in range(rows):
        d.update(rng.normal(5.0, 30.0, size=shape).astype(dtype))
    return d


@pytest.mark.parametrize("dtype", ["float32", "int32"])
def test_loads_and_merges_give_new_independent_objects(tmp_path, dtype):
    d = fed([2, 3, 4], dtype, rows=7)  # rows left buffered: save flushes them
    path = str(tmp_path / "digest.tsk")
    d.save(path)
    loaded = TensorDigest.load(path)
    assert (loaded.dtype, loaded.shape) == (d.dtype, d.shape)
    assert loaded.quantiles(LEVELS) == d.quantiles(LEVELS)

    for merged in (d.merge_cells([0, 5, 5]), d.merge_channels([1, 0]), d.merge_cells([])):
        assert (merged.shape, merged.numel, merged.dtype) == ([1], 1, dtype)
    before = d.quantiles(LEVELS)
    merged = d.merge_all()
    merged_min = merged.cell_quantiles(0, [0.0])
    merged.update(np.full(1, 1000, dtype=dtype))
    assert d.quantiles(LEVELS) == before
    d.update(np.full([2, 3, 4], -1000, dtype=dtype))
    d.flush()
    assert merged.cell_quantiles(0, [0.0, 1.0]) == merged_min + [1000.0]


@pytest.mark.parametrize("content, message", [
    (None, "No such file or directory (os error 2)"),
    (b"", "incomplete frame"),
])
def test_files_that_hold_no_snapshot(tmp_path, content, message):
    path = tmp_path / "bad.tsk"
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(OSError) as caught:
        TensorDigest.load(str(path))
    assert caught.type is OSError and str(caught.value) == message


NOBODY = 65534


@pytest.fixture
def shared_dir():
    """A directory that everyone may read but only root may write."""
    path = tempfile.mkdtemp(prefix="tesrak-saves-")
    os.chmod(path, 0o755)
    yield path
    shutil.rmtree(path)


def save_error(path, as_nobody=True):
    """Saves a small digest to `path`, here or from a child running as an
    unprivileged user; returns the OSError text, or "" on success."""
    # The child drops its privileges only once the module is loaded: the
    # interpreter may live where that user cannot read.
    code = textwrap.dedent(f"""
        import os
        from tesrak import TensorDigest
        if {as_nobody}:
            os.setgroups([])
            os.setgid({NOBODY})
            os.setuid({NOBODY})
        try:
            TensorDigest([3], 2).save({path!r})
        except OSError as e:
            print(e)
        """)
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                           timeout=60)
    assert child.returncode == 0, child.stderr
    return child.stdout.strip()


def saved_shape(path):
    return TensorDigest.load(path).shape


def test_a_user_saves_over_a_writable_file_in_a_directory_of_root(shared_dir):
    path = os.path.join(shared_dir, "mine.tsk")
    TensorDigest([1], 1).save(path)
    os.chown(path, NOBODY, NOBODY)
    inode = os.stat(path).st_ino
    assert save_error(path) == ""
    assert saved_shape(path) == [3]
    after = os.stat(path)
    assert (after.st_ino, after.st_uid) == (inode, NOBODY)  # written in place


@pytest.mark.parametrize("name, as_nobody, message", [
    ("roots.tsk", True, "Permission denied (os error 13)"),
    ("missing.tsk", True, "Permission denied (os error 13)"),
    ("/proc/version", True, "Permission denied (os error 13)"),
    # No temporary file can be made in /proc; root may open the target,
    # which then refuses the write.
    ("/proc/version", False, "Input/output error (os error 5)"),
])
def test_a_save_reports_what_its_target_refuses(shared_dir, name, as_nobody, message):
    path = os.path.join(shared_dir, name)
    if name == "roots.tsk":
        TensorDigest([1], 1).save(path)
    assert save_error(path, as_nobody) == message


def test_saves_keep_hard_links_and_the_owner_of_the_replaced_file(shared_dir):
    linked = os.path.join(shared_dir, "linked.tsk")
    other_name = os.path.join(shared_dir, "other-name.tsk")
    TensorDigest([1], 1).save(linked)
    os.link(linked, other_name)
    TensorDigest([2], 1).save(linked)
    assert saved_shape(other_name) == [2]
    assert os.stat(linked).st_nlink == 2

    owned = os.path.join(shared_dir, "owned.tsk")
    TensorDigest([1], 1).save(owned)
    os.chown(owned, NOBODY, NOBODY)
    os.chmod(owned, 0o640)
    inode = os.stat(owned).st_ino
    TensorDigest([2], 1).save(owned)
    after = os.stat(owned)
    assert after.st_ino != inode  # replaced as a whole, by a rename
    assert (after.st_uid, after.st_gid, after.st_mode & 0o777) == (NOBODY, NOBODY, 0o640)


def test_saves_through_links_write_the_file_the_links_finally_name(shared_dir):
    os.mkdir(os.path.join(shared_dir, "sub"))
    first = os.path.join(shared_dir, "first.tsk")
    os.symlink("sub/second.tsk", first)
    os.symlink("target.tsk", os.path.join(shared_dir, "sub", "second.tsk"))  # dangling
    TensorDigest([4], 1).save(first)
    assert os.path.islink(first)
    assert saved_shape(os.path.join(shared_dir, "sub", "target.tsk")) == [4]

    loop = os.path.join(shared_dir, "loop.tsk")
    os.symlink("loop.tsk", loop)
    with pytest.raises(OSError) as caught:
        TensorDigest([1], 1).save(loop)
    assert str(caught.value) == "Too many levels of symbolic links (os error 40)"


def snapshot_of(digest, directory):
    path = os.path.join(directory, "reference.tsk")
    digest.save(path)
    with open(path, "rb") as f:
        content = f.read()
    os.remove(path)
    return content


def test_saves_through_descriptor_links_write_the_open_file_in_place(shared_dir):
    digest = fed([2, 3], "float32", rows=5)
    snapshot = snapshot_of(digest, shared_dir)
    link = os.path.join(shared_dir, "link.tsk")
    with tempfile.TemporaryFile(dir=shared_dir) as unnamed:
        unnamed.write(b"old content, longer than nothing")
        fd = unnamed.fileno()
        os.symlink(f"/dev/fd/{fd}", link)
        for path in [f"/proc/self/fd/{fd}", f"/proc/{os.getpid()}/fd/{fd}", f"/dev/fd/{fd}", link]:
            os.ftruncate(fd, 0)
            digest.save(path)
            assert os.pread(fd, len(snapshot) + 1, 0) == snapshot, path
    assert os.listdir(shared_dir) == ["link.tsk"]  # no file named after a link's text

    memfd = os.memfd_create("snapshot")
    try:
        digest.save(f"/proc/self/fd/{memfd}")
        assert os.pread(memfd, len(snapshot) + 1, 0) == snapshot
    finally:
        os.close(memfd)
    assert not [name for name in os.listdir("/") if name.startswith("memfd:")]


def test_a_save_to_stdout_redirected_to_a_file_keeps_the_file_for_later_output(shared_dir):
    log = os.path.join(shared_dir, "app.log")
    with open(log, "wb") as f:
        f.write(b"earlier output\n")
    inode = os.stat(log).st_ino
    code = ("import sys; from tesrak import TensorDigest\n"
            "TensorDigest([3], 2).save('/dev/stdout')\n"
            "print('later output')")
    with open(log, "ab") as appended:  # as the shell's >>
        subprocess.run([sys.executable, "-c", code], stdout=appended, check=True, timeout=60)
    with open(log, "rb") as f:
        content = f.read()
    assert os.stat(log).st_ino == inode and os.listdir(shared_dir) == ["app.log"]
    assert content == snapshot_of(TensorDigest([3], 2), shared_dir) + b"later output\n"


def test_a_user_saves_over_a_writable_file_of_another_in_a_sticky_directory(shared_dir):
    os.chmod(shared_dir, 0o1777)  # as /tmp: nobody may rename over root's files
    path = os.path.join(shared_dir, "roots-but-writable.tsk")
    TensorDigest([1], 1).save(path)
    os.chmod(path, 0o666)
    inode = os.stat(path).st_ino
    assert save_error(path) == ""
    assert saved_shape(path) == [3]
    assert os.stat(path).st_ino == inode and os.listdir(shared_dir) == ["roots-but-writable.tsk"]


def in_a_mount_namespace_of_its_own(script, *args):
    """Runs the shell `script` as root in a private mount namespace, where it
    may mount what it needs; skips the test where that is not allowed (as
    in a chroot), which the script says by exiting with 77."""
    try:
        child = subprocess.run(
            ["unshare", "--mount", "--propagation", "private", "sh", "-c", script, "sh", *args],
            capture_output=True, text=True, timeout=60)
    except FileNotFoundError:
        pytest.skip("no unshare command")
    if child.returncode == 77 or child.stderr.startswith("unshare:"):
        pytest.skip(f"cannot mount here: {child.stderr.strip()}")
    return child


# Mounts `source` over `target`, then saves to `target` there.
SAVE_OVER_MOUNT = """mount --bind "$1" "$2" || exit 77
exec "$3" -c 'import sys; from tesrak import TensorDigest; TensorDigest([3], 2).save(sys.argv[1])' "$2"
"""


def test_a_save_over_a_file_mounted_on_the_target_writes_the_mounted_file(shared_dir):
    source, target = (os.path.join(shared_dir, name) for name in ("volume.tsk", "target.tsk"))
    TensorDigest([1], 1).save(source)
    TensorDigest([2], 1).save(target)
    child = in_a_mount_namespace_of_its_own(SAVE_OVER_MOUNT, source, target, sys.executable)
    assert (child.returncode, child.stderr) == (0, "")
    assert (saved_shape(source), saved_shape(target)) == ([3], [2])
    assert sorted(os.listdir(shared_dir)) == ["target.tsk", "volume.tsk"]


def test_a_copy_over_a_refused_name_cuts_off_a_longer_old_content(shared_dir):
    os.chmod(shared_dir, 0o1777)
    path = os.path.join(shared_dir, "roots-but-writable.tsk")
    fed([40, 40], "float32", rows=9).save(path)
    os.chmod(path, 0o666)
    assert os.path.getsize(path) > 1000
    assert save_error(path) == ""
    with open(path, "rb") as f:
        assert f.read() == snapshot_of(TensorDigest([3], 2), shared_dir)


# Mounts a small file system with an old snapshot mounted over the target,
# and saves a snapshot whose temporary file fits there but not a second
# copy of it: the copy into the mounted file must find no room before it
# gives up any old byte.
SAVE_ON_A_FULL_DISK = """mount -t tmpfs -o size=192k tmpfs "$1" || exit 77
cd "$1" && cp "$2" volume.tsk && cp "$2" target.tsk && mount --bind volume.tsk target.tsk || exit 77
"$3" -c '
import numpy as np
from tesrak import TensorDigest
digest = TensorDigest([250], 50)
rng = np.random.default_rng(1)
for _ in range(100):
    digest.update(rng.random(250, dtype=np.float32))
try:
    digest.save("target.tsk")
except OSError as error:
    print(error)
'
umount target.tsk && ls -A && cat volume.tsk >"$4"
"""


def test_a_full_disk_fails_a_copy_over_a_refused_name_and_keeps_the_old_target(
        shared_dir, tmp_path):
    old, kept = os.path.join(shared_dir, "old.tsk"), os.path.join(shared_dir, "kept.tsk")
    TensorDigest([3], 2).save(old)
    child = in_a_mount_namespace_of_its_own(SAVE_ON_A_FULL_DISK, str(tmp_path), old,
                                            sys.executable, kept)
    assert (child.returncode, child.stderr) == (0, "")
    assert child.stdout == "No space left on device (os error 28)\ntarget.tsk\nvolume.tsk\n"
    with open(old, "rb") as f, open(kept, "rb") as g:
        assert g.read() == f.read()


# Mounts a small file system of type $1 with an old file of $4 MiB on it,
# mounts that file over the target, leaves $3 MiB of room ($2: "free" on
# the disk, or "quota" of the subvolume's Btrfs quota) and saves a 4.3 MB
# snapshot. Written over, the old bytes of a copy-on-write file system
# would need fresh blocks, and XFS refuses to claim room it lacks on top of
# the old file's blocks; yet with a 20 MiB old file a truncating writer,
# which gives the old blocks up first, saves, and so must the save. With a
# small old file, where nothing could save, the old file must stay whole.
SAVE_WITH_LITTLE_ROOM = """cd "$5" || exit 1
command -v "mkfs.$1" >/dev/null || { echo "no mkfs.$1" >&2; exit 77; }
truncate -s 320M disk.img && "mkfs.$1" -q disk.img >/dev/null 2>&1 || exit 77
mkdir mnt && mount -o loop disk.img mnt || exit 77
if [ "$2" = quota ]; then
  btrfs quota enable mnt || { umount mnt; echo "no Btrfs quotas" >&2; exit 77; }
fi
head -c "$4"M /dev/urandom >mnt/volume.tsk && cp mnt/volume.tsk old.tsk && : >target.tsk || exit 1
mount --bind mnt/volume.tsk target.tsk || { umount mnt; exit 77; }
room=$(($3 * 1048576))
if [ "$2" = quota ]; then
  btrfs filesystem sync mnt
  used=$(btrfs qgroup show --raw -r mnt | awk '$1 == "0/5" { print $2 }')
  btrfs qgroup limit $((used + room)) mnt
elif [ "$1" = btrfs ]; then  # allocated as it is written: filled with data
  dd if=/dev/zero of=mnt/fill bs=1M 2>/dev/null
  truncate -s -"$3"M mnt/fill && btrfs filesystem sync mnt
else  # claimed whole, as far as the free space goes (XFS keeps some back)
  sync -f mnt
  size=$(($(stat -f -c "%a * %S" mnt) - room))
  until fallocate -l $size mnt/fill 2>/dev/null; do size=$((size - 262144)); done
fi
"$6" -c '
import numpy as np
from tesrak import TensorDigest
digest = TensorDigest([256, 256], 50)
rng = np.random.default_rng(0)
for _ in range(8):
    digest.update(rng.normal(size=digest.numel).astype(np.float32))
digest.save("reference.tsk")
try:
    digest.save("target.tsk")
except OSError as error:
    print(error)
'
cmp -s target.tsk reference.tsk && echo "saved whole"
cmp -s target.tsk old.tsk && echo "old kept"
umount target.tsk && umount mnt && rm disk.img old.tsk reference.tsk  # 340 MiB at most
"""


NO_SPACE, NO_QUOTA = "No space left on device (os error 28)", "Disk quota exceeded (os error 122)"


@pytest.mark.parametrize("file_system, room, mib, old_mib, said", [
    ("btrfs", "free", 1, 20, "saved whole"), ("btrfs", "free", 2, 20, "saved whole"),
    ("btrfs", "free", 3, 20, "saved whole"), ("btrfs", "free", 2, 1, f"{NO_SPACE}\nold kept"),
    ("btrfs", "quota", 1, 20, "saved whole"), ("btrfs", "quota", 4, 20, "saved whole"),
    ("btrfs", "quota", 2, 1, f"{NO_QUOTA}\nold kept"),
    ("xfs", "free", 0, 20, "saved whole"), ("xfs", "free", 2, 20, "saved whole"),
    ("xfs", "free", 2, 1, f"{NO_SPACE}\nold kept"),
])
def test_a_copy_over_a_refused_name_ends_at_least_as_well_as_a_truncating_writer(
        tmp_path, file_system, room, mib, old_mib, said):
    child = in_a_mount_namespace_of_its_own(SAVE_WITH_LITTLE_ROOM, file_system, room, str(mib),
                                            str(old_mib), str(tmp_path), sys.executable)
    assert (child.returncode, child.stdout, child.stderr) == (0, said + "\n", "")


@pytest.fixture(scope="session")
def refusing_calls(preload_library):
    """The path of a library that, preloaded, refuses fallocate or fails
    writes to one file, as its environment asks (see refusing_calls.c)."""
    return preload_library("refusing_calls.c")


def save_as_nobody_with(refusing_calls, target, script, **refusals):
    child = subprocess.run([sys.executable, "-c", script, target], capture_output=True, text=True,
                           timeout=60,
                           env=dict(os.environ, LD_PRELOAD=refusing_calls, **refusals))
    assert child.stdout == ""
    return child


SAVE_SMALL_AS_NOBODY = f"""import os, sys
from tesrak import TensorDigest
os.setgroups([])
os.setgid({NOBODY})
os.setuid({NOBODY})
TensorDigest([3], 2).save(sys.argv[1])
"""


# Saves, as an unprivileged user over root's small writable file in a
# sticky directory, a snapshot larger than it, so that the copy claims the
# blocks the old content lacks.
SAVE_FED_AS_NOBODY = f"""import os, sys
import numpy as np
from tesrak import TensorDigest
digest = TensorDigest([40, 40], 4)
rng = np.random.default_rng(0)
for _ in range(9):
    digest.update(rng.normal(5.0, 30.0, size=[40, 40]).astype(np.float32))
os.setgroups([])
os.setgid({NOBODY})
os.setuid({NOBODY})
digest.save(sys.argv[1])
"""


# Refusals that say the file system cannot reserve go on without the claim;
# one for space goes on as a truncating writer would, since the disk's free
# space holds the snapshot (XFS refuses a claim it would then grant
# otherwise). A full quota, whose room the file system does not tell, and
# a failing device keep the old target.
@pytest.mark.parametrize("refusal, message", [
    (errno.EINVAL, ""), (errno.EOPNOTSUPP, ""), (errno.ENOSPC, ""),
    (errno.EDQUOT, "Disk quota exceeded (os error 122)"),
    (errno.EIO, "Input/output error (os error 5)"),
])
def test_a_copy_over_a_refused_name_whose_claim_is_refused(shared_dir, refusing_calls, refusal,
                                                           message):
    os.chmod(shared_dir, 0o1777)
    target = os.path.join(shared_dir, "roots-but-writable.tsk")
    TensorDigest([1], 1).save(target)
    os.chmod(target, 0o666)
    with open(target, "rb") as f:
        old = f.read()
    child = save_as_nobody_with(refusing_calls, target, SAVE_FED_AS_NOBODY,
                                REFUSE_FALLOCATE=str(refusal))
    with open(target, "rb") as f:
        content = f.read()
    if message:
        assert child.returncode == 1 and child.stderr.endswith(f"OSError: {message}\n")
        assert content == old
        assert os.stat(target).st_blocks * 512 <= 4096
    else:
        assert (child.returncode, child.stderr) == (0, "")
        assert content == snapshot_of(fed([40, 40], "float32", rows=9), shared_dir)


def test_a_copy_over_a_refused_name_that_fails_holds_no_space_past_the_target(
        shared_dir, refusing_calls):
    os.chmod(shared_dir, 0o1777)
    target = os.path.join(shared_dir, "roots-but-writable.tsk")
    TensorDigest([1], 1).save(target)
    os.chmod(target, 0o666)
    child = save_as_nobody_with(refusing_calls, target, SAVE_LARGE_OVER_A_REFUSED_NAME,
                                FAIL_WRITES_TO=str(os.stat(target).st_ino))
    assert child.returncode == 1
    assert child.stderr.endswith("OSError: Input/output error (os error 5)\n")
    # The failed copy wrote 1 MiB of the 30 MB it had claimed room for.
    written = os.stat(target)
    assert written.st_size == 1 << 20
    assert written.st_blocks * 512 <= written.st_size + (1 << 16)


# Blocks can run out while the new bytes go over the old ones, even after
# the claim (where the target shares its blocks, say): the copy then starts
# again from an empty target, as a truncating writer would, for a full
# quota as for a full disk.
@pytest.mark.parametrize("error", [errno.ENOSPC, errno.EDQUOT])
def test_a_copy_over_a_refused_name_that_runs_out_of_space_midway_starts_again_from_empty(
        shared_dir, refusing_calls, tmp_path, error):
    os.chmod(shared_dir, 0o1777)
    target, reference = os.path.join(shared_dir, "roots-but-writable.tsk"), tmp_path / "ref.tsk"
    TensorDigest([1], 1).save(target)
    os.chmod(target, 0o666)
    child = subprocess.run([sys.executable, "-c", SAVE_LARGE_OVER_A_REFUSED_NAME, target,
                            str(reference)], capture_output=True, text=True, timeout=60,
                           env=dict(os.environ, LD_PRELOAD=refusing_calls,
                                    FAIL_WRITES_TO=str(os.stat(target).st_ino),
                                    FAIL_WRITES_WITH=str(error), FAIL_WRITES_ONCE="1"))
    assert (child.returncode, child.stdout, child.stderr) == (0, "", "")
    with open(target, "rb") as f:
        assert f.read() == reference.read_bytes()
    reference.unlink()  # 30 MB that pytest would keep for three runs


# Builds a snapshot of some 30 MB of random centroids, then saves it as an
# unprivileged user over root's writable file in a sticky directory, where
# the rename is refused and the snapshot is copied in.
SAVE_LARGE_OVER_A_REFUSED_NAME = f"""import os, sys
import numpy as np
from tesrak import TensorDigest
digest = TensorDigest([256, 256], 50)
rng = np.random.default_rng(0)
for _ in range(100):
    digest.update(rng.random(digest.numel, dtype=np.float32))
digest.flush()
if len(sys.argv) > 2:
    digest.save(sys.argv[2])  # what the target should hold
os.setgroups([])
os.setgid({NOBODY})
os.setuid({NOBODY})
digest.save(sys.argv[1])
"""


def test_a_save_killed_while_it_copies_over_a_refused_name_leaves_no_temporary_file(
        shared_dir):
    os.chmod(shared_dir, 0o1777)
    target = os.path.join(shared_dir, "roots-but-writable.tsk")
    kills = 0
    for _ in range(10):  # a save that ends before it is stopped is tried again
        TensorDigest([1], 1).save(target)
        os.chmod(target, 0o666)
        os.utime(target, ns=(0, 0))  # the copy's first change to it shows
        saving = subprocess.Popen([sys.executable, "-c", SAVE_LARGE_OVER_A_REFUSED_NAME, target])
        try:
            deadline = time.monotonic() + 60
            while (os.stat(target).st_mtime_ns == 0 and saving.poll() is None
                   and time.monotonic() < deadline):
                time.sleep(0.001)  # a spin would take a core from the save it waits for
        finally:
            saving.kill()
            saving.wait()
        if saving.returncode == -signal.SIGKILL:
            kills += 1
            assert os.listdir(shared_dir) == ["roots-but-writable.tsk"]
        else:
            assert saving.returncode == 0
        if kills == 3:
            break
    assert kills == 3


# Builds at once from untouched pages and takes a good part of a second to
# save: 760 MB of payload, nearly all zeros.
SAVE_LARGE = "import sys; from tesrak import TensorDigest; TensorDigest([512, 512], 50).save(sys.argv[1])"


def test_a_save_killed_midway_leaves_the_old_file_and_nothing_beside_it(tmp_path, open_files):
    directory = os.path.realpath(tmp_path)
    target = os.path.join(directory, "digest.tsk")

    def temporary_file_open(pid):  # the save has the target open too
        return any(os.path.dirname(f) == directory and f != target for f in open_files(pid))

    TensorDigest([1], 1).save(target)
    with open(target, "rb") as f:
        old = f.read()
    kills = 0
    for _ in range(20):  # a save that ends before it is stopped is tried again
        saving = subprocess.Popen([sys.executable, "-c", SAVE_LARGE, target])
        try:
            deadline = time.monotonic() + 60
            while (not temporary_file_open(saving.pid) and saving.poll() is None
                   and time.monotonic() < deadline):
                time.sleep(0.001)
            # Stopped, it is still writing exactly when it still has the file open.
            saving.send_signal(signal.SIGSTOP)
            midway = temporary_file_open(saving.pid)
        finally:
            saving.kill()
            saving.wait()
        if midway:
            kills += 1
            assert os.listdir(directory) == ["digest.tsk"]
            with open(target, "rb") as f:
                assert f.read() == old
        else:
            TensorDigest([1], 1).save(target)
        if kills == 3:
            break
    assert kills == 3
