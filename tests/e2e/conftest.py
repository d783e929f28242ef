# Runs the built quillon (or quillon.exe under Wine) and describes files in one language: terms "text" (C
# escapes), N*B (N bytes of value B, a number or 'c'; N*hole a hole), le(v,...) (32-bit little-endian, "-" for
# 0xFFFFFFFF), hdr(L,C,A) (a Map header) and rand(N,seed) (no zero byte); counts take K, M, G and C (64 KiB) and
# add up (4G-33). In paths and texts {term} stands for its bytes, {exists} and the like for error numbers.
import contextlib, os, random, re, select, shutil, signal, struct, subprocess, time
from pathlib import Path

import pytest
from hypothesis import settings

with contextlib.suppress(ImportError):
    import nbd  # python3-libnbd: only the plugin's tests need it

BINARY = os.environ.get('QUILLON_BINARY', 'quillon')
WINDOWS = os.environ.get('QUILLON_TEST_EXE')  # quillon.exe, run under Wine
ROOT = os.geteuid() == 0 and not WINDOWS
os.umask(0o022)  # what the files and directories that rows make and expect are made with
ERRORS = {'missing-dir': (2, 3), 'exists': (17, 183), 'is-dir': (21, 5)}  # Linux, Windows
ODD = bytes(b | 1 for b in range(256))
ABSENT = 0xFFFFFFFF
TIER = os.environ.get('QUILLON_TIER', 'quick')  # or proof: every file system (as root), 200 examples, every call
settings.register_profile('quick', max_examples=30, deadline=None, database=None)
settings.register_profile('proof', settings.get_profile('quick'), max_examples=200)
settings.load_profile(TIER)
PLUGIN, SERVED_TESTS = os.environ.get('QUILLON_PLUGIN'), os.environ.get('QUILLON_SERVED_TESTS')
linux_only = pytest.mark.skipif(bool(WINDOWS), reason='uses Linux facilities')
root_only = pytest.mark.skipif(not ROOT, reason='needs root on Linux to mount file systems and make disks')


def in_turn(values):
    """Each of the values (calls to fail or kill, limits) in turn in the whole proof; every 32nd in the quick tier."""
    return values if TIER == 'proof' else values[::32]


def count(text):
    units = {'K': 1 << 10, 'M': 1 << 20, 'G': 1 << 30, 'C': 1 << 16}
    return sum(int(n, 0) * units.get(u, 1) * (-1 if s == '-' else 1)
               for s, n, u in re.findall(r'([-+]?)(0x[0-9a-fA-F]+|\d+)([KMGC]?)', text))


def unescape(text):
    return text.encode('latin-1').decode('unicode_escape').encode('latin-1')


def split(text):
    """Words and terms: quoted text is one, whatever it holds."""
    return re.findall(r'"(?:\\.|[^"\\])*"|\S+', text)


def le(*values):
    return b''.join((ABSENT if v == '-' else count(v)).to_bytes(4, 'little') for v in values)


def pieces(expression):
    """The expression's bytes, and each hole as its length."""
    out = []
    for term in split(expression):
        args = term[term.find('(') + 1:-1].split(',')
        if term.startswith('"'):
            out.append(unescape(term[1:-1]))
        elif term.startswith(('hdr(', 'le(')):
            out.append(map_header(*map(count, args)) if term[0] == 'h' else le(*args))
        elif term.startswith('rand('):
            out.append(random.Random(count(args[1])).randbytes(count(args[0])).translate(ODD))
        else:
            n, value = term.rsplit('*', 1)
            out.append(count(n) if value == 'hole' else bytes([ord(value[1]) if value[0] == "'" else count(value)]) * count(n))
    return out


def content(expression):
    return b''.join(bytes(piece) for piece in pieces(expression))


def expand(text):
    """A path or text: C escapes, {term} as the term's bytes, {name} as an error number."""
    text = re.sub(r'\{([a-z-]+)\}', lambda m: str(ERRORS[m[1]][bool(WINDOWS)]), text)
    return b''.join(content(p) if i % 2 else unescape(p) for i, p in enumerate(re.split(r'\{([^}]*)\}', text)))


def make_file(path, expression):
    Path(os.fsdecode(path)).parent.mkdir(parents=True, exist_ok=True)
    with open(path, 'wb') as out:
        for piece in pieces(expression):
            out.seek(piece, os.SEEK_CUR) if isinstance(piece, int) else out.write(piece)
        out.truncate()


def snapshot(top):
    """Each path under top with what it holds."""
    def held(path):
        if path.is_symlink() or not (path.is_file() or path.is_dir()):
            return 'special'
        size = path.stat().st_size
        return 'dir' if path.is_dir() else path.read_bytes() if size < 64 << 20 else f'size {size}'
    return {str(path.relative_to(top)): held(path) for path in Path(top).rglob('*')}


def hidden_space(top):
    """Room past the files' lengths (to 4 KiB) that filefrag maps, or on tmpfs (no FIEMAP, no other blocks) holds."""
    room = 0
    for path in (p for p in Path(top).rglob('*') if p.is_file() and not p.is_symlink()):
        info = path.stat()
        end = -(-info.st_size // 4096) * 4096
        mapped = subprocess.run(['filefrag', '-e', '-b1', path], capture_output=True, text=True)
        room += max(0, info.st_blocks * 512 - end) if mapped.returncode else sum(
            max(0, int(last) + 1 - max(int(first), end))
            for first, last in re.findall(r'^ +\d+: +(\d+)\.\. *(\d+):', mapped.stdout, re.M))
    return room


def screen_text(output):
    """What a terminal shows after output: a backspace moves back one cell, blanks at a line's end do not show."""
    lines = []
    for text in output.decode('latin-1').replace('\r\n', '\n').split('\n'):
        line, column = [], 0
        for c in text:
            line[column:column + 1] = line[column:column + 1] if c == '\b' else [c]
            column = max(0, column - 1) if c == '\b' else column + 1
        lines.append(''.join(line).rstrip(' '))
    return '\n'.join(lines)


def run(where, args, trace=None, env=None, combined=False, stdout=subprocess.PIPE, background=False, wrap=()):
    """Runs the tool in where, through the command wrap and under strace with the options trace."""
    args = [os.fsencode(a) for a in args]
    command = ['wine', WINDOWS] + args if WINDOWS else [*wrap] + (
        (['strace', '-f', '-qq', '-o', '/dev/null'] + trace if trace else []) + [BINARY] + args)
    environment = dict(os.environ, WINEDEBUG='-all', LANG='C.UTF-8', **(env or {}))
    if trace:  # LeakSanitizer cannot work under ptrace
        environment['ASAN_OPTIONS'] = 'detect_leaks=0'
    process = subprocess.Popen(command, cwd=where, env=environment, stdin=subprocess.DEVNULL, stdout=stdout,
                               stderr=subprocess.STDOUT if combined else subprocess.PIPE, preexec_fn=lambda: os.umask(0o022))
    if background:
        return process
    out, err = [data or b'' for data in process.communicate(timeout=120)]
    err = re.sub(rb'(?m)^strace: Requested path .*\n', b'', err)  # strace's note on -P
    if WINDOWS:  # every line ends in CR LF
        assert out.count(b'\n') == out.count(b'\r\n') and err.count(b'\n') == err.count(b'\r\n'), (out, err)
        out, err = out.replace(b'\r\n', b'\n'), err.replace(b'\r\n', b'\n')
    return process.returncode, out, err


def start_stopped(where, args, call, n, path, **options):
    """Starts the tool, stopped after its n-th call of call on path; returns what resumes it and gives its result."""
    log = Path(f'{where}.strace')
    log.unlink(missing_ok=True)
    trace = ['-o', str(log), '-P', str(where / path), '-e', f'trace={call}',
             '-e', f'inject={call}:signal=SIGSTOP:when={n}']
    tracer = run(where, args, trace=trace, background=True, **options)
    while 'stopped by SIGSTOP' not in (log.read_text() if log.exists() else ''):
        assert tracer.poll() is None, 'the tool ended without stopping'
        time.sleep(0.005)
    pid = int(re.search(r'^(\d+) +--- stopped by SIGSTOP', log.read_text(), re.M)[1])

    def resume():
        os.kill(pid, signal.SIGCONT)
        out, err = tracer.communicate(timeout=120)
        return tracer.returncode, out, err
    return resume


def read_terminal(reader, wait=None):
    """What the terminal has shown: all of it, or what comes within wait seconds."""
    data, chunk = b'', b'more'
    while chunk and (wait is None or select.select([reader], [], [], wait)[0]):
        try:
            chunk = os.read(reader, 4096)
        except OSError:  # the terminal ends with EIO
            chunk = b''
        data += chunk
    return data


def shell(script):
    return subprocess.run(['sh', '-c', script], capture_output=True).returncode == 0


def mount(kind, image_dir, size):
    """A fresh file system of kind and size mounted in image_dir/mnt, or a skip."""
    mnt, image = image_dir / 'mnt', image_dir / 'image'
    mnt.mkdir()
    make = f"mkfs.{kind} -q{'F' if kind.startswith('ext') else 'f'} {image} >/dev/null"
    if not shell(f'mount -t tmpfs -o size={size} none {mnt}' if kind == 'tmpfs' else
                 f'truncate -s {size} {image} && {make} && mount -o loop {image} {mnt}'):
        pytest.skip(f'cannot mount {kind} here (needs its mkfs and loop devices)')
    return mnt


def loop_device(path):
    """A loop device over the file at path (losetup -d lets it go), or a skip where there are none."""
    made = subprocess.run(['losetup', '-f', '--show', path], capture_output=True, text=True)
    return made.stdout.strip() or pytest.skip('no loop devices here')


def attach_nbdfuse(mountpoint, *export):
    """An NBD export (a URI, or '[ nbdkit ... ]') as the file mountpoint/nbd, once it is there."""
    mountpoint.mkdir(exist_ok=True)
    fuse, deadline = subprocess.Popen(['nbdfuse', mountpoint, *export]), time.monotonic() + 60
    STARTED.append((fuse, False))
    while not (mountpoint / 'nbd').exists():
        assert fuse.poll() is None and time.monotonic() < deadline, 'nbdfuse did not start'
        time.sleep(0.01)
    return fuse


def detach_nbdfuse(fuse, mountpoint):
    """Unmounts lazily (-z): nbdfuse ends once a loop device lets go of its file."""
    shell(f'fusermount3 -uz {mountpoint}')
    fuse.wait(60)


@pytest.fixture(scope='session',
                params=['tmp'] + (['ext4', 'xfs', 'btrfs', 'ext2', 'tmpfs'] if ROOT and TIER == 'proof' else []))
def file_system(request, tmp_path_factory):
    """Each file system in turn, large and empty: the temporary one, and fresh ones as root in the whole proof."""
    if request.param == 'tmp':
        yield tmp_path_factory.mktemp('tmp')
    else:
        mnt = mount(request.param, tmp_path_factory.mktemp(request.param), '8G')
        yield mnt
        shell(f'umount -l {mnt}')


@pytest.fixture
def where(file_system, request):
    """A fresh, empty directory on the file system under test."""
    path = file_system / re.sub(r'\W', '_', request.node.name)[:100]
    path.mkdir()
    yield path
    shell(f"rm -rf '{path}'")


def fresh_dir(top, name):
    shutil.rmtree(top / name, ignore_errors=True)
    (top / name).mkdir()
    return top / name


def map_header(length, chunks, stored):
    return struct.pack('<4I16x', 0x73706673, length, chunks, stored)  # magic 'sfps'


def map_bytes(length, entries):
    stored = sum(e != ABSENT for e in entries)
    return map_header(length, len(entries), stored) + struct.pack(f'<{len(entries)}I', *entries)


def read_map(device):
    """The chunk length, the count of stored chunks and the entries of the device's Map."""
    held = (device / 'Map').read_bytes()
    _, length, chunks, stored = struct.unpack_from('<4I', held)
    return length, stored, list(struct.unpack_from(f'<{chunks}I', held, 32))


def write_sparse(directory, length, entries, store):
    """A device, replacing any, with these entries over store (slots in any order or named twice); returns its bytes."""
    fresh_dir(directory.parent, directory.name)
    (directory / 'Map').write_bytes(map_bytes(length, entries))
    (directory / 'Store').write_bytes(store)
    return b''.join(bytes(length) if e == ABSENT else store[e * length:(e + 1) * length] for e in entries)


# Serving through the plugin (nbdkit) to libnbd clients; a sanitizer build's plugin needs its runtime preloaded.
SERVER_ENV = dict(os.environ, LD_PRELOAD=os.environ['QUILLON_PLUGIN_PRELOAD'],
                  LSAN_OPTIONS=f'suppressions={os.path.dirname(__file__)}/nbdkit.lsan') if os.environ.get(
    'QUILLON_PLUGIN_PRELOAD') else None


def as_user(user):
    """What runs a command as user (a number), or as the caller for None."""
    return ['setpriv', f'--reuid={user}', f'--regid={user}', '--clear-groups'] if user else []


STARTED = []  # the servers and nbdfuse processes a test started, with whether each leads a session of its own


@pytest.fixture(autouse=True)
def no_process_outlives_its_test():
    """Whatever a test asserted, the servers and nbdfuse processes it left running end with it."""
    yield
    while STARTED:
        process, session = STARTED.pop()
        if process.poll() is None:  # still our child: its number is no one else's
            os.killpg(process.pid, signal.SIGKILL) if session else process.kill()
            process.wait()


def serve(where, options=(), trace=None, device='d.sparsefs', plugin=None, user=None):
    """nbdkit serving device on where/sock, under strace with the options trace, as user."""
    for left in ('sock', 'ready'):  # nbdkit writes ready once it listens
        (where / left).unlink(missing_ok=True)
    tracer = ['strace', '-f', '-qq', '-o', where / 'trace', *trace] if trace else []
    server = subprocess.Popen([*tracer, *as_user(user), 'nbdkit', '-f', '-U', where / 'sock', '-P',
                               where / 'ready', *options, plugin or PLUGIN, device], cwd=where, stderr=subprocess.PIPE,
                              start_new_session=True, env=dict(SERVER_ENV, ASAN_OPTIONS='detect_leaks=0') if trace and
                              SERVER_ENV else SERVER_ENV)  # LeakSanitizer cannot work under ptrace
    STARTED.append((server, True))
    deadline = time.monotonic() + 60
    while not (where / 'ready').exists() and server.poll() is None:
        assert time.monotonic() < deadline, 'the server neither started nor ended'
        time.sleep(0.01)
    return server


def connect(where, count=1):
    handles = [nbd.NBD() for _ in range(count)]
    for h in handles:
        h.add_meta_context('base:allocation')
        h.connect_uri(f'nbd+unix:///?socket={where}/sock')
    return handles


def stop(server, where):
    """Kills the server (and strace), as a crash would, and waits until its locks on the Map and the Store are gone."""
    with contextlib.suppress(ProcessLookupError):
        os.killpg(server.pid, signal.SIGKILL)
    server.wait()
    for path in (where / 'd.sparsefs/Map', where / 'd.sparsefs/Store'):
        while path.exists() and subprocess.run(['flock', '-n', '-x', path, 'true']).returncode:
            time.sleep(0.005)


def make_device(where, length, entries, seed):
    """A device as given: any chunk length, slots in any order or named twice; returns its bytes."""
    store = random.Random(seed).randbytes(length * (max([e + 1 for e in entries if e != ABSENT], default=0)))
    return bytearray(write_sparse(where / 'd.sparsefs', length, entries, store))


def extents(h, offset, length):
    """The device's extents from offset on, to length, as block status tells them: (offset, length, flags)."""
    found = []

    def note(context, start, entries, error):
        for count, flags in zip(entries[::2], entries[1::2]):
            found.append((start, count, flags))
            start += count
        return 0
    while offset < length:
        h.block_status(length - offset, offset, note)
        offset = found[-1][0] + found[-1][1]
    return found


def errno_of(request, *args):
    """The name of the error number the server answers the request with."""
    with pytest.raises(nbd.Error) as failed:
        request(*args)
    return failed.value.errno


def flat(where, device='d.sparsefs'):
    """The device's bytes as sparse-to-flat gives them in where/check.fs, or its error line as text."""
    status, _, err = run(where, ['sparse-to-flat', device, 'check.fs'], env={'QUILLON_NO_FLUSH': '1'})
    return (where / 'check.fs').read_bytes() if status == 0 else err.decode()
