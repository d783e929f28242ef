# The cases in rows/*.rows, on each file system of the tier. A row ends at a blank line, named by its first command or
# "## name": commands ("$ args"), each run afresh on the files before ("< path = content", "< path/", "< path fifo");
# then stdout ("out text", "|" a newline; unchecked if absent), stderr ("err text", else empty), status ("= n", else 1
# after an error), files after ("> path = content" or "= size(n)", usual mode); other files must not change.
# Options: "2>&1", "limit n" (file size), "linux" or "windows".
import os, stat
from pathlib import Path

import pytest

from conftest import WINDOWS, content, count, expand, fresh_dir, hidden_space, make_file, run, snapshot, split

def parse(lines):
    row = {'commands': [], '<': [], '>': [], 'out': None, 'err': b'', 'limit': 0}
    for key, _, rest in (line.partition(' ') for line in lines):
        if key == '$':
            row['commands'].append([expand(w[1:-1] if w.startswith('"') else w) for w in split(rest)])
        elif key in ('<', '>'):
            path, _, what = rest.partition(' = ')
            fifo = path.endswith(' fifo')
            row[key].append((expand(path.removesuffix(' fifo').rstrip('/')), 'fifo' if fifo else what or '/'))
        elif key in ('out', 'err'):
            row[key] = expand(rest.replace('|', '\\n'))
        else:
            row[key] = int(rest) if key in ('=', 'limit') else True
    row.setdefault('=', int(row['err'] != b''))
    linux = 'linux' in row or row['limit'] or any(what == 'fifo' for _, what in row['<'])
    return row, 'linux' if linux else 'windows' if 'windows' in row else None


def load_rows():
    rows = []
    for file in sorted(Path(__file__).parent.glob('rows/*.rows')):
        names = set()
        for block in file.read_text().strip().split('\n\n'):
            lines = [line for line in block.split('\n') if not line.startswith('# ')]
            name = lines.pop(0)[3:] if lines[0].startswith('## ') else lines[0][2:]
            assert name not in names, f'{file.name}: two rows are "{name}"; name one with "## name"'
            names.add(name)
            row, platform = parse(lines)
            if platform in (None, 'windows' if WINDOWS else 'linux'):
                rows.append(pytest.param(row, id=f'{file.stem}: {name}'))
    return rows


@pytest.mark.parametrize('row', load_rows())
def test_row(row, where):
    top = bytes(where)
    for args in row['commands']:
        fresh_dir(where.parent, where.name)  # each command starts from the files before
        for path, what in row['<']:
            full = os.path.join(top, path)
            os.makedirs(full if what == '/' else os.path.dirname(full), exist_ok=True)
            os.mkfifo(full) if what == 'fifo' else make_file(full, what) if what != '/' else None
        before = snapshot(where)
        wrap = ['prlimit', f"--fsize={row['limit']}"] if row['limit'] else []
        status, out, err = run(where, args, combined='2>&1' in row, wrap=wrap)
        assert (status, err) == (row['='], row['err']) and row['out'] in (None, out), (args, out)
        named = set()
        for path, what in row['>']:
            full = Path(os.fsdecode(os.path.join(top, path)))
            named.update(os.fsdecode(p) for p in (path, os.path.dirname(path)) if p)
            if full.exists() and not WINDOWS:  # as a user's umask of 022 leaves new files and directories
                assert (stat.S_IMODE(full.stat().st_mode), stat.S_IMODE(full.parent.stat().st_mode)) == (0o644, 0o755), path
            if what.startswith('size('):
                assert full.stat().st_size == count(what[5:-1]), path
            else:
                assert full.read_bytes() == content(what), f'{path}: {full.stat().st_size} bytes, not as wanted'
        after = snapshot(where)
        assert [p for p in set(before) | set(after) if p not in named and before.get(p) != after.get(p)] == []
        assert hidden_space(where) == 0, 'room held past the end of a file'
