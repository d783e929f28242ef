# Every command failed at each of its writes, reservations, truncations,
# flushes and creations in turn (with reservations and without), and stopped
# by a crash at every point its record allows: a source never changes, a
# device that existed is its old or new self, a new sparse device is complete
# or refused, and no room is held past a file's end. strace fails the calls
# and records them.
import errno
import os
import random
import re
import shutil
from pathlib import Path

import pytest

from conftest import hidden_space, linux_only, make_file, run

# Files, command, sources that must never change, the device, and what it
# may be after a failure: its old or new self, new or refused (a new sparse
# device), new or empty (a new flat one; after a crash, partly written too),
# or partly written (a replaced destination, whose old self it gave up).
SCENARIOS = {
    'create flat': ({'sub/other': '"x"'}, 'create flat 3145728 sub/a.fs', [], 'sub/a.fs', 'new or empty'),
    'create sparse': ({}, 'create sparse 200000 s.sparsefs', [], 's.sparsefs', 'new or refused'),
    'extend flat': ({'a.fs': "1000*'d'"}, 'extend 1048576 a.fs', [], 'a.fs', 'old or new'),
    'extend sparse': ({'s.sparsefs/Map': 'hdr(65536,2,1) le(-,0) "junk"', 's.sparsefs/Store': "64K*'s'"},
                      'extend 400000 s.sparsefs', ['s.sparsefs/Store'], 's.sparsefs', 'old or new'),
    'flat-to-sparse': ({'a.fs': "64K*'a' 64K*0 3C*hole rand(20C,1) 64K*0 rand(5C+100,2)"},
                       'flat-to-sparse a.fs s.sparsefs', ['a.fs'], 's.sparsefs', 'new or refused'),
    'sparse-to-flat': ({'s.sparsefs/Map': 'hdr(65536,64,6) le(-,0,1,-,3,2,-,4,5) 220*255',
                        's.sparsefs/Store': 'rand(6C,3)', 'b.fs': '"old"'},
                       'sparse-to-flat s.sparsefs b.fs', ['s.sparsefs/Map', 's.sparsefs/Store'], 'b.fs', 'partly written'),
}
ONE_FAILURE = re.compile(rb"(Cannot write to file|Cannot set end of file|Cannot create( directory)? '[^']*'): (28|5)\n")
RECORDED = 'openat,mkdir,pwrite64,ftruncate,fallocate,fdatasync,fsync,copy_file_range'


class Scenario:
    def __init__(self, name, where):
        self.files, args, self.sources, self.device, self.after_failure = SCENARIOS[name]
        self.args, self.where = args.split(), where
        self.fill(where / 'base')
        shutil.copytree(where / 'base', where / 'done')
        assert run(where / 'done', self.args)[0] == 0
        self.old, self.new = self.view('base'), self.view('done')

    def fill(self, top):
        top.mkdir()
        for path, what in self.files.items():
            make_file(top / path, what)

    def view(self, top):
        """The device as a reader sees it: its bytes, or why it cannot be read."""
        device = self.where / top / self.device
        if not device.exists():
            return 'none'
        if self.device.endswith('.fs'):
            return device.read_bytes()
        (self.where / 'view.fs').unlink(missing_ok=True)
        status, _, err = run(self.where / top, ['sparse-to-flat', self.device, str(self.where / 'view.fs')],
                             env={'QUILLON_NO_FLUSH': '1'})
        return (self.where / 'view.fs').read_bytes() if status == 0 else b'verified without a Store' \
            if b"/Store'" in err else 'refused'

    def check(self, top, crashed=False):
        for source in self.sources:
            assert (self.where / top / source).read_bytes() == (self.where / 'base' / source).read_bytes(), source
        allowed = {'old or new': (self.old, self.new), 'new or refused': (self.new, 'refused', 'none'),
                   'new or empty': None if crashed else (self.new, b'', 'none')}.get(self.after_failure)
        assert allowed is None or self.view(top) in allowed


@pytest.fixture(params=SCENARIOS)
def scenario(request, where):
    return Scenario(request.param, where)


def created_paths(scenario, top):
    """strace options that keep a fault to the files the command makes."""
    paths = [scenario.device] + ([f'{scenario.device}/Map', f'{scenario.device}/Store']
                                 if scenario.device.endswith('.sparsefs') else [])
    return [] if scenario.after_failure == 'old or new' else [option for path in paths for option in ('-P', str(top / path))]


@linux_only
def test_each_fault_fails_cleanly(scenario):
    faults = [(call, 'ENOSPC') for call in ('pwrite64', 'fallocate', 'ftruncate', 'openat', 'mkdir')]
    faults += [(call, 'EIO') for call in ('fdatasync', 'fsync')]
    failures = 0
    for reserve in ([], ['-e', 'inject=fallocate:error=EOPNOTSUPP']):
        for call, error in faults:
            paths = created_paths(scenario, scenario.where / 'run') if call in ('openat', 'mkdir') else []
            if call in ('openat', 'mkdir') and not paths:
                continue
            for n in range(1, 100):
                shutil.rmtree(scenario.where / 'run', ignore_errors=True)
                scenario.fill(scenario.where / 'run')
                trace = paths + ['-e', f'trace={call},fallocate', '-e', f'inject={call}:error={error}:when={n}']
                status, _, err = run(scenario.where / 'run', scenario.args, trace=trace + reserve)
                if status == 0:
                    assert scenario.view('run') == scenario.new
                    break
                failures += 1
                assert status == 1 and ONE_FAILURE.fullmatch(err), (call, n, err)
                scenario.check('run')
                assert hidden_space(scenario.where / 'run') < 256 << 10, (call, n)
    assert failures > 0


def unhex(text):
    return bytes.fromhex(text.replace('\\x', '')).decode('latin-1')


def record(where, args, trace_file):
    """The changes and flushes of a run, in order: (kind, a, b, path, data)."""
    trace = ['-o', str(trace_file), '-y', '-xx', '-s', '100000000', '-e', f'trace={RECORDED}']
    status, _, err = run(where, args, trace=trace)
    assert status == 0, err
    top, ops = Path(os.path.realpath(where)), []
    # With -xx every string and path is \\x escapes, so the line splits plainly.
    call_line = re.compile(r'^(?:\d+ +)?(\w+)\((?:\d+<([^>]*)>|"([^"]*)")?(.*)\) += (\d+)(?:<([^>]*)>)?$')
    for m in filter(None, map(call_line.match, trace_file.read_text().split('\n'))):
        call, rest = m[1], m[4]
        path, data = unhex(m[2] or m[3] or ''), unhex(m[6] or '')
        numbers = [int(n) for n in re.findall(r'(?<![\w\\])\d+', rest.rsplit('"', 1)[-1])]
        if call == 'openat' and 'O_CREAT' in rest:
            ops.append(('C', 0, 0, data, b''))
        elif call == 'mkdir':
            ops.append(('D', 0, 0, os.path.join(top, path), b''))
        elif call == 'pwrite64':
            written = bytes.fromhex(rest.split('"')[1].replace('\\x', ''))
            ops.append(('W', numbers[-1], len(written), path, written))
        elif call == 'copy_file_range':  # from a source, which never changes
            (source, at), (destination, to) = re.findall(r'<([^>]*)>, \[(\d+)\]', '<' + m[2] + '>' + rest)
            copied = (top / os.path.relpath(unhex(source), top)).read_bytes()[int(at):int(at) + int(m[5])]
            ops.append(('W', int(to), len(copied), unhex(destination), copied))
        elif call == 'ftruncate':
            ops.append(('T', numbers[0], 0, path, b''))
        elif call == 'fallocate' and 'KEEP_SIZE' not in rest:
            ops.append(('G', 0, numbers[-2] + numbers[-1], path, b''))
        elif call in ('fdatasync', 'fsync'):
            ops.append(('F', 0, 0, path, b''))
    return [(k, a, b, os.path.relpath(p, top) if p != str(top) else '', d) for k, a, b, p, d in ops]


def apply(top, op):
    kind, a, b, path, data = op
    full = top / path
    if kind == 'D':
        full.mkdir()
    elif kind == 'C':
        full.touch()
    elif kind == 'T':
        os.truncate(full, a)
    elif kind == 'G':
        os.truncate(full, max(full.stat().st_size, b))
    elif kind == 'W':
        with open(full, 'r+b') as out:
            out.seek(a)
            out.write(data)


@linux_only
def test_every_crash_state_is_old_or_new(scenario):
    """A crash keeps each prefix of the record, less any writes that no flush
    of their file has covered yet; done means every change was flushed."""
    scenario.fill(scenario.where / 'run')
    ops = record(scenario.where / 'run', scenario.args, scenario.where / 'record')
    flushed_by = []
    for i, (kind, _, _, path, _) in enumerate(ops):
        flushes = os.path.dirname(path) if kind in 'CD' else path
        later = [j for j in range(i + 1, len(ops)) if ops[j][0] == 'F' and ops[j][3] == flushes]
        assert kind == 'F' or later, f'{kind} {path} never flushed'
        flushed_by.append(later[0] if later else len(ops))
    chance = random.Random(1)
    states = 0
    for end in range(len(ops) + 1):
        unflushed = [i for i in range(end) if ops[i][0] == 'W' and flushed_by[i] >= end]
        for s in range(min(1 << len(unflushed), 64)):
            kept = s if len(unflushed) <= 6 else chance.getrandbits(len(unflushed))
            state = scenario.where / 'state'
            shutil.rmtree(state, ignore_errors=True)
            shutil.copytree(scenario.where / 'base', state)
            lost = {i for bit, i in enumerate(unflushed) if not (kept >> bit) & 1}
            for i in range(end):
                if i not in lost:
                    apply(state, ops[i])
            scenario.check('state', crashed=True)
            states += 1
    assert states > len(ops)


@linux_only
@pytest.mark.parametrize('error', ['EROFS', 'EIO', 'ENOSPC', 'EDQUOT', 'EINVAL'])
@pytest.mark.parametrize('call', ['fdatasync', 'fsync'])
def test_a_failed_flush_is_a_failure(where, call, error):
    """Only "this file has no flush" passes; a journal that aborted says EROFS."""
    status, _, err = run(where, ['create', 'flat', '1024', 'a.fs'], trace=['-e', f'inject={call}:error={error}'])
    if error == 'EINVAL':
        assert (status, err) == (0, b'')
    else:
        assert (status, err) == (1, f'Cannot write to file: {getattr(errno, error)}\n'.encode())
