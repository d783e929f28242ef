# How a server serves on a failing disk. (Full disks, and what a failed call leaves, are tests/nbdplugin's.)
import os, shutil

import pytest

from conftest import (ABSENT, PLUGIN, attach_nbdfuse, connect, detach_nbdfuse, errno_of, flat, linux_only, make_device,
                      root_only, serve, shell, stop)

nbd = pytest.importorskip('nbd')
pytestmark = [linux_only, pytest.mark.skipif(not PLUGIN, reason='the plugin is not built (no nbdkit-plugin.h)')]


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
