# The table of end-to-end cases in rows/*.rows, run on every file system. A
# row, ended by a blank line, is named by its first command or by a first
# line "## name", and has commands ("$ args"), each run afresh with the files
# before ("< path = content", "< path/", "< path fifo"), then what must hold:
# standard output ("out text", "|" a newline; not checked when absent),
# standard error ("err text", else empty), the exit status ("= n"; else 1
# with an error, 0 without) and files after ("> path = content" or
# "= size(n)", "> path/"). Every other file must be as it was; what is made
# has the usual modes. "2>&1" joins the streams, "strace OPTIONS" runs the
# tool under strace (to fail calls), "limit n" sets the file-size limit, and
# "linux" or "windows" keeps the row to one platform.
import os
import shutil
import stat
from pathlib import Path

import pytest

from conftest import WINDOWS, content, count, expand, make_file, run, snapshot, split

USAGE = ('Usage: Quillon create <flat|sparse> <bytes> <dst>\n       Quillon flat-to-sparse <src> <dst>\n'
         '       Quillon sparse-to-flat <src> <dst>\n       Quillon extend <bytes> <dst>\n').encode()


def parse(name, lines):
    row = dict(name=name, commands=[], before=[], after=[], status=None, out=None, err=b'', trace=None,
               combined=False, limit=0, platform=None)
    for key, _, rest in (line.partition(' ') for line in lines):
        if key == '$':
            row['commands'].append([expand(w[1:-1] if w.startswith('"') else w) for w in split(rest)])
        elif key in '<>':
            path, _, what = rest.partition(' = ')
            what = what or ('fifo' if path.endswith(' fifo') else '/')
            row['before' if key == '<' else 'after'].append((expand(path.removesuffix(' fifo').rstrip('/')), what))
            row['platform'] = 'linux' if what == 'fifo' else row['platform']
        elif key in ('out', 'err'):
            row[key] = USAGE if rest == '{usage}' else expand(rest).replace(b'|', b'\n')
        elif key in ('=', 'limit'):
            row['status' if key == '=' else 'limit'] = int(rest)
        elif key == 'strace':
            row['trace'] = rest.split()
        row['combined'] |= key == '2>&1'
        row['platform'] = key if key in ('linux', 'windows') else row['platform']
    row['platform'] = 'linux' if row['trace'] or row['limit'] else row['platform']
    row['status'] = row['status'] if row['status'] is not None else int(row['err'] != b'')
    return row


def load_rows():
    rows = []
    for file in sorted(Path(__file__).parent.glob('rows/*.rows')):
        names = set()
        for block in file.read_text().strip().split('\n\n'):
            lines = [line for line in block.split('\n') if not line.startswith('# ')]
            name = lines.pop(0)[3:] if lines[0].startswith('## ') else lines[0][2:]
            assert name not in names, f'{file.name}: two rows are "{name}"; name one with "## name"'
            names.add(name)
            row = parse(name, lines)
            if row['platform'] in (None, 'windows' if WINDOWS else 'linux'):
                rows.append(pytest.param(row, id=f'{file.stem}: {name}'))
    return rows


@pytest.mark.parametrize('row', load_rows())
def test_row(row, where):
    top = bytes(where)
    for args in row['commands']:
        for path in where.iterdir():
            shutil.rmtree(path) if path.is_dir() else path.unlink()
        for path, what in row['before']:
            full = os.path.join(top, path)
            os.makedirs(full if what == '/' else os.path.dirname(full), exist_ok=True)
            os.mkfifo(full) if what == 'fifo' else make_file(full, what) if what != '/' else None
        before = snapshot(where)
        status, out, err = run(where, args, trace=row['trace'], combined=row['combined'], limit=row['limit'])
        assert (status, err) == (row['status'], row['err']), args
        assert row['out'] is None or out == row['out'], args
        named = set()
        for path, what in row['after']:
            full = Path(os.fsdecode(os.path.join(top, path)))
            named.update(os.fsdecode(p) for p in (path, os.path.dirname(path)) if p)
            if full.exists() and not WINDOWS:
                assert stat.S_IMODE(full.stat().st_mode) == (0o755 if full.is_dir() else 0o644), path
            if what == '/':
                assert full.is_dir(), path
            elif what.startswith('size('):
                assert full.stat().st_size == count(what[5:-1]), path
            else:
                assert full.read_bytes() == content(what), f'{path}: {full.stat().st_size} bytes, not as wanted'
        after = snapshot(where)
        assert [p for p in set(before) | set(after) if p not in named and before.get(p) != after.get(p)] == []
