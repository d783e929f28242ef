# Root serving, or running a command on, a device that another user owns: whatever the owner puts in its directory,
# at any instant, root never reads, writes, cuts or gives away a file of root's because of it.
import contextlib, functools, os, random, re, shutil, signal, stat, subprocess, tempfile
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

from conftest import (ABSENT, BINARY, ODD, PLUGIN, TIER, as_user, connect, linux_only, map_bytes, mount, root_only,
                      serve, stop, write_sparse)

nbd = pytest.importorskip('nbd')
pytestmark = [linux_only, root_only, pytest.mark.skipif(not PLUGIN, reason='the plugin is not built')]
OWNER, SECRET = 65534, random.Random(31).randbytes(200000).translate(ODD)  # nobody; no zero byte to hide in


@functools.cache
def owner_tty():
    """A terminal the owner opened (devpts gives its side to whoever opens it), open for the whole run."""
    _, tty = os.openpty()
    os.fchown(tty, OWNER, -1)
    return os.ttyname(tty)


class Home:
    """The owner's directory with a device in it (slots 0 to 2 named), beside root's secret and root.fs (mode 600) and
    root's own device, and copies of the tool and the plugin that the owner may run."""

    def __init__(self, top):
        self.top, self.dir, self.secret = top, top / 'home', top / 'secret'
        os.chmod(top, 0o755)
        for program in (BINARY, PLUGIN):
            shutil.copy(program, top)
        for secret in (self.secret, top / 'root.fs'):
            secret.write_bytes(SECRET)
            os.chmod(secret, 0o600)
        write_sparse(top / 'root.sparsefs', 65536, [0], b'r' * 65536)
        self.dir.mkdir()
        self.data = write_sparse(self.dir / 'd.sparsefs', 4096, [0, ABSENT, 1, 2], random.randbytes(3 * 4096))
        (self.dir / 'd.fs').write_bytes(b'f' * 4096)
        (self.dir / 'blank.Map').write_bytes(map_bytes(4096, [ABSENT] * 4))
        self.owner('true')

    def owner(self, script):
        """Runs script in the owner's directory as the owner, after giving the owner all of it."""
        subprocess.run(['chown', '-R', f'{OWNER}:{OWNER}', self.dir], check=True)
        return subprocess.run([*as_user(OWNER), 'sh', '-c', script], cwd=self.dir, capture_output=True).returncode == 0

    def run(self, *args, user=None, trace=()):
        done = subprocess.run([*as_user(user), *trace, self.top / os.path.basename(BINARY), *args], cwd=self.dir,
                              capture_output=True, timeout=60, env=dict(os.environ, ASAN_OPTIONS='detect_leaks=0'))
        return done.returncode, done.stderr.decode()

    def serve(self, trace=None, device='d.sparsefs'):
        return serve(self.dir, trace=trace, device=device, plugin=self.top / os.path.basename(PLUGIN))

    def check(self, *seen):
        """Root's files as they were, and no byte of the secret in what anyone was given."""
        for secret in (self.secret, self.top / 'root.fs'):
            info = os.stat(secret)
            assert (secret.read_bytes(), info.st_uid, stat.S_IMODE(info.st_mode)) == (SECRET, 0, 0o600)
        assert [(self.top / f'root.sparsefs/{n}').read_bytes() for n in ('Map', 'Store')] == [
            map_bytes(65536, [0]), b'r' * 65536]
        given = [p.read_bytes() for p in self.dir.rglob('*')
                 if not p.is_symlink() and p.is_file() and not p.samefile(self.secret)]
        assert not [held for held in [*seen, *given] if SECRET[:4096] in held or SECRET[-4096:] in held]


@pytest.fixture(scope='module', params=['tmp'] + (['ext4', 'xfs', 'btrfs'] if TIER == 'proof' else []))
def disk(request):
    """Where each test's files go: /tmp, and in the whole proof fresh ext4, XFS and btrfs too."""
    with tempfile.TemporaryDirectory(dir='/tmp') as top:
        if request.param == 'tmp':
            yield '/tmp'
        else:
            os.chmod(top, 0o755)
            yield mount(request.param, Path(top), '1G')
            subprocess.run(['umount', '-l', f'{top}/mnt'])


@pytest.fixture
def home(disk):
    with tempfile.TemporaryDirectory(dir=disk) as top:
        yield Home(Path(top))
        subprocess.run(['umount', '-l', f'{top}/d.sparsefs'], capture_output=True)  # a read-only bind, passed or not


# The owner, in a mount namespace of their own, binds what is given over their device's Store, then names the device
# through /proc/<pid>/root: their link to their own directory, in which the Store is root's file with one name.
NS = ("mv d.sparsefs real.sparsefs && (unshare -Urm sh -c 'mount --bind %s real.sparsefs/Store && ln -s /proc/$$/root"
      "$PWD/real.sparsefs d.sparsefs && while [ -L d.sparsefs ]; do sleep 0.1; done' >/dev/null 2>&1 &) && "
      "timeout 10 sh -c 'until [ -L d.sparsefs ]; do sleep 0.05; done'")


@pytest.mark.parametrize('owner, command, told', [
    ('ln -sf {secret} d.sparsefs/Store', 'serve', "Cannot open 'd.sparsefs/Store': 40"),
    ('mv blank.Map d.sparsefs/Map && ln -sf {secret} d.sparsefs/Store', 'serve',
     "Cannot open 'd.sparsefs/Store': 40"),  # no slot named: the Store would be cut after the last
    ('ln -sf {top}/root.sparsefs/Map d.sparsefs/Map', 'extend 524288 d.sparsefs', "Cannot open 'd.sparsefs/Map': 40"),
    ('ln -sf {secret} d.sparsefs/Store', 'sparse-to-flat d.sparsefs {top}/out.fs', "Cannot open 'd.sparsefs/Store': 40"),
    ('ln -sf {secret} d.fs', 'extend 8192 d.fs', "Cannot open 'd.fs': 40"),
    ('chmod 400 d.fs', 'extend 8192 d.fs', "Cannot open 'd.fs': 13"),  # root has the owner's rights, no more
    ('rm -r d.sparsefs && ln -s {top}/root.sparsefs d.sparsefs', 'extend 524288 d.sparsefs',
     "Cannot open 'd.sparsefs/Map': 40"),
    ('rm d.sparsefs/Store && mkfifo d.sparsefs/Store', 'sparse-to-flat d.sparsefs {top}/out.fs',
     "Cannot open 'd.sparsefs/Store': 6"),  # refused at once, never waited on
    ('ln -sf {top}/disk d.sparsefs/Store', 'serve', "Cannot open 'd.sparsefs/Store': 40"),
    ('rm d.sparsefs/Store', 'ln {secret} d.sparsefs/Store', "Cannot open 'd.sparsefs/Store': 40"),  # root's own link
    ('rm d.fs', 'ln {secret} d.fs && flat-to-sparse d.fs n.sparsefs', "Cannot open 'd.fs': 40"),
    ('mkdir d.sparsefs/Map.new', 'serve', "Cannot remove '{home}/d.sparsefs/Map.new': 21"),  # nor a directory
    *[(NS % what, command, "Cannot open 'd.sparsefs/Map': 40") for what, command in [
        ('{secret}', 'sparse-to-flat d.sparsefs {top}/out.fs'), ('{secret}', 'serve'), ('{top}/disk', 'serve')]],
    ('mv blank.Map d.sparsefs/Map && ' + NS % '{secret}', 'serve', "Cannot open 'd.sparsefs/Map': 40"),
    *[('ln -s {top} vms', command, told) for command, told in [  # a parent swapped for a link to root's directory
        ('create flat 4096 vms/root.fs', "Cannot create 'vms/root.fs': 40"),
        ('create sparse 65536 vms/n.sparsefs', "Cannot create directory 'vms/n.sparsefs': 40"),
        ('serve vms/root.sparsefs', "Cannot open 'vms/root.sparsefs/Map': 40")]],
    ('ln -s {top}/out.fs n.fs', 'create flat 512 n.fs', "Cannot create 'n.fs': 40"),  # made only as the rule allows
    ('ln -sf {tty} d.fs', 'extend 8192 d.fs', "Cannot open 'd.fs': 6")])  # the owner's terminal: never opened
def test_what_the_owner_puts_in_the_device_leads_root_to_no_file_of_roots(home, owner, command, told):
    if 'unshare' in owner and subprocess.run([*as_user(OWNER), 'unshare', '-Urm', 'true']).returncode:
        pytest.skip('unprivileged user namespaces are off here: the owner cannot make a mount namespace')
    os.mknod(home.top / 'disk', stat.S_IFBLK | 0o600, os.makedev(7, 0))
    assert home.owner(owner.format(secret=home.secret, top=home.top, tty=owner_tty()))
    if command.startswith('ln '):  # a hard link, as where the system lets the owner make one
        link, _, command = command.partition(' && ')
        subprocess.run(link.format(secret=home.secret).split(), cwd=home.dir, check=True)
        command = command or 'serve'
    trace = ['-y', '-e', 'trace=openat']  # a file a link may not lead to is only looked at (O_PATH), never opened
    if command.startswith('serve'):
        server = home.serve(trace, *command.split()[1:])
        assert server.wait(60) == 1 and told.format(home=home.dir) in server.stderr.read().decode()
    else:
        command = command.format(top=home.top).split()
        assert home.run(*command, trace=['strace', '-f', '-qq', '-o', home.dir / 'trace', *trace]) == (1, told + '\n')
    opened = [call for call in (home.dir / 'trace').read_text().splitlines()
              if re.search(rf'= \d+<({home.top}/(secret|root\.|disk)|{owner_tty()}>)', call)]
    assert not (home.top / 'out.fs').exists() and not [call for call in opened if 'O_PATH' not in call], opened
    home.check()


def test_the_owners_own_links_keep_working_for_the_owner_root_and_a_root_server(home):
    """A Store kept elsewhere, and the device itself, linked by the owner: each command and the server follow them;
    a root server's commits keep the Map the owner's."""
    assert home.owner('mkdir -p other/x.sparsefs && mv d.sparsefs/Map d.sparsefs/Store other/x.sparsefs/ && cd d.sparsefs'
                      ' && ln -s ../other/x.sparsefs/Map && ln -s ../other/x.sparsefs/Store && ln -s other/x.sparsefs ../e.sparsefs'
                      ' && ln -s other/n.fs ../n.fs')  # and one that dangles: its target is made
    for user, size in ((OWNER, 24576), (None, 32768)):
        assert home.run('sparse-to-flat', 'd.sparsefs', 'o.fs', user=user) == (0, '')
        assert (home.dir / 'o.fs').read_bytes().rstrip(b'\0') == home.data.rstrip(b'\0')
        assert home.run('extend', str(size), 'e.sparsefs', user=user) == (0, '')
    assert home.owner('rm d.sparsefs/Map && mv other/x.sparsefs/Map d.sparsefs/ && chmod 600 d.sparsefs/Map')
    server = home.serve()
    connect(home.dir)[0].pwrite(b'w' * 4096, 4096, nbd.CMD_FLAG_FUA)  # a commit: the new Map keeps owner and mode
    stop(server, home.dir)
    info = os.stat(home.dir / 'd.sparsefs/Map')
    assert (info.st_uid, info.st_gid, stat.S_IMODE(info.st_mode)) == (OWNER, OWNER, 0o600)
    assert os.path.islink(home.dir / 'd.sparsefs/Store') and home.run('extend', '40960', 'd.sparsefs', user=OWNER) == (0, '')
    assert home.run('sparse-to-flat', 'd.sparsefs', 'o.fs') == (0, '')
    assert (home.dir / 'o.fs').read_bytes() == home.data[:4096] + b'w' * 4096 + home.data[8192:] + bytes(6 * 4096)
    assert home.owner('chmod 555 d.sparsefs')  # where the owner may remove no name (the last copy's), nor may root
    server = home.serve()
    read_only = connect(home.dir)[0].is_read_only()
    stop(server, home.dir)
    assert read_only and "read-only: Cannot remove" in server.stderr.read().decode()
    # What root makes in the owner's directory is theirs; root's own device there, with one name, stays root's to use.
    (home.dir / 'r.fs').write_bytes(b'r' * 512)
    os.chmod(home.dir / 'r.fs', 0o600)
    made = ('create sparse 65536 n.sparsefs', 'create flat 512 n.fs', 'extend 1024 r.fs')
    assert [home.run(*c.split()) for c in made] == [(0, '')] * 3
    new = [home.dir / 'other/n.fs', home.dir / 'n.sparsefs', *(home.dir / 'n.sparsefs').iterdir()]
    assert {p.stat().st_uid for p in new} == {OWNER}
    assert (os.stat(home.dir / 'r.fs').st_uid, (home.dir / 'r.fs').read_bytes()) == (0, b'r' * 512 + bytes(512))
    assert home.owner('ln -s r.fs l.fs')  # the owner's own link in their directory leads them to any file they may read
    os.chown(home.dir / 'r.fs', 0, 0), os.chmod(home.dir / 'r.fs', 0o644)
    assert home.run('flat-to-sparse', 'l.fs', 'l.sparsefs', user=OWNER) == (0, '')
    home.check()


@pytest.mark.parametrize('links, told', [
    ('true', "Cannot create '{}/Map.new': 13"),
    ('chmod 644 Map', "Cannot open 'd.sparsefs/Map': 13"),
    ('mv Map .. && ln -s ../Map', "Commits would replace the symbolic link '{}/Map'"),
    ('ln Map ..', "Commits would part the Map from its other names '{}/Map'"),
    ('mount --bind {0} {0} && mount -o remount,bind,ro {0}', "Cannot open 'd.sparsefs/Map': 30")])
def test_served_by_a_user_who_may_not_commit_as_the_owner_would_the_device_is_served_read_only(home, links, told):
    """Root's device served by nobody, who may write its files but not their directory, nor give a copy their owner."""
    device, where = home.top / 'd.sparsefs', home.top
    before = write_sparse(device, 4096, [0, ABSENT], b'z' * 4096)
    os.chmod(where, 0o777)  # for the server's socket
    assert subprocess.run(f'cd {device} && chmod 666 Map Store && ' + links.format(device), shell=True).returncode == 0
    names = os.lstat(device / 'Map')[:4]  # kind, inode, device, links
    server = serve(where, plugin=where / os.path.basename(PLUGIN), user=OWNER)
    h = connect(where)[0]  # whatever keeps it from writing is found by now
    read_only, held = h.is_read_only(), h.pread(8192, 0)
    stop(server, where)
    assert read_only and held == before and os.lstat(device / 'Map')[:4] == names and not (device / 'Map.new').exists()
    assert server.stderr.read().decode().count(f"serving 'd.sparsefs' read-only: {told.format(device)}\n") == 1
    assert home.run('sparse-to-flat', device, where / 'o.fs') == (0, '') and (where / 'o.fs').read_bytes() == before


# What the owner may make of a name, at some point, while root runs a command on the device or serves it.
NAMES = ['d.fs', 'd.sparsefs', 'd.sparsefs/Map', 'd.sparsefs/Store', 'd.sparsefs/Map.new']
KINDS = {'root link': 'ln -s {secret} {name}', 'root device link': 'ln -s {top}/root.sparsefs{sub} {name}',
         'owner link': 'ln -s $PWD/moved {name}', 'magic link': 'ln -s /proc/self/root$PWD/moved {name}',
         'root magic link': 'ln -s /proc/1/cwd{top}/root.sparsefs{sub} {name}', 'terminal': 'ln -s {tty} {name}',
         'swapped parent': 'rm -rf parent; mv d.sparsefs parent; ln -s {top}/root.sparsefs d.sparsefs',
         'fifo': 'mkfifo {name}', 'directory': 'mkdir {name}', 'moved away': 'true', 'hard link': None}
WHEN = ['before a command', 'before serving', 'between commits', 'before a clean stop']
COMMANDS = ['extend 65536 d.sparsefs', 'sparse-to-flat d.sparsefs o.fs', 'extend 8192 d.fs', 'flat-to-sparse d.fs n.sparsefs']


@settings(max_examples=settings.default.max_examples // 3)  # each example serves or runs commands
@given(name=st.sampled_from(NAMES), kind=st.sampled_from(list(KINDS)), when=st.sampled_from(WHEN),
       command=st.sampled_from(COMMANDS), seed=st.integers(0, 1 << 32))
def test_whatever_the_owner_makes_of_a_name_and_whenever_root_keeps_its_files(name, kind, when, command, seed):
    with tempfile.TemporaryDirectory(dir='/tmp') as top:
        home, rng, seen = Home(Path(top)), random.Random(seed), []

        def change():
            sub = name.removeprefix('d.sparsefs') if name != 'd.fs' else '/Store'
            home.owner(f'rm -rf moved; mv {name} moved; ' + (KINDS[kind] or 'true').format(
                secret=home.secret, top=home.top, sub=sub, name=name, tty=owner_tty()))
            if kind == 'hard link':  # as where the system lets the owner make one: root's file under the owner's name
                os.link(home.secret, home.dir / name)
        if when == 'before a command':
            change()
            status, err = home.run(*command.split())
            assert status == 0 or (status == 1 and err.count('\n') == 1), err
        else:
            if when == 'before serving':
                change()
            server = home.serve()
            served = server.poll() is None
            if served:
                h = connect(home.dir)[0]
                for round in range(2):
                    if (when, round) in (('between commits', 1), ('before a clean stop', 1)):
                        change()
                    with contextlib.suppress(nbd.Error):  # the device may be read-only, or its copy's name taken
                        h.pwrite(rng.randbytes(4096), rng.randrange(4) * 4096)
                        if round == 0 or when != 'before a clean stop':
                            h.flush()
                    seen.append(h.pread(4 * 4096, 0))
                h.shutdown()
                os.killpg(server.pid, signal.SIGTERM)
            assert server.wait(60) == (0 if served else 1)  # never a crash
        home.check(*seen)


def test_what_a_device_can_make_a_root_server_spend_is_bounded(home):
    """Counted, not timed: while the owner keeps commits from happening, changes stay held up to their bound and past
    it writes answer ENOSPC, each with one write call, no commit tried and no memory; a Map naming the last slot is
    read at most twice at the start; a write into one of 4096 chunks that share a slot copies one chunk apart."""
    device, chunks, rss = home.dir / 'd.sparsefs', (1 << 17) + 300, []  # each refusal is logged: few, for its pipe
    traced = lambda: [int(n) for n in re.findall(r'\) = (\d+)$', (home.dir / 'trace').read_text(), re.M)]
    write_sparse(device, 4096, [ABSENT] * chunks, b'')
    assert home.owner('true')
    server = home.serve(['-e', 'trace=pwrite64,fdatasync', '-P', device / 'Store'])
    h = connect(home.dir)[0]
    assert home.owner(f'ln -sf {home.secret} d.sparsefs/Map.new')  # every commit from now on fails
    nbdkit = Path(f'/proc/{server.pid}/task/{server.pid}/children').read_text().split()[0]  # under strace
    for chunk in range(chunks):
        if chunk in (chunks - 200, chunks - 1):
            rss.append(int(re.search(r'VmRSS:\s+(\d+)', Path(f'/proc/{nbdkit}/status').read_text())[1]))
        with contextlib.nullcontext() if chunk < 1 << 17 else pytest.raises(nbd.Error, match='ENOSPC'):
            h.pwrite(b'w', chunk * 4096)
    stop(server, home.dir)
    calls = (home.dir / 'trace').read_text()  # a data write each; the start's flushes, the one commit tried
    assert rss[1] - rss[0] < 256 and calls.count('pwrite64(') <= chunks and calls.count('fdatasync(') <= 4, rss
    for options, entries, store in ((['-r'], [ABSENT] * (1 << 16) + [0xFFFFFFFE], b''), ([], None, b''),
                                    ([], [0] * 4096, b's' * 65536)):  # the last slot, or 4096 chunks in one
        length = 65536 if store else 4096
        write_sparse(device, length, entries or [ABSENT] * (1 << 16) + [0xFFFFFFFE], store)
        assert home.owner('touch d.sparsefs/Map.new')  # read-only serving changes nothing, this stale copy included
        files = {p: (s.st_ino, s.st_size, s.st_mtime_ns, s.st_ctime_ns) for p in device.iterdir() for s in [os.lstat(p)]}
        trace = ['pread64', device / 'Map'] if not store else ['pwrite64,copy_file_range', device / 'Store']
        server = serve(home.dir, options, ['-e', f'trace={trace[0]}', '-P', trace[1]],
                       plugin=home.top / os.path.basename(PLUGIN))
        h = connect(home.dir)[0]
        if store:
            h.pwrite(b'w' * 512, 65536 * 7)
            assert h.pread(65536 * 2, 65536 * 7) == b'w' * 512 + b's' * (2 * 65536 - 512)
        stop(server, home.dir)
        assert not options or {p: (s.st_ino, s.st_size, s.st_mtime_ns, s.st_ctime_ns) for p in device.iterdir()
                               for s in [os.lstat(p)]} == files
        assert sum(traced()) <= 2 * (len(store) or os.path.getsize(device / 'Map')), options  # of the Map, or a chunk
        assert os.path.getsize(device / 'Store') <= 2 * len(store)
    home.check()
