# The table of end-to-end cases in rows/*.rows, run on every file system. A
# row starts with "## name" and has commands ("$ args"), each run afresh
# with the files before ("< path = content", "< path/", "< path fifo"), then
# what must hold: the exit status ("= n"), standard output ("out text", "|"
# a newline; not checked when absent), standard error ("err text", else
# empty) and files after ("> path = content" or "= size(n)", "> path/").
# Every other file must be as it was; what is made has the usual modes.
# "2>&1" joins the streams, "strace OPTIONS" runs the tool under strace (to
# fail calls), "limit n" sets the file-size limit, and "linux" or "windows"
# keeps the row to one platform.
import os
import shutil
import stat
from pathlib import Path

import pytest

from conftest import WINDOWS, content, count, expand, make_file, run, snapshot, split

USAGE = ('Usage: Quillon create <flat|sparse> <bytes> <dst>\n       Quillon flat-to-sparse <src> <dst>\n'
         '       Quillon sparse-to-flat <src> <dst>\n       Quillon extend <bytes> <dst>\n').encode()


def text(value):
    return USAGE if value == '{usage}' else expand(value).replace(b'|', b'\n')


def entry(value):
    path, _, what = value.partition(' = ')
    if what:
        return expand(path), what
    return (expand(value[:-5]), 'fifo') if value.endswith(' fifo') else (expand(value[:-1]), '/')


def load_rows():
    rows = []
    for file in sorted(Path(__file__).parent.glob('rows/*.rows')):
        for block in file.read_text().split('\n## ')[1:]:
            name, *lines = block.strip('\n').split('\n')
            row = dict(commands=[], before=[], after=[], status=0, out=None, err=b'', trace=None,
                       combined=False, limit=0, platform='linux' if 'fifo' in block else None)
            for line in lines:
                key, _, rest = line.partition(' ')
                if key == '$':
                    row['commands'].append([expand(w[1:-1] if w.startswith('"') else w) for w in split(rest)])
                elif key in '<>':
                    row['before' if key == '<' else 'after'].append(entry(rest))
                elif key == '=':
                    row['status'] = int(rest)
                elif key in ('out', 'err'):
                    row[key] = text(rest)
                elif key == 'strace':
                    row['trace'] = rest.split()
                elif key == 'limit':
                    row['limit'] = int(rest)
                elif key == '2>&1':
                    row['combined'] = True
                elif key in ('linux', 'windows'):
                    row['platform'] = key
            if row['trace'] or row['limit']:
                row['platform'] = 'linux'
            if row['platform'] in (None, 'windows' if WINDOWS else 'linux'):
                rows.append(pytest.param(row, id=f'{file.stem}: {name}'))
    return rows


def check_after(where, row, before):
    named = set()
    for path, what in row['after']:
        named.update(os.fsdecode(p) for p in [path] + [os.path.dirname(path)] if p)
        full = Path(os.fsdecode(os.path.join(bytes(where), path)))
        if full.exists() and not WINDOWS:
            assert stat.S_IMODE(full.stat().st_mode) == (0o755 if full.is_dir() else 0o644), path
        if what == '/':
            assert full.is_dir(), path
        elif what.startswith('size('):
            assert full.stat().st_size == count(what[5:-1]), path
        else:
            held, wanted = full.read_bytes(), content(what)
            assert held == wanted, f'{path}: {len(held)} bytes, not as wanted'
    after = snapshot(where)
    for path in set(before) | set(after):
        assert path in named or before.get(path) == after.get(path), f'{path} changed'


@pytest.mark.parametrize('row', load_rows())
def test_row(row, where):
    for args in row['commands']:
        for path in where.iterdir():
            shutil.rmtree(path) if path.is_dir() and not path.is_symlink() else path.unlink()
        for path, what in row['before']:
            full = os.path.join(bytes(where), path)
            if what == '/':
                os.makedirs(full, exist_ok=True)
            elif what == 'fifo':
                os.makedirs(os.path.dirname(full), exist_ok=True)
                os.mkfifo(full)
            else:
                make_file(full, what)
        before = snapshot(where)
        status, out, err = run(where, args, trace=row['trace'], combined=row['combined'], limit=row['limit'])
        assert (status, err) == (row['status'], row['err']), args
        if row['out'] is not None:
            assert out == row['out'], args
        check_after(where, row, before)
