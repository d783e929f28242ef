# How a server serves on full and failing disks.
import os, random, re, shutil

import pytest

from conftest import (ABSENT, PLUGIN, attach_nbdfuse, connect, detach_nbdfuse, errno_of, flat, linux_only, make_device,
                      mount, root_only, serve, shell, stop)

nbd = pytest.importorskip('nbd')
pytestmark = [linux_only, pytest.mark.skipif(not PLUGIN, reason='the plugin is not built (no nbdkit-plugin.h)')]


@root_only
def test_on_a_full_disk_new_chunks_alone_fail_and_give_back_what_they_took(tmp_path):
    mnt, data, rss = mount('ext4', tmp_path, '16M'), random.Random(1).randbytes(64 << 20), []
    make_device(mnt, 1 << 16, [ABSENT] * 1024, 1)
    server, h = serve(mnt), connect(mnt)[0]
    try:
        with pytest.raises(nbd.Error, match='ENOSPC'):  # new chunks until the disk is full: slots 0, 1...
            for chunk in range(1024):
                h.pwrite(data[chunk << 16:chunk + 1 << 16], chunk << 16)
        for first, end in ((0, 50), (50, 500)):  # other new chunks fail alike, and hold no memory
            assert {errno_of(h.pwrite, b'z' * (1 << 16), chunk + 1 + n << 16) for n in range(first, end)} == {'ENOSPC'}
            rss.append(int(re.search(r'VmRSS:\s+(\d+)', open(f'/proc/{server.pid}/status').read())[1]))
        h.trim(8 << 16, chunk - 8 << 16, nbd.CMD_FLAG_FUA)  # the last 8 stored: room back now, slots once committed
        h.pwrite(b'w' * (4 << 16), chunk + 1 << 16, nbd.CMD_FLAG_FUA)
        stop(server, mnt)
        server, h, store = serve(mnt), connect(mnt)[0], os.stat(mnt / 'd.sparsefs/Store')
        assert rss[1] - rss[0] < 1024 and max(store.st_size, store.st_blocks * 512) <= chunk - 8 + 4 + 1 << 16
        expected = data[:chunk - 8 << 16] + bytes(9 << 16) + b'w' * (4 << 16) + bytes(1019 - chunk << 16)
        assert b''.join(h.pread(1 << 24, at) for at in range(0, 64 << 20, 1 << 24)) == expected
    finally:
        stop(server, mnt)
        shell(f'umount -l {mnt}')


@root_only
@pytest.mark.skipif(not shutil.which('nbdfuse') or not os.path.exists('/dev/fuse'), reason='needs nbdfuse')
def test_on_a_disk_that_fails_writes_every_flush_fails_and_the_last_flushed_bytes_stay(tmp_path):
    """Linux may drop the pages a failed flush could not write, and answer the next flush with success."""
    fuse, mnt, trigger, server = tmp_path / 'fuse', tmp_path / 'mnt', tmp_path / 'trigger', None
    mnt.mkdir()  # a disk that fails each write while the trigger exists, as a file (nbdfuse)
    disk = attach_nbdfuse(fuse, '[', 'nbdkit', '--filter=error', 'memory', '256M', 'error=EIO', 'error-pwrite-rate=100%',
                          f'error-pwrite-file={trigger}', ']')
    try:
        shell(f'mkfs.ext4 -qF {fuse}/nbd && mount -o loop {fuse}/nbd {mnt}') or pytest.skip('cannot mount it here')
        make_device(mnt, 65536, [ABSENT] * 4, 1)
        server, h = serve(mnt), connect(mnt)[0]
        h.pwrite(b'a' * 65536, 0, nbd.CMD_FLAG_FUA)
        h.pwrite(b'b' * 65536, 0)
        trigger.touch()
        assert [errno_of(h.flush), errno_of(h.flush), errno_of(h.flush), errno_of(h.pwrite, b'c', 65536),
                errno_of(h.zero, 4096, 0)] == ['EIO'] * 5 and h.pread(1, 0) == b'b'  # reads go on
        trigger.unlink()
        stop(server, mnt)
        assert server.stderr.read().decode().count('Check the disk, then restart the server') == 1  # said once
        assert shell(f'umount {mnt} && mount -o loop {fuse}/nbd {mnt}') and flat(mnt)[:65537] == b'a' * 65536 + b'\0'
    finally:
        if server:
            stop(server, mnt)
        shell(f'umount -l {mnt}')
        detach_nbdfuse(disk, fuse)
