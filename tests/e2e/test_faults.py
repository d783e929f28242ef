# Every command failed, and killed, at each of its writes, reservations, cuts, flushes and creations in turn (strace
# injects both): a source never changes, a device is as the table allows, no room stays past a file's end.
import errno, os, re, signal

import pytest

from conftest import flat, fresh_dir, hidden_space, in_turn, linux_only, make_file, run

pytestmark = linux_only
# Files (or links), command, sources that must never change, the device, and what it may be after a failure: its old
# or new self, new or refused (a new sparse device), new or empty (a new flat one; after a crash also partly written),
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
        for top in ('base', 'done'):
            self.fill(top)
        assert run(where / 'done', self.args)[0] == 0
        self.old, self.new = self.view('base'), self.view('done')

    def fill(self, top):
        fresh_dir(self.where, top)
        for path, what in self.files.items():
            make_file(self.where / top / path, what)

    def view(self, top):
        """The device as a reader sees it: its bytes, or why it cannot be read."""
        device = self.where / top / self.device
        if not device.exists() or self.device.endswith('.fs'):
            return device.read_bytes() if device.exists() else 'none'
        held = flat(self.where, f'{top}/{self.device}')
        return held if isinstance(held, bytes) else 'verified without a Store' if "/Store'" in held else 'refused'

    def check(self, top, crashed=False):
        for source in self.sources:
            assert (self.where / top / source).read_bytes() == (self.where / 'base' / source).read_bytes(), source
        seen, new = self.view(top), self.new
        allowed = {'old or new': (self.old, new), 'new or refused': (new, 'refused', 'none')}.get(self.after_failure)
        if allowed:
            assert seen in allowed
        elif self.after_failure == 'new or empty' and not crashed:
            assert seen in (new, b'', 'none')
        else:  # a flat device being written: its old self before it is replaced, then no longer than the new one,
            # and each byte the new one's or a zero not yet written
            assert seen in (self.old, 'none') or isinstance(seen, bytes) and len(seen) <= len(new) and all(
                a == b or not any(a) or all(x in (0, y) for x, y in zip(a, b))
                for a, b in ((seen[i:i + 4096], new[i:i + 4096]) for i in range(0, len(seen), 4096)))


@pytest.fixture(params=SCENARIOS)
def scenario(request, where):
    return Scenario(request.param, where)


def test_each_fault_fails_cleanly_and_each_kill_leaves_what_a_crash_may(scenario):
    made = [] if scenario.after_failure == 'old or new' else [  # a creation fails only for what is made
        option for name in ('', '/Map', '/Store') for option in ('-P', scenario.args[-1] + name)]  # as named
    faults = [(call, 'error=ENOSPC') for call in ('pwrite64', 'copy_file_range', 'fallocate', 'ftruncate')] + [
        ('fdatasync', 'error=EIO'), ('fsync', 'error=EIO')] + [(call, 'error=ENOSPC') for call in ('openat', 'mkdirat') if made]
    kills = [(call, 'signal=SIGKILL') for call, _ in faults]
    failures = 0
    # Then the failures again on a file system that can neither reserve nor copy by itself.
    for unable, injected in ([], faults + kills), (['-e', 'inject=fallocate:error=EOPNOTSUPP', '-e',
                                                    'inject=copy_file_range:error=EXDEV'], faults):
        for call, action in injected:
            for n in in_turn(range(1, 100)) if not (unable and call == 'copy_file_range') else ():
                scenario.fill('run')
                trace = (made if call in ('openat', 'mkdirat') else []) + [
                    '-e', f'trace={call},fallocate,copy_file_range', '-e', f'inject={call}:{action}:when={n}']
                status, _, err = run(scenario.where / 'run', scenario.args, trace=trace + unable)
                if status == 0:
                    assert scenario.view('run') == scenario.new
                    break
                failures, killed = failures + 1, status == -signal.SIGKILL
                assert killed or status == 1 and ONE_FAILURE.fullmatch(err), (call, n, err)
                scenario.check('run', crashed=killed)
                assert killed or hidden_space(scenario.where / 'run') == 0, (call, n)
    assert failures > 0


def test_changes_reach_the_disk_in_order(scenario):
    """Before the change that makes a device whole every earlier one is on disk, and by the end all are, new names
    too: a crash can then leave only what a kill at that point would."""
    scenario.fill('run')
    log = scenario.where / 'record'
    trace = ['-o', str(log), '-y', '-s', '0', '-e', 'trace=openat,mkdirat,pwrite64,ftruncate,fallocate,fdatasync,fsync,'
             'copy_file_range']
    assert run(scenario.where / 'run', scenario.args, trace=trace)[0] == 0
    unflushed, before_each_change = set(), []
    for line in log.read_text().splitlines():
        call, paths = re.search(r'(\w+)\(', line)[1], re.findall(r'<([^>]*)>', line)
        if call in ('fdatasync', 'fsync'):
            unflushed.discard(paths[0])
        elif call == 'mkdirat' or 'O_CREAT' in line:  # a new name is on disk once its directory is flushed
            made = paths[-1] if call == 'openat' else paths[0] + '/' + line.split('"')[1]
            unflushed.add(os.path.dirname(made))
        elif call in ('pwrite64', 'ftruncate', 'copy_file_range') or call == 'fallocate' and 'KEEP_SIZE' not in line:
            before_each_change.append({path for path in unflushed if not os.path.isdir(path)})
            unflushed.add(paths[-1] if call == 'copy_file_range' else paths[0])
    assert not unflushed, f'never flushed: {unflushed}'
    if scenario.after_failure in ('old or new', 'new or refused'):  # a sparse device, never seen half made
        assert not before_each_change[-1]


@pytest.mark.parametrize('call, error', [(c, e) for c in ('fdatasync', 'fsync') for e in ('EROFS', 'EIO', 'EDQUOT', 'EINVAL')])
def test_a_failed_flush_is_a_failure(where, call, error):
    """Only "this file has no flush" passes; a journal that aborted says EROFS."""
    status, _, err = run(where, ['create', 'flat', '1024', 'a.fs'], trace=['-e', f'inject={call}:error={error}'])
    assert (status, err) == ((0, b'') if error == 'EINVAL' else (1, f'Cannot write to file: {getattr(errno, error)}\n'.encode()))
    assert run(where, ['create', 'flat', '1024', 'a.fs'], trace=['-e', f'inject={call}:error={error}'],
               env={'QUILLON_NO_FLUSH': '1'})[0] == 0  # for tests and benchmarks: no flush at all
