# Every command failed at each of its writes, reservations, truncations,
# flushes and creations in turn (and again where the file system can neither
# reserve nor copy), and stopped
# by a crash at every point its record allows: a source never changes, a
# device is as the table allows, and no room is held past a file's end.
# strace fails the calls and records them.
import errno
import os
import random
import re
import shutil
from pathlib import Path

import pytest

from conftest import hidden_space, linux_only, make_file, run

pytestmark = linux_only
# Files, command, sources that must never change, the device, and what it may
# be after a failure: its old or new self, new or refused (a new sparse
# device), new or empty (a new flat one; after a crash also partly written),
# or anything (a replaced destination, whose old self the command gave up).
SCENARIOS = {
    'create flat': ({'sub/other': '"x"'}, 'create flat 3145728 sub/a.fs', [], 'sub/a.fs', 'new or empty'),
    'create sparse': ({}, 'create sparse 200000 s.sparsefs', [], 's.sparsefs', 'new or refused'),
    'extend flat': ({'a.fs': "1000*'d'"}, 'extend 1048576 a.fs', [], 'a.fs', 'old or new'),
    'extend sparse': ({'s.sparsefs/Map': 'hdr(65536,2,1) le(-,0) "junk"', 's.sparsefs/Store': "64K*'s'"},
                      'extend 400000 s.sparsefs', ['s.sparsefs/Store'], 's.sparsefs', 'old or new'),
    'flat-to-sparse': ({'a.fs': "64K*'a' 64K*0 3C*hole rand(20C,1) 64K*0 rand(5C+100,2)"},
                       'flat-to-sparse a.fs s.sparsefs', ['a.fs'], 's.sparsefs', 'new or refused'),
    'sparse-to-flat': ({'s.sparsefs/Map': 'hdr(65536,64,12) le(-,0,1,2,3,4,5,6,7,8,9,-,11,10) 200*255',
                        's.sparsefs/Store': 'rand(12C,3)', 'b.fs': '"old"'},
                       'sparse-to-flat s.sparsefs b.fs', ['s.sparsefs/Map', 's.sparsefs/Store'], 'b.fs', 'anything'),
}
ONE_FAILURE = re.compile(rb"(Cannot write to file|Cannot set end of file|Cannot create( directory)? '[^']*'): (28|5)\n")


class Scenario:
    def __init__(self, name, where):
        self.files, args, self.sources, self.device, self.after_failure = SCENARIOS[name]
        self.args, self.where = args.split(), where
        self.fill('base')
        shutil.copytree(where / 'base', where / 'done')
        assert run(where / 'done', self.args)[0] == 0
        self.old, self.new = self.view('base'), self.view('done')

    def fill(self, top):
        shutil.rmtree(self.where / top, ignore_errors=True)
        (self.where / top).mkdir()
        for path, what in self.files.items():
            make_file(self.where / top / path, what)

    def view(self, top):
        """The device as a reader sees it: its bytes, or why it cannot be read."""
        device, view = self.where / top / self.device, self.where / 'view.fs'
        if not device.exists() or self.device.endswith('.fs'):
            return device.read_bytes() if device.exists() else 'none'
        view.unlink(missing_ok=True)
        status, _, err = run(self.where / top, ['sparse-to-flat', self.device, view], env={'QUILLON_NO_FLUSH': '1'})
        return view.read_bytes() if status == 0 else 'verified without a Store' if b"/Store'" in err else 'refused'

    def check(self, top, crashed=False):
        for source in self.sources:
            assert (self.where / top / source).read_bytes() == (self.where / 'base' / source).read_bytes(), source
        allowed = {'old or new': (self.old, self.new), 'new or refused': (self.new, 'refused', 'none'),
                   'new or empty': None if crashed else (self.new, b'', 'none')}.get(self.after_failure)
        assert allowed is None or self.view(top) in allowed


@pytest.fixture(params=SCENARIOS)
def scenario(request, where):
    return Scenario(request.param, where)


def test_each_fault_fails_cleanly(scenario):
    made = [scenario.device] + [f'{scenario.device}/{name}' for name in ('Map', 'Store') if '.sparsefs' in scenario.device]
    made = [] if scenario.after_failure == 'old or new' else [  # a creation fails only for what is made
        option for path in made for option in ('-P', str(scenario.where / 'run' / path))]
    faults = [(call, 'ENOSPC', []) for call in ('pwrite64', 'copy_file_range', 'fallocate', 'ftruncate')]
    faults += [('fdatasync', 'EIO', []), ('fsync', 'EIO', [])] + [(call, 'ENOSPC', made) for call in ('openat', 'mkdir')]
    failures = 0
    # Then again on a file system that can neither reserve nor copy by itself.
    for unable in ([], ['-e', 'inject=fallocate:error=EOPNOTSUPP', '-e', 'inject=copy_file_range:error=EXDEV']):
        for call, error, paths in faults:
            for n in range(1, 100 if paths or call not in ('openat', 'mkdir') else 1):
                if unable and call == 'copy_file_range':
                    break
                scenario.fill('run')
                trace = paths + ['-e', f'trace={call},fallocate,copy_file_range', '-e',
                                 f'inject={call}:error={error}:when={n}']
                status, _, err = run(scenario.where / 'run', scenario.args, trace=trace + unable)
                if status == 0:
                    assert scenario.view('run') == scenario.new
                    break
                failures += 1
                assert status == 1 and ONE_FAILURE.fullmatch(err), (call, n, err)
                scenario.check('run')
                assert hidden_space(scenario.where / 'run') < 256 << 10, (call, n)
    assert failures > 0


def record(where, args):
    """The changes and flushes of a run, in order: (kind, path, offset or length, bytes)."""
    trace = ['-o', f'{where}.record', '-y', '-xx', '-s', '100000000', '-e',
             'trace=openat,mkdir,pwrite64,ftruncate,fallocate,fdatasync,fsync,copy_file_range']
    assert run(where, args, trace=trace)[0] == 0
    top, ops = os.path.realpath(where), []
    unhex = lambda text: bytes.fromhex((text or '').replace('\\x', '')).decode('latin-1')
    # With -xx every string and path is \x escapes, so a line splits plainly.
    call = re.compile(r'^(?:\d+ +)?(\w+)\((?:\d+<([^>]*)>|"([^"]*)")?(.*)\) += (\d+)(?:<([^>]*)>)?$', re.M)
    for name, fd_path, named, rest, result, opened in call.findall(Path(f'{where}.record').read_text()):
        path, numbers = unhex(fd_path or named), [int(n) for n in re.findall(r'(?<![\w\\])\d+', rest.split('"')[-1])]
        if name == 'openat' and 'O_CREAT' in rest or name == 'mkdir':
            ops.append(('C' if name == 'openat' else 'D', unhex(opened) or os.path.join(top, path), 0, b''))
        elif name == 'pwrite64':
            ops.append(('W', path, numbers[-1], bytes.fromhex(rest.split('"')[1].replace('\\x', ''))))
        elif name == 'copy_file_range':  # from a source, which never changes
            (at, destination, to) = re.search(r'\[(\d+)\], \d+<([^>]*)>, \[(\d+)\]', rest).groups()
            ops.append(('W', unhex(destination), int(to), Path(path).read_bytes()[int(at):int(at) + int(result)]))
        elif name == 'ftruncate' or name == 'fallocate' and 'KEEP_SIZE' not in rest:
            ops.append(('T' if name == 'ftruncate' else 'G', path, numbers[0] if name == 'ftruncate' else sum(numbers[-2:]), b''))
        elif name in ('fdatasync', 'fsync'):
            ops.append(('F', path, 0, b''))
    return [(kind, os.path.relpath(path, top), n, data) for kind, path, n, data in ops]


def apply(top, kind, path, n, data):
    full = top / path
    if kind in 'CD':
        full.touch() if kind == 'C' else full.mkdir()
    elif kind in 'TG':
        os.truncate(full, n if kind == 'T' else max(full.stat().st_size, n))
    elif kind == 'W':
        with open(full, 'r+b') as out:
            out.seek(n)
            out.write(data)


def test_every_crash_state_is_old_or_new(scenario):
    """A crash keeps each prefix of the record, less any writes that no flush
    of their file has covered yet; done means every change was flushed."""
    scenario.fill('run')
    ops, flushed_by = record(scenario.where / 'run', scenario.args), []
    for i, (kind, path, _, _) in enumerate(ops):
        flushes = os.path.dirname(path) or '.' if kind in 'CD' else path
        later = [j for j in range(i + 1, len(ops)) if ops[j][:2] == ('F', flushes)]
        assert kind == 'F' or later, f'{kind} {path} never flushed'
        flushed_by.append(later[0] if later else len(ops))
    chance, states = random.Random(1), 0
    for end in range(len(ops) + 1):
        unflushed = [i for i in range(end) if ops[i][0] == 'W' and flushed_by[i] >= end]
        for s in range(min(1 << len(unflushed), 64)):
            kept = s if len(unflushed) <= 6 else chance.getrandbits(len(unflushed))
            lost = {i for bit, i in enumerate(unflushed) if not (kept >> bit) & 1}
            shutil.rmtree(scenario.where / 'state', ignore_errors=True)
            shutil.copytree(scenario.where / 'base', scenario.where / 'state')
            for i in sorted(set(range(end)) - lost):
                apply(scenario.where / 'state', *ops[i])
            scenario.check('state', crashed=True)
            states += 1
    assert states > len(ops)


@pytest.mark.parametrize('error', ['EROFS', 'EIO', 'ENOSPC', 'EDQUOT', 'EINVAL'])
@pytest.mark.parametrize('call', ['fdatasync', 'fsync'])
def test_a_failed_flush_is_a_failure(where, call, error):
    """Only "this file has no flush" passes; a journal that aborted says EROFS."""
    status, _, err = run(where, ['create', 'flat', '1024', 'a.fs'], trace=['-e', f'inject={call}:error={error}'])
    assert (status, err) == ((0, b'') if error == 'EINVAL' else (1, f'Cannot write to file: {getattr(errno, error)}\n'.encode()))
