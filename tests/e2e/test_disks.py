# Real file systems and disks, which only root can make here: on a full file
# system of each kind a failed run gives back every byte it reserved, and
# loop devices are read at their size and written in place.
import subprocess

import pytest

from conftest import content, hidden_space, make_file, mount, root_only, run, shell

pytestmark = root_only


@pytest.mark.parametrize('kind, size', [('ext4', '64M'), ('ext2', '64M'), ('tmpfs', '64M'), ('btrfs', '128M'),
                                        ('xfs', '300M')])
def test_failures_on_a_full_file_system_give_back_what_they_reserved(tmp_path, kind, size):
    mnt = mount(kind, tmp_path, size)
    try:
        for path, what in [('small.fs', 'rand(4096,1)'), ('big.sparsefs/Map', 'hdr(65536,8192,0) 32K*255'),
                           ('big.sparsefs/Store', ''), ('cut.sparsefs/Map', 'hdr(65536,400,3) le(0,1,2) 1588*255'),
                           ('cut.sparsefs/Store', 'rand(2C,2)')]:
            make_file(mnt / path, what)
        for args, err in [('create flat 1073741824 a.fs', 'Cannot write to file: 28'),
                          ('sparse-to-flat big.sparsefs b.fs', 'Cannot write to file: 28'),
                          ('extend 1073741824 small.fs', 'Cannot set end of file: 28'),
                          ('sparse-to-flat cut.sparsefs c.fs', 'Short read from file')]:
            if kind == 'ext2' and args.startswith('extend'):
                continue  # nothing to reserve: the length is set, as a hole
            assert run(mnt, args.split())[2] == f'{err}\n'.encode() and hidden_space(mnt) == 0, args
        assert (mnt / 'a.fs').stat().st_size == 0 and (mnt / 'small.fs').read_bytes() == content('rand(4096,1)')
    finally:
        shell(f'umount -l {mnt}')


def test_disks_are_read_at_their_size_and_written_in_place(tmp_path):
    disks = []
    try:
        def disk(name, expression):
            make_file(tmp_path / f'{name}.img', expression)
            loop = subprocess.run(['losetup', '-f', '--show', tmp_path / f'{name}.img'], capture_output=True)
            if loop.returncode != 0:
                pytest.skip('no loop devices here')
            disks.append(loop.stdout.decode().strip())
            (tmp_path / name).symlink_to(disks[-1])
        image = '64K*0 rand(1C,1) rand(2C,2) 124C*0'
        disk('source.fs', image)
        assert run(tmp_path, ['flat-to-sparse', 'source.fs', 'a.sparsefs'])[1].startswith(b'Flat block device is 8388608')
        assert (tmp_path / 'a.sparsefs/Map').read_bytes() == content('hdr(65536,128,3) le(-,0,1,2) 496*255')
        # Absent chunks overwrite what the disk held; what lies past the device
        # stays; a disk too small for the device is refused before it is written.
        for name, held, after, err in [('target.fs', "136C*'g'", image + " 8C*'g'", b''), ('exact.fs', "128C*'g'", image, b''),
                                       ('small.fs', "64C*'g'", "64C*'g'", b'Cannot write to file: 28\n')]:
            disk(name, held)
            assert run(tmp_path, ['sparse-to-flat', 'a.sparsefs', name])[2] == err
            assert (tmp_path / name).read_bytes() == content(after)
    finally:
        for loop in disks:
            shell(f'losetup -d {loop}')
