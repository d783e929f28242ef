# The nbdkit plugin serving a sparse device, checked through libnbd against a model.
import os, random, shutil, signal, subprocess, time

import pytest
from hypothesis import given, settings, strategies as st

from conftest import (ABSENT, PLUGIN, ROOT, SERVER_ENV, attach_nbdfuse, connect, detach_nbdfuse, errno_of,
                      extents, flat, fresh_dir, linux_only, loop_device, make_device, read_map, run, serve,
                      shell, stop, write_sparse)

nbd = pytest.importorskip('nbd')
pytestmark = [linux_only, pytest.mark.skipif(not PLUGIN, reason='the plugin is not built (no nbdkit-plugin.h)')]


def test_a_bad_device_is_refused_and_a_served_one_is_locked(tmp_path):
    for files, device, message in [({}, 'd.sparsefs', "Cannot open 'd.sparsefs/Map': 2"), (
            {'Map': b'ABCD' + bytes(28), 'Store': b''}, 'd.sparsefs', 'Invalid sparse block device magic 0x44434241'),
            ({}, 'a.fs', "nbdkit's file plugin serves flat devices"), ({}, 'device=', 'a sparse device'),
            ({}, 'd', "Sparse block device must have extension 'sparsefs'"), ({}, 'x=1', "unknown parameter 'x'")]:
        fresh_dir(tmp_path, 'd.sparsefs')
        for name, held in files.items():
            (tmp_path / 'd.sparsefs' / name).write_bytes(held)
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
    """A zero with NO_HOLE leaves the range provisioned: a stored chunk keeps its slot, an absent one takes a slot of
    zeros (room reserved where the file system can, and told as zeros, no hole); without it, or a trim, whole chunks go.
    FAST_ZERO answers ENOTSUP at once where zeroing would write. Each writing call with FUA flushes."""
    where, length = fresh_dir(file_system, 'zeros'), 65536
    make_device(where, length, [0, 1, ABSENT, ABSENT, 2, ABSENT], 1)
    (where / 'probe').write_bytes(bytes(4096))
    keeps = shell(f'fallocate -z -l 4096 {where}/probe')  # the file system zeroes a range keeping its room
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
        assert (read_map(where / 'd.sparsefs')[2][at] != ABSENT) == stored, at
        told = {flags for start, count, flags in extents(h, at * length, (at + 1) * length) if start < (at + 1) * length}
        assert told == ({nbd.STATE_ZERO if keeps else 0} if stored else {nbd.STATE_HOLE | nbd.STATE_ZERO}), at
    before = flushes()
    h.pwrite(b'w', 5 * length + 1, nbd.CMD_FLAG_FUA)
    assert flushes() > before and h.pread(2, 5 * length) == b'\0w'
    store = os.stat(where / 'd.sparsefs/Store')
    stop(server, where)
    assert store.st_blocks * 512 >= (3 if keeps else 2) * length  # the slots of 0 and 2 (and 3) provisioned


def test_a_chunk_whose_slot_lies_past_the_stores_end_fails_to_read_until_written_and_keeps_what_is(tmp_path):
    write_sparse(tmp_path / 'd.sparsefs', 4096, [5, ABSENT, 0], b'')
    server, h = serve(tmp_path), connect(tmp_path)[0]
    assert errno_of(h.pread, 4096, 0) == 'EIO'
    h.pwrite(b'a' * 4096, 0)
    h.flush()
    h.pwrite(b'b' * 4096, 4096)  # a new slot: the Store is cut at no slot a chunk names
    h.flush()
    assert h.pread(8192, 0) == b'a' * 4096 + b'b' * 4096
    stop(server, tmp_path)
    assert flat(tmp_path)[:8192] == b'a' * 4096 + b'b' * 4096


def test_a_clean_stop_keeps_the_copy_of_the_map_for_the_next_server_while_the_map_stays_as_it_was(tmp_path):
    """The next server's first commit then writes only its changes: no whole Map is copied."""
    make_device(tmp_path, 4096, [ABSENT] * 8, 1)
    try:  # the copy's mark is an extended attribute
        os.setxattr(tmp_path / 'd.sparsefs/Map', 'user.probe', b'1')
    except OSError:
        pytest.skip('this file system keeps no extended attributes: a clean stop removes the copy')
    for chunk, before, copied in ((0, 'true', True), (1, 'true', False), (2, 'extend', True), (3, 'true', False),
                                  (4, 'rm Map.new', True), (5, 'touch Map.new', True)):
        if before == 'extend':
            assert run(tmp_path, ['extend', '65536', 'd.sparsefs'])[0] == 0
        assert before == 'extend' or shell(f'cd {tmp_path}/d.sparsefs && {before}')
        server = serve(tmp_path, trace=['-e', 'trace=copy_file_range'])
        h = connect(tmp_path)[0]
        h.pwrite(bytes([chunk + 1]), 4096 * chunk)
        h.flush()
        stop_cleanly(server, [h], tmp_path)
        assert ('copy_file_range(' in (tmp_path / 'trace').read_text()) == copied, chunk
    assert flat(tmp_path)[::4096] == bytes(range(1, 7)) + bytes(10)
    assert read_map(tmp_path / 'd.sparsefs')[2][:6] == list(range(6))  # each new chunk in the lowest free slot


def test_freed_slots_are_reused_so_the_store_stays_as_long_as_its_data(tmp_path):
    """Fill and trim, flushed, or a 1 GiB chunk never flushed: the Store stays within the data held and what waits
    (4 GiB at most); the Map's copy takes a commit's changes a run at a time."""
    for length, chunks, flushed, bound in [(65536, 16, True, 1 << 20), (1 << 30, 1, False, 5 << 30)]:
        make_device(tmp_path, length, [ABSENT] * chunks, 1)
        server = serve(tmp_path, trace=['-e', 'trace=pwrite64', '-P', tmp_path / 'd.sparsefs/Map.new'])
        h = connect(tmp_path)[0]
        for _ in range(10 if flushed else 40):
            h.pwrite(random.randbytes(1 << 20) if flushed else b'x', 0, nbd.CMD_FLAG_FUA if flushed else 0)
            h.trim(length * chunks, 0, nbd.CMD_FLAG_FUA if flushed else 0)
            assert os.stat(tmp_path / 'd.sparsefs/Store').st_size <= bound
        stop(server, tmp_path)
        assert (tmp_path / 'trace').read_text().count('pwrite64(') < 100  # about three for each of 20 commits


devices = st.tuples(st.sampled_from([4096, 65536, 3072]), st.lists(st.one_of(st.just(ABSENT), st.integers(0, 5)),
                                                                    min_size=1, max_size=12), st.integers(0, 2))


def stop_cleanly(server, handles, where):
    """A clean stop keeps what was written, flushed or not, and leaves no copy of the Map but an equal one."""
    for h in handles:
        h.shutdown()
    os.killpg(server.pid, signal.SIGTERM)
    copy = where / 'd.sparsefs/Map.new'
    assert server.wait() == 0 and (not copy.exists() or copy.read_bytes() == (where / 'd.sparsefs/Map').read_bytes())


# Rounds of requests in flight together on distinct chunks, one connection, with a flush among them.
rounds = st.lists(st.tuples(st.lists(st.tuples(st.sampled_from(['data', 'fua', 'zero', 'trim']), st.integers(0, 11),
                                               st.booleans()), unique_by=lambda op: op[1]), st.integers(0, 12)),
                  min_size=1, max_size=6)


@settings(max_examples=settings.default.max_examples // 5)  # each example serves a device
@given(device=devices, rounds=rounds, seed=st.integers(0, 1 << 32))
def test_requests_in_flight_during_a_commit_are_neither_lost_nor_mixed_up(file_system, device, rounds, seed):
    """Writes, zeroes and trims in flight while a flush commits: each round reads as the model, a kill keeps it."""
    where, (length, entries, _) = fresh_dir(file_system, 'plugin'), device
    model = make_device(where, *device[:2], seed, tail=device[2])
    server, rng, errors = serve(where), random.Random(seed), []

    def done(error):  # a command's completion: its error number is kept, and the command retired
        errors.append(error.value)
        return 1
    try:
        h = connect(where)[0]
        for ops, flush_at in rounds:
            for i, (kind, chunk, part) in enumerate([op for op in ops if op[1] < len(entries)]):
                if i == flush_at:
                    h.aio_flush(completion=done)
                at, count = chunk * length, length // 2 if part else length
                if kind in ('data', 'fua'):
                    data = rng.randbytes(count)
                    h.aio_pwrite(nbd.Buffer.from_bytearray(bytearray(data)), at, completion=done,
                                 flags=nbd.CMD_FLAG_FUA if kind == 'fua' else 0)
                else:
                    data = bytes(count)
                    (h.aio_zero if kind == 'zero' else h.aio_trim)(count, at, completion=done)
                model[at:at + count] = data
            while h.aio_in_flight():
                h.poll(-1)
            assert not any(errors) and h.pread(len(model), 0) == model
        h.flush()  # after every write has completed: it covers them all
    finally:
        stop(server, where)
    assert flat(where) == model


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


@pytest.mark.skipif(not ROOT or not os.path.exists('/dev/fuse') or not shutil.which('nbdfuse'),
                    reason='needs root, /dev/fuse and nbdfuse')
def test_a_file_system_on_a_served_device_keeps_what_was_synced_through_a_kill(tmp_path):
    assert run(tmp_path, ['create', 'sparse', str(1 << 28), 'd.sparsefs'])[0] == 0
    assert shell(f'mkdir {tmp_path}/mnt')
    files = {f'f{i}': random.Random(i).randbytes(i * 100000) for i in range(1, 6)}

    def attach():  # the device as a file (nbdfuse) on a loop device
        server = serve(tmp_path)
        fuse = attach_nbdfuse(tmp_path / 'fuse', f'nbd+unix:///?socket={tmp_path}/sock')
        return server, fuse, loop_device(tmp_path / 'fuse/nbd')

    def detach(server, fuse, loop):
        shell(f"umount -l {tmp_path}/mnt; losetup -d {loop}")
        detach_nbdfuse(fuse, tmp_path / 'fuse')
        stop(server, tmp_path)

    server, fuse, loop = attach()
    assert shell(f'mkfs.ext4 -q {loop} && mount {loop} {tmp_path}/mnt')
    for name, data in files.items():
        (tmp_path / 'mnt' / name).write_bytes(data)
    assert shell('sync') and all((tmp_path / 'mnt' / name).read_bytes() == data for name, data in files.items())
    stop(server, tmp_path)  # killed; the file system above it never unmounted cleanly
    detach(server, fuse, loop)
    server, fuse, loop = attach()
    try:
        assert shell(f'fsck.ext4 -fn {loop}') and shell(f'mount -o ro {loop} {tmp_path}/mnt')
        assert all((tmp_path / 'mnt' / name).read_bytes() == data for name, data in files.items())
        served = (tmp_path / 'fuse/nbd').read_bytes()
    finally:
        detach(server, fuse, loop)
    assert flat(tmp_path) == served
