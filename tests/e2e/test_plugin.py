# The nbdkit plugin serving a sparse device through libnbd: its refusals, the protocol's flags, requests that use a
# slot beside a commit that frees it; the in-process power cuts (tests/nbdplugin) on each file system of the proof.
import contextlib, os, random, signal, subprocess, time
from pathlib import Path

import pytest

from conftest import (ABSENT, PLUGIN, SERVED_TESTS, SERVER_ENV, connect, errno_of, extents, fresh_dir, linux_only,
                      make_device, read_map, run, serve, shell, stop, write_sparse)

nbd = pytest.importorskip('nbd')
pytestmark = [linux_only, pytest.mark.skipif(not PLUGIN, reason='the plugin is not built (no nbdkit-plugin.h)')]


def test_a_bad_device_is_refused_and_a_served_one_is_locked(tmp_path):
    fresh_dir(tmp_path, 'd.sparsefs')
    write_sparse(tmp_path / 'b.sparsefs', 4096, [], b'')
    (tmp_path / 'b.sparsefs/Map').write_bytes(b'ABCD' + bytes(28))
    for device, message in [('d.sparsefs', "Cannot open 'd.sparsefs/Map': 2"), ('x=1', "unknown parameter 'x'"),
                            ('b.sparsefs', 'Invalid sparse block device magic 0x44434241'), ('device=', 'a sparse device'),
                            ('a.fs', "nbdkit's file plugin serves flat devices"),
                            ('d', "Sparse block device must have extension 'sparsefs'")]:
        server = serve(tmp_path, device=device)
        assert server.wait() == 1 and message in server.stderr.read().decode()
    # In the background (nbdkit forks; a separator after the name is ignored) the files stay locked: others meet 11.
    make_device(tmp_path, 4096, [ABSENT], 1)
    assert subprocess.run(['nbdkit', '-U', tmp_path / 'sock', '-P', tmp_path / 'pid', PLUGIN, 'd.sparsefs/'],
                          cwd=tmp_path, env=SERVER_ENV).returncode == 0
    try:
        h = connect(tmp_path)[0]
        h.pwrite(b'\1', 4095)  # one byte is data enough for a chunk of its own
        assert h.pread(4096, 0) == bytes(4095) + b'\1'
        assert run(tmp_path, ['extend', '8192', 'd.sparsefs'])[2] == b"Cannot open 'd.sparsefs/Map': 11\n"
    finally:
        os.kill(int((tmp_path / 'pid').read_text()), signal.SIGKILL)


def test_zeros_as_the_client_asks_flushes_after_every_fua_and_extents_that_say_so(file_system):
    """NO_HOLE keeps or makes the range provisioned (room kept where the file system can, told as zeros, no hole);
    without it whole chunks go; FAST_ZERO answers ENOTSUP where zeroing would write; each call with FUA flushes."""
    where, length = fresh_dir(file_system, 'zeros'), 65536
    make_device(where, length, [0, 1, ABSENT, ABSENT, 2, ABSENT], 1)
    (where / 'probe').write_bytes(bytes(4096))
    keeps = shell(f'fallocate -z -l 4096 {where}/probe')  # the file system zeroes a range keeping its room
    punches = shell(f'fallocate -p -l 4096 {where}/probe')  # and gives room back
    server, h = serve(where, trace=['-e', 'trace=fdatasync']), connect(where)[0]
    flushes = lambda: (where / 'trace').read_text().count('fdatasync(')
    for call, at, flags, stored in [(h.zero, 0, nbd.CMD_FLAG_NO_HOLE, True), (h.zero, 2, nbd.CMD_FLAG_NO_HOLE, True),
                                    (h.zero, 4, 0, False), (h.trim, 1, 0, False),
                                    (h.zero, 3, nbd.CMD_FLAG_NO_HOLE | nbd.CMD_FLAG_FAST_ZERO, keeps)]:
        before = flushes()
        if call == h.trim or keeps or not flags & nbd.CMD_FLAG_FAST_ZERO:
            call(length, at * length, flags | nbd.CMD_FLAG_FUA)
            assert flushes() > before
        else:
            assert h.can_fast_zero() and errno_of(call, length, at * length, flags | nbd.CMD_FLAG_FUA) == 'ENOTSUP'
        assert h.pread(length, at * length) == bytes(length)
        named = read_map(where / 'd.sparsefs')[2]
        assert (named[at] != ABSENT) == stored, at
        assert not punches or written_bytes(where / 'd.sparsefs/Store') <= len(set(named) - {ABSENT}) * length, at
        told = {flags for start, count, flags in extents(h, at * length, (at + 1) * length) if start < (at + 1) * length}
        assert told == ({nbd.STATE_ZERO} if stored else {nbd.STATE_HOLE | nbd.STATE_ZERO}), at
    before, _ = flushes(), h.pwrite(b'w', 5 * length + 1, nbd.CMD_FLAG_FUA)
    assert flushes() > before and os.stat(where / 'd.sparsefs/Store').st_blocks * 512 >= (3 if keeps else 2) * length
    stop(server, where)  # the slots of 0 and 2 (and 3) are provisioned


def written_bytes(path):  # the bytes of the file that are not holes
    with open(path, 'rb') as f, contextlib.suppress(OSError):  # ENXIO: no data past at
        at, total = 0, 0
        while True:
            start = os.lseek(f.fileno(), at, os.SEEK_DATA)
            at = os.lseek(f.fileno(), start, os.SEEK_HOLE)
            total += at - start
    return total


def test_a_freed_slot_is_handed_out_again_only_once_the_requests_that_looked_it_up_have_ended(tmp_path):
    """Writes held up (strace): a freed slot is reused only once they end; a new chunk's goes into the other's slot."""
    make_device(tmp_path, 4096, [0, 1, ABSENT, ABSENT], 1)
    delay = ['-e', 'trace=pwrite64', '-e', 'inject=pwrite64:delay_enter=1000000:when=1']
    server = serve(tmp_path, ['-t', '1'], ['-P', tmp_path / 'd.sparsefs/Store', *delay])  # a thread a connection
    late, other, third = connect(tmp_path, 3)
    other.pwrite(b'e', 4096)  # its own first write is the one held up
    cookie, new = late.aio_pwrite(nbd.Buffer.from_bytearray(bytearray(b'c' * 4096)), 0), random.randbytes(4096)
    time.sleep(0.2)
    other.trim(4096, 0)
    other.flush()
    other.pwrite(new, 8192)
    while not late.aio_command_completed(cookie):
        late.poll(-1)
    cookie = third.aio_pwrite(nbd.Buffer.from_bytearray(bytearray(b't' * 100)), 12388)
    time.sleep(0.2)
    other.pwrite(b'o' * 100, 12288)
    while not third.aio_command_completed(cookie):
        third.poll(-1)
    assert other.pread(8192, 8192) == new + b'o' * 100 + b't' * 100 + bytes(3896)
    stop(server, tmp_path)


def test_power_cuts_kills_and_restarts_leave_what_was_flushed_on_every_file_system(file_system):
    if file_system.name != 'mnt' or not SERVED_TESTS or b'__asan_init' in Path(SERVED_TESTS).read_bytes():
        pytest.skip('the unit tests run it in the temporary directory, and under the sanitizers')
    done = subprocess.run([SERVED_TESTS, '--gtest_filter=*PowerCut*'], capture_output=True, text=True,
                          env=dict(os.environ, TEST_TMPDIR=str(file_system), QUILLON_TIER='quick'))
    assert done.returncode == 0, done.stdout[-4000:]
