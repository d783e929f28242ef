# What a row cannot say: the terminal, streams closed or broken, signals, shared blocks and other processes
# that hold or cut our files (each on every file system), full file systems and disks.
import os, pty, signal, subprocess
from pathlib import Path

import pytest

from conftest import (BINARY, content, hidden_space, in_turn, linux_only, loop_device, make_file, mount, read_terminal,
                      run, root_only, screen_text, shell, start_stopped)

pytestmark = linux_only


def test_a_terminal_shows_a_live_percentage_that_leaves_no_trace(where):
    make_file(where / 'a.fs', 'rand(40C,5)')
    make_file(where / 's.sparsefs/Map', 'hdr(1,262145,1) 1M*255 le(0)')  # two blocks of entries
    make_file(where / 's.sparsefs/Store', '"s"')
    for args, read, path, n, phase in [('flat-to-sparse a.fs a.sparsefs', 'preadv2', 'a.fs', 3, 'Populating store...'),
                                       ('sparse-to-flat s.sparsefs b.fs', 'pread64', 's.sparsefs/Map', 5,
                                        'Populating flat block device...')]:
        reader, writer = pty.openpty()
        resume = start_stopped(where, args.split(), read, n, path, stdout=writer)
        early = read_terminal(reader, wait=0.3)
        assert screen_text(early).endswith(tuple(f'{phase} {p}%' for p in range(1, 100)))
        resume()
        os.close(writer)
        assert screen_text(early + read_terminal(reader)).endswith(f'\n{phase}\nCleaning up...\n')
    # An interruption erases the percentage too (shown here after the first of two slices of zeros).
    reader, writer = pty.openpty()
    trace = ['-e', 'trace=fallocate', '-e', 'inject=fallocate:signal=SIGINT:when=2']
    run(where, ['create', 'flat', '268435457', 'c.fs'], trace=trace, stdout=writer, background=True).wait()
    os.close(writer)
    shown = read_terminal(reader)
    assert b'%' in shown and screen_text(shown) == 'Creating flat block device of 268435457 bytes'


@pytest.mark.parametrize('closed', [0, 1, 2, 'pipe'])
def test_closed_or_broken_standard_streams_change_nothing(tmp_path, closed):
    # As root, also where there is no /dev: a closed stream must not wait for a null device to stand in for it.
    nodev = ['unshare', '-m', 'sh', '-c', 'mount -t tmpfs none /dev && exec "$0" "$@"'] if os.geteuid() == 0 else []
    commands = ('create flat 4096 c.fs, extend 8192 a.fs, extend 100 a.fs, extend 20000000000000000 a.fs, create sparse 1 '
                's.sparsefs, extend 1048576 s.sparsefs, flat-to-sparse a.fs t.sparsefs, sparse-to-flat t.sparsefs b.fs').split(', ')
    outcomes = {}
    for case in (None, closed):
        where = tmp_path / str(case)
        make_file(where / 'a.fs', 'rand(4096,1)')
        stdout = subprocess.PIPE
        if case == 'pipe':  # nobody reads it
            reader, stdout = os.pipe()
            os.close(reader)
        wrap = nodev + (['sh', '-c', f'exec "$0" "$@" {case}>&-'] if isinstance(case, int) else [])
        statuses = [run(where, args.split(), stdout=stdout, wrap=wrap)[0] for args in commands]
        outcomes[case] = statuses, {p.name: p.read_bytes() for p in where.rglob('*') if p.is_file()}
    assert outcomes[None][0] == [0, 0, 0, 1, 0, 0, 0, 0] and outcomes[closed] == outcomes[None]


def test_another_process_meets_our_files_locked_and_cannot_cut_them_unseen(where):
    # Another run is refused what the first holds while it is stopped; the first then finishes with nothing lost.
    make_file(where / 'a.fs', "512*'d'")
    resume = start_stopped(where, ['flat-to-sparse', 'a.fs', 'b.sparsefs'], 'preadv2', 1, 'a.fs')
    for args, err in [('extend 4096 a.fs', "Cannot open 'a.fs'"), ('create flat 0 a.fs', "Cannot create 'a.fs'"),
                      ('extend 1 b.sparsefs', "Cannot open 'b.sparsefs/Map'")]:
        assert run(where, args.split())[2] == f'{err}: 11\n'.encode()
    assert resume()[0] == 0 and (where / 'b.sparsefs/Store').read_bytes() == b'd' * 512 + bytes(65024)
    # A source cut short after its first read, in data still to read or in holes never read, is a short read.
    for source, cut in [('rand(40C,3)', 20 << 16), ('rand(2C,1) 100C*hole rand(1C,2)', 50 << 16)]:
        make_file(where / 'a.fs', source)
        resume = start_stopped(where, ['flat-to-sparse', 'a.fs', f'{cut}.sparsefs'], 'preadv2', 1, 'a.fs')
        os.truncate(where / 'a.fs', cut)
        assert resume()[2] == b'Short read from file\n'


@pytest.mark.parametrize('args', ['sparse-to-flat s.sparsefs o.fs', 'create flat 30000000 o.fs'])
def test_what_a_destination_held_is_given_back(where, args):
    """Room reserved past the end, by an earlier interrupted run or anyone, goes when the file is replaced; an
    interruption while room is reserved gives it back; a hangup ignored, as nohup leaves it, stays ignored."""
    make_file(where / 's.sparsefs/Map', 'hdr(65536,500,1) le(0) 1996*255')
    make_file(where / 's.sparsefs/Store', "64K*'s'")
    make_file(where / 'o.fs', '')
    # Where room cannot be reserved past the end, none can be reserved at all (ext2): nothing is held there.
    assert shell(f"fallocate --keep-size -l 50M '{where}/o.fs'") or not shell(f"fallocate -l 4096 '{where}/probe'")
    assert run(where, args.split())[0] == 0 and hidden_space(where) == 0
    process = run(where, args.split(), trace=['-e', 'inject=fallocate:signal=SIGINT'], background=True)
    assert process.wait() == -signal.SIGINT and hidden_space(where) == 0
    assert run(where, args.split(), trace=['-e', 'inject=fallocate:signal=SIGHUP'], wrap=['nohup'])[0] == 0
    # Room is asked for once: asked again for what it holds, XFS counts it twice.
    assert run(where, args.split(), trace=['-o', '/dev/stderr', '-e', 'trace=fallocate'])[2].count(b'fallocate(') == 1


def test_long_runs_share_their_blocks_where_the_file_system_can(where):
    make_file(where / 'a.fs', 'rand(12C,1) 64K*0 rand(24C,2)')  # runs of 768 KiB and over four blocks read
    if not shell(f"cd '{where}' && cp --reflink=always a.fs b.fs"):
        pytest.skip('this file system cannot share blocks')
    for args, made in [('flat-to-sparse a.fs a.sparsefs', 'a.sparsefs/Store'), ('sparse-to-flat a.sparsefs c.fs', 'c.fs')]:
        assert run(where, args.split())[0] == 0
        extents = subprocess.run(['filefrag', '-v', where / made], capture_output=True, text=True).stdout.split('\n')[3:-2]
        assert extents and all('shared' in extent or 'unwritten' in extent for extent in extents), made


@root_only
@pytest.mark.parametrize('kind, size', [('ext4', '64M'), ('ext2', '64M'), ('tmpfs', '64M'), ('btrfs', '128M'),
                                        ('xfs', '300M')])
def test_a_full_file_system_gets_back_all_that_failed_runs_reserved(tmp_path, kind, size):
    mnt = mount(kind, tmp_path, size)
    try:
        for path, what in [('small.fs', 'rand(4096,1)'), ('big.sparsefs/Map', 'hdr(65536,8192,0) 32K*255'), ('big.sparsefs/Store', '')]:
            make_file(mnt / path, what)
        for args, err in [('create flat 1073741824 a.fs', 'Cannot write to file'), ('sparse-to-flat big.sparsefs b.fs',
                          'Cannot write to file'), ('extend 1073741824 small.fs', 'Cannot set end of file')]:
            if kind != 'ext2' or args[0] != 'e':  # ext2 reserves nothing: the length is set, as a hole
                assert run(mnt, args.split())[2] == f'{err}: 28\n'.encode() and hidden_space(mnt) == 0, args
        assert (mnt / 'a.fs').stat().st_size == 0 and (mnt / 'small.fs').read_bytes() == content('rand(4096,1)')
    finally:
        shell(f'umount -l {mnt}')


@root_only
def test_disks_are_read_at_their_size_and_written_in_place(tmp_path):
    image, loops = '64K*0 rand(1C,1) rand(2C,2) 124C*0', []
    try:
        for name, held in [('source', image), ('target', "136C*'g'"), ('small', "64C*'g'")]:
            make_file(tmp_path / f'{name}.img', held)
            loops.append(loop_device(tmp_path / f'{name}.img'))
            (tmp_path / f'{name}.fs').symlink_to(loops[-1])
        assert run(tmp_path, ['flat-to-sparse', 'source.fs', 'a.sparsefs'])[1].startswith(b'Flat block device is 8388608')
        assert (tmp_path / 'a.sparsefs/Map').read_bytes() == content('hdr(65536,128,3) le(-,0,1,2) 496*255')
        # Absent chunks overwrite what the disk held, what lies past the device stays; a disk too small is refused.
        assert [run(tmp_path, ['sparse-to-flat', 'a.sparsefs', f'{name}.fs'])[2] for name in ('target', 'small')] == [
            b'', b'Cannot write to file: 28\n']
        assert (tmp_path / 'target.fs').read_bytes() + (tmp_path / 'small.fs').read_bytes() == content(
            image + " 8C*'g' 64C*'g'")
    finally:
        shell(f"losetup -d {' '.join(loops)}")


def test_memory_exhaustion_ends_in_its_one_line(where):
    """Under each address-space limit from where the tool starts up to success: "Cannot allocate memory" alone."""
    if b'__asan_init' in Path(BINARY).read_bytes():
        pytest.skip('the sanitizers need more address space than these limits')
    for path, what in [('a.fs', 'rand(2C,1) 3C*hole'), ('s.sparsefs/Map', 'hdr(65536,6,1) le(-,0,-,-,-,-)'), (
            's.sparsefs/Store', "64K*'s'")]:
        make_file(where / path, what)
    limited = lambda kib, args: run(where, args.split(), wrap=['prlimit', f'--as={kib << 10}'])
    low, high = 1024, 65536  # the lowest limit at which the tool starts (the loader fails with 127)
    while high - low > 4:
        low, high = (low, (low + high) // 2) if limited((low + high) // 2, '')[0] != 127 else ((low + high) // 2, high)
    for args in ('create flat 1000000 c.fs', 'create sparse 1000000 n.sparsefs', 'flat-to-sparse a.fs t.sparsefs',
                 'sparse-to-flat s.sparsefs b.fs', 'extend 1000000 s.sparsefs', 'extend 1000000 a.fs'):
        for kib in in_turn(range(high, high + 8192, 8)):
            shell(f"cd '{where}' && rm -rf c.fs n.sparsefs t.sparsefs b.fs")
            status, _, err = limited(kib, args)
            assert (status == 0 or (status, err) == (1, b'Cannot allocate memory\n')) and hidden_space(where) == 0, (
                args, kib, status, err)
            if status == 0:
                break
        assert status == 0, args
