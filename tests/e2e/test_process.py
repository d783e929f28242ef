# What a row cannot say: round trips, the terminal, standard streams that are
# closed or broken, signals at awkward instants, links, and other processes
# that hold or cut our files. Each runs on every file system.
import os
import pty
import signal
import subprocess

import pytest

from conftest import (BINARY, ROOT, content, hidden_space, linux_only, make_file, read_terminal, resume, run,
                      screen_text, shell, start_stopped)

pytestmark = linux_only


def test_round_trip_gives_the_source_then_zeros(where):
    # Several reads, holes, zero chunks, a chunk with only its last byte set.
    source = 'rand(3C,1) 64K*0 5C*hole 64K-1*0 "\\x01" rand(40C+12345,2)'
    make_file(where / 'a.fs', source)
    assert run(where, ['flat-to-sparse', 'a.fs', 'a.sparsefs'])[0] == run(where, ['sparse-to-flat', 'a.sparsefs',
                                                                                   'b.fs'])[0] == 0
    assert (where / 'b.fs').read_bytes() == content(source) + bytes(-len(content(source)) % 65536)


def test_a_terminal_shows_a_live_percentage_that_leaves_no_trace(where):
    make_file(where / 'a.fs', 'rand(40C,5)')
    reader, writer = pty.openpty()
    tracer, pid = start_stopped(where, ['flat-to-sparse', 'a.fs', 'a.sparsefs'], 'pread64', 3, 'a.fs', stdout=writer)
    early = read_terminal(reader, wait=0.3)
    assert screen_text(early).endswith(tuple(f'store... {p}%' for p in range(1, 100)))
    resume(tracer, pid)
    os.close(writer)
    assert screen_text(early + read_terminal(reader)) == (
        'Flat block device is 2621440 bytes\nCreating sparse block device of 2621440 bytes\nChunk length = 65536\n'
        'Chunk count = 40\nCreating map...\nCreating store...\nPopulating store...\nCleaning up...\n')
    # An interruption erases the percentage too; a failure ends the line first.
    for args, call, shown in [('sparse-to-flat a.sparsefs b.fs', 'copy_file_range', 'Verifying map...\nCreating '
                               'flat block device of 2621440 bytes\nCreating flat block device...\nPopulating flat '
                               'block device...'), ('create flat -1 c.fs', None, 'Creating flat block device of '
                               '18446744073709551615 bytes\nBlock device size 18446744073709551615 is too large\n')]:
        reader, writer = pty.openpty()
        trace = ['-e', f'trace={call}', '-e', f'inject={call}:signal=SIGINT'] if call else None
        run(where, args.split(), trace=trace, stdout=writer, combined=True, background=True).wait()
        os.close(writer)
        assert screen_text(read_terminal(reader)) == shown


@pytest.mark.parametrize('closed', [0, 1, 2, 'pipe'])
def test_closed_or_broken_standard_streams_change_nothing(tmp_path, closed):
    commands = ['create flat 4096 c.fs', 'extend 8192 a.fs', 'extend 100 a.fs', 'extend 20000000000000000 a.fs',
                'create sparse 1 s.sparsefs', 'extend 1048576 s.sparsefs', 'flat-to-sparse a.fs t.sparsefs',
                'sparse-to-flat t.sparsefs b.fs']
    outcomes = {}
    for case in (None, closed):
        where = tmp_path / str(case)
        make_file(where / 'a.fs', 'rand(4096,1)')
        stdout = subprocess.PIPE
        if case == 'pipe':  # nobody reads it
            reader, stdout = os.pipe()
            os.close(reader)
        statuses = [run(where, args.split(), closed=case if isinstance(case, int) else None, stdout=stdout)[0]
                    for args in commands]
        outcomes[case] = statuses, {p.name: p.read_bytes() for p in where.rglob('*') if p.is_file()}
    assert outcomes[None][0] == [0, 0, 0, 1, 0, 0, 0, 0] and outcomes[closed] == outcomes[None]


@pytest.mark.skipif(not ROOT, reason='needs root to mount an empty /dev')
def test_with_no_null_device_a_closed_stream_never_lands_in_a_device(where):
    # A failing run flushes its progress lines while the Map is still open.
    make_file(where / 's.sparsefs/Map', 'hdr(65536,1,0) le(-)')
    script = f"mount -t tmpfs none /dev && cd '{where}' && exec {BINARY} extend 70368744177664 s.sparsefs >&-"
    assert subprocess.run(['unshare', '-m', 'sh', '-c', script], stderr=subprocess.DEVNULL).returncode == 1
    assert (where / 's.sparsefs/Map').read_bytes() == content('hdr(65536,1,0) le(-)')


def test_another_process_meets_our_files_locked_and_cannot_cut_them_unseen(where):
    # A second quillon is refused the files the first holds while it is
    # stopped at its first read; the first then finishes with nothing lost.
    make_file(where / 'a.fs', "512*'d'")
    tracer, pid = start_stopped(where, ['flat-to-sparse', 'a.fs', 'b.sparsefs'], 'pread64', 1, 'a.fs')
    for args, err in [('extend 4096 a.fs', "Cannot open 'a.fs'"), ('create flat 0 a.fs', "Cannot create 'a.fs'"),
                      ('extend 1 b.sparsefs', "Cannot open 'b.sparsefs/Map'")]:
        assert run(where, args.split())[2] == f'{err}: 11\n'.encode()
    assert resume(tracer, pid) and tracer.returncode == 0
    assert run(where, ['sparse-to-flat', 'b.sparsefs', 'c.fs'])[0] == 0
    assert (where / 'c.fs').read_bytes() == b'd' * 512 + bytes(65024)
    # A source cut short after its first read, inside data still to be read
    # or inside holes that are never read, is a short read.
    for source, cut in [('rand(40C,3)', 20 << 16), ('rand(2C,1) 100C*hole rand(1C,2)', 50 << 16)]:
        make_file(where / 'a.fs', source)
        tracer, pid = start_stopped(where, ['flat-to-sparse', 'a.fs', f'{cut}.sparsefs'], 'pread64', 1, 'a.fs')
        os.truncate(where / 'a.fs', cut)
        assert resume(tracer, pid)[1] == b'Short read from file\n'


@pytest.mark.parametrize('args', ['sparse-to-flat s.sparsefs o.fs', 'create flat 30000000 o.fs'])
def test_what_a_destination_held_is_given_back(where, args):
    """Room reserved past the end, by an earlier interrupted run or anyone, goes
    when the file is replaced; an interruption while room is reserved gives it back."""
    make_file(where / 's.sparsefs/Map', 'hdr(65536,500,1) le(0) 1996*255')
    make_file(where / 's.sparsefs/Store', "64K*'s'")
    make_file(where / 'o.fs', '')
    if shell(f"fallocate --keep-size -l 50M '{where}/o.fs'"):
        assert run(where, args.split())[0] == 0 and hidden_space(where) == 0
    process = run(where, args.split(), trace=['-e', 'inject=fallocate:signal=SIGINT'], background=True)
    assert process.wait() == -signal.SIGINT and hidden_space(where) == 0


@pytest.mark.parametrize('args, traced, seen', [
    # Asked again for room it already holds, XFS counts it twice and fails.
    ('sparse-to-flat s.sparsefs o.fs', 'fallocate', lambda where, err: err.count(b'fallocate(') == 1),
    # The new entry is in the directory the link leads to.
    ('create flat 1024 link.fs', 'fsync', lambda where, err: f'<{os.path.realpath(where)}/real>'.encode() in err)])
def test_the_calls_made(where, args, traced, seen):
    make_file(where / 's.sparsefs/Map', 'hdr(65536,64,1) le(0) 252*255')
    make_file(where / 's.sparsefs/Store', "64K*'s'")
    (where / 'real').mkdir()
    os.symlink('real/a.fs', where / 'link.fs')
    status, _, err = run(where, args.split(), trace=['-o', '/dev/stderr', '-y', '-e', f'trace={traced}'])
    assert status == 0 and seen(where, err)


def test_a_hangup_ignored_stays_ignored(where):
    # As nohup leaves it: the run goes on and finishes.
    trace = ['-e', 'trace=fallocate', '-e', 'inject=fallocate:signal=SIGHUP']
    assert run(where, ['create', 'flat', '1024', 'a.fs'], trace=trace, ignored=signal.SIGHUP)[0] == 0
    assert (where / 'a.fs').stat().st_size == 1024


def test_long_runs_share_their_blocks_where_the_file_system_can(where):
    make_file(where / 'a.fs', 'rand(24C,1)')  # three blocks read
    if not shell(f"cd '{where}' && cp --reflink=always a.fs b.fs"):
        pytest.skip('this file system cannot share blocks')
    for args, made in [('flat-to-sparse a.fs a.sparsefs', 'a.sparsefs/Store'), ('sparse-to-flat a.sparsefs c.fs', 'c.fs')]:
        assert run(where, args.split())[0] == 0
        extents = subprocess.run(['filefrag', '-v', where / made], capture_output=True, text=True).stdout.split('\n')[3:-2]
        assert extents and all('shared' in extent for extent in extents), made
