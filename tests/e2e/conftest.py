# Runs the built quillon (or quillon.exe under Wine) and describes the files
# around it. One content language serves files, paths and texts: terms
# "text" (C escapes), N*B (N bytes of value B, a number or 'c'; N*hole a
# hole), le(v,...) (32-bit little-endian, "-" for 0xFFFFFFFF), hdr(L,C,A)
# (a Map header) and rand(N,seed) (never a zero byte); counts take K, M, G
# and C (64 KiB) and add and subtract (4G-33). In paths and texts {term}
# stands for the term's bytes.
import os
import pty
import random
import re
import resource
import select
import signal
import subprocess
import time
from pathlib import Path

import pytest

BINARY = os.environ.get('QUILLON_BINARY', 'quillon')
WINDOWS = os.environ.get('QUILLON_TEST_EXE')  # quillon.exe, run under Wine
ROOT = os.geteuid() == 0 and not WINDOWS
ERRORS = {'missing-dir': (2, 3), 'exists': (17, 183), 'is-dir': (21, 5)}  # Linux, Windows
UNITS = {'K': 1 << 10, 'M': 1 << 20, 'G': 1 << 30, 'C': 1 << 16}
ODD = bytes(b | 1 for b in range(256))


def count(text):
    total = 0
    for sign, number, unit in re.findall(r'([-+]?)(0x[0-9a-fA-F]+|\d+)([KMGC]?)', text):
        value = int(number, 0) * UNITS.get(unit, 1)
        total += -value if sign == '-' else value
    return total


def unescape(text):
    return text.encode('latin-1').decode('unicode_escape').encode('latin-1')


def split(text, separator=' '):
    """Splits at the separator outside quotes and brackets."""
    parts, depth, quoted, part = [], 0, False, ''
    for i, c in enumerate(text):
        quoted ^= c == '"' and (i == 0 or text[i - 1] != '\\')
        depth += (c == '(') - (c == ')') if not quoted else 0
        if c == separator and not quoted and depth == 0:
            parts.append(part) if part else None
            part = ''
        else:
            part += c
    return parts + [part] if part else parts


def le(*values):
    return b''.join((0xFFFFFFFF if v == '-' else count(v)).to_bytes(4, 'little') for v in values)


def pieces(expression):
    """Each piece's bytes and the length of the hole after it."""
    out = [[b'', 0]]
    for term in split(expression):
        args = split(term[term.find('(') + 1:-1], ',') if term.endswith(')') else []
        if term.startswith('"'):
            out[-1][0] += unescape(term[1:-1])
        elif term.startswith('hdr('):
            out[-1][0] += le('0x73706673', *args) + bytes(16)
        elif term.startswith('le('):
            out[-1][0] += le(*args)
        elif term.startswith('rand('):
            out[-1][0] += random.Random(count(args[1])).randbytes(count(args[0])).translate(ODD)
        elif term.endswith('*hole'):
            out[-1][1] = count(term[:-5])
            out.append([b'', 0])
        else:
            n, value = term.rsplit('*', 1)
            byte = ord(value[1]) if value.startswith("'") else count(value)
            out[-1][0] += bytes([byte]) * count(n)
    return out


def content(expression):
    return b''.join(data + bytes(hole) for data, hole in pieces(expression))


def expand(text):
    """A path or text: C escapes, {term} as the term's bytes, error names."""
    windows = 1 if WINDOWS else 0
    text = re.sub(r'\{([a-z-]+)\}', lambda m: str(ERRORS[m[1]][windows]) if m[1] in ERRORS else m[0], text)
    parts = re.split(r'\{([^}]*)\}', text)
    return b''.join(content(p) if i % 2 else unescape(p) for i, p in enumerate(parts))


def make_file(path, expression):
    path = Path(os.fsdecode(path))
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, 'wb') as out:
        for data, hole in pieces(expression):
            out.write(data)
            out.seek(hole, os.SEEK_CUR)
        out.truncate()


def snapshot(top):
    """Each path under top with what it holds."""
    held = {}
    for path in sorted(Path(top).rglob('*')):
        name = str(path.relative_to(top))
        if path.is_symlink() or not (path.is_file() or path.is_dir()):
            held[name] = 'special'
        elif path.is_dir():
            held[name] = 'dir'
        else:
            size = path.stat().st_size
            held[name] = path.read_bytes() if size < 64 << 20 else f'size {size}'
    return held


def hidden_space(top):
    """Room held past what the files' lengths account for (less what a file
    system without extents spends on indirect blocks)."""
    hidden = 0
    for path in Path(top).rglob('*'):
        info = path.lstat()
        if path.is_file() and not path.is_symlink():
            hidden += max(0, info.st_blocks * 512 - -(-info.st_size // 65536) * 65536 - info.st_size // 256 - 65536)
    return hidden


def screen_text(output):
    """What a terminal shows after output: backspaces move back, erased cells are blanks."""
    lines, line, column = [], [], 0
    for c in output.decode('latin-1'):
        if c == '\n':
            lines.append(''.join(line).rstrip(' '))
            line, column = [], 0
        elif c == '\b':
            column = max(0, column - 1)
        elif c == '\r':
            column = 0
        else:
            line[column:column + 1] = [c]
            column += 1
    return '\n'.join(lines + [''.join(line).rstrip(' ')])


def command(args, trace=None):
    """The command line for the tool, under strace with the given options."""
    args = [a if isinstance(a, bytes) else a.encode() for a in args]
    if WINDOWS:
        return ['wine', WINDOWS] + args
    return (['strace', '-f', '-qq', '-o', '/dev/null'] + trace if trace else []) + [BINARY] + args


def fold_crlf(data):
    if WINDOWS:
        assert data.count(b'\n') == data.count(b'\r\n'), data
        data = data.replace(b'\r\n', b'\n')
    return data


def run(where, args, trace=None, env=None, combined=False, limit=0, stdout=subprocess.PIPE,
        closed=None, background=False):
    """Runs the tool in where; closed names a standard stream to close."""
    def prepare():
        os.umask(0o022)
        if limit:
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
        if closed is not None:
            os.close(closed)
    environment = dict(os.environ, WINEDEBUG='-all', LANG='C.UTF-8', **(env or {}))
    if trace:  # LeakSanitizer cannot work under ptrace
        environment['ASAN_OPTIONS'] = 'detect_leaks=0'
    process = subprocess.Popen(command(args, trace), cwd=where, env=environment, stdin=subprocess.DEVNULL,
                               stdout=stdout, stderr=subprocess.STDOUT if combined else subprocess.PIPE,
                               preexec_fn=prepare)
    if background:
        return process
    out, err = process.communicate(timeout=120)
    return process.returncode, fold_crlf(out or b''), fold_crlf(err or b'')


def start_stopped(where, args, call, n, path, **options):
    """The tool started under strace and stopped after its n-th call of call
    on path; returns the running strace and the tool's process id."""
    log = Path(f'{where}.strace')
    log.unlink(missing_ok=True)
    trace = ['-o', str(log), '-P', str(where / path), '-e', f'trace={call}',
             '-e', f'inject={call}:signal=SIGSTOP:when={n}']
    tracer = run(where, args, trace=trace, background=True, **options)
    for _ in range(4000):
        stop = re.search(r'^(\d+) +--- stopped by SIGSTOP', log.read_text() if log.exists() else '', re.M)
        if stop:
            return tracer, int(stop[1])
        time.sleep(0.005)
    raise AssertionError('the tool never stopped')


def resume(tracer, pid):
    """Continues a stopped tool until it ends; returns what it printed."""
    os.kill(pid, signal.SIGCONT)
    return tracer.communicate()


def open_terminal():
    """A pseudo-terminal: the end the tool writes to and the end we read."""
    reader, writer = pty.openpty()
    return reader, writer


def read_terminal(reader, wait=None):
    """What the terminal has shown: all of it, or what comes within wait seconds."""
    data = b''
    while wait is None or select.select([reader], [], [], wait)[0]:
        try:
            chunk = os.read(reader, 4096)
        except OSError:  # the terminal ends with EIO
            return data
        if not chunk:
            return data
        data += chunk
    return data


linux_only = pytest.mark.skipif(bool(WINDOWS), reason='uses Linux facilities')
root_only = pytest.mark.skipif(not ROOT, reason='needs root on Linux to mount file systems and make disks')


def shell(script):
    return subprocess.run(['sh', '-c', script], capture_output=True).returncode == 0


# The file systems every end-to-end case runs on: the temporary directory,
# and as root loop-mounted images of each common kind (ext2 cannot reserve).
FILE_SYSTEMS = ['tmp'] + (['ext4', 'xfs', 'btrfs', 'ext2', 'tmpfs'] if ROOT else [])
MAKE = {'ext4': 'mkfs.ext4 -qF', 'ext2': 'mkfs.ext2 -qF', 'xfs': 'mkfs.xfs -qf', 'btrfs': 'mkfs.btrfs -qf'}


def mount(kind, image_dir, size):
    """A fresh file system of kind and size mounted in image_dir/mnt, or a skip."""
    mnt = image_dir / 'mnt'
    mnt.mkdir()
    if kind == 'tmpfs':
        made = shell(f'mount -t tmpfs -o size={size} none {mnt}')
    else:
        image = image_dir / 'image'
        made = shell(f'truncate -s {size} {image} && {MAKE[kind]} {image} >/dev/null && mount -o loop {image} {mnt}')
    if not made:
        pytest.skip(f'cannot mount {kind} here (needs {MAKE.get(kind, "tmpfs").split()[0]} and loop devices)')
    return mnt


@pytest.fixture(scope='session', params=FILE_SYSTEMS)
def file_system(request, tmp_path_factory):
    """A directory on each file system in turn; large and empty, as a user's disk is."""
    if request.param == 'tmp':
        yield tmp_path_factory.mktemp('tmp')
        return
    mnt = mount(request.param, tmp_path_factory.mktemp(request.param), '8G')
    yield mnt
    shell(f'umount {mnt}')


@pytest.fixture
def where(file_system, request):
    """A fresh, empty directory on the file system under test."""
    path = file_system / re.sub(r'\W', '_', request.node.name)[:100]
    subprocess.run(['rm', '-rf', str(path)])
    path.mkdir()
    yield path
    subprocess.run(['rm', '-rf', str(path)])
