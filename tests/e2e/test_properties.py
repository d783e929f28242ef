# Conversions of generated sources and Maps (as many as the tier's profile says) checked against a model.
import contextlib, itertools, os, random, re

from hypothesis import example, given, strategies as st

from conftest import ABSENT, ODD, flat, fresh_dir, map_bytes, run, write_sparse

PAGE, CHUNK = 4096, 65536

# A source: stretches of data, zeros or zeros with a byte at each end (pages or chunks), riddled with page holes or
# not, each with a hole after it; then a tail of data of any length.
pages = st.one_of(st.integers(1, 40), st.integers(1, 12).map(lambda n: 16 * n))
holes = st.one_of(st.integers(0, 15), st.integers(1, 4).map(lambda n: 16 * n))
stretches = st.tuples(st.sampled_from(['data', 'zeros', 'ends']), pages, st.sampled_from([0, 0.3]), holes)
sources = st.tuples(st.lists(stretches, max_size=24), st.integers(0, PAGE - 1), st.integers(0, 1 << 32))


def write_source(path, source):
    stretches, tail, seed = source
    rng = random.Random(seed)
    with open(path, 'wb') as out:
        for kind, n, riddled, hole in stretches:
            size = n * PAGE
            data = rng.randbytes(size) if kind == 'data' else b'\1' + bytes(size - 2) + b'\2' if kind == 'ends' \
                else bytes(size)
            for at in range(0, size, PAGE):
                out.seek(PAGE, os.SEEK_CUR) if rng.random() < riddled else out.write(data[at:at + PAGE])
            out.seek(hole * PAGE, os.SEEK_CUR)
        out.write(rng.randbytes(tail))
        out.truncate()
    return path.read_bytes()


def sparse_model(source):
    """The Map and Store that a flat device converts into."""
    chunks = [source[at:at + CHUNK].ljust(CHUNK, b'\0') for at in range(0, len(source), CHUNK)]
    stored, next_slot = [chunk for chunk in chunks if any(chunk)], itertools.count()
    return map_bytes(CHUNK, [next(next_slot) if any(chunk) else ABSENT for chunk in chunks]), b''.join(stored)


def data_ranges(path):
    """Where the file system says the file's data is, as (begin, end) pairs."""
    ranges, at = [], 0
    with open(path, 'rb') as file, contextlib.suppress(OSError):  # ENXIO: no data from at on
        while True:
            begin = file.seek(at, os.SEEK_DATA)
            ranges.append((begin, at := file.seek(begin, os.SEEK_HOLE)))
    return ranges


@given(source=sources)
@example(source=([('data', 1, 0, 1), ('data', 1, 0, 0)], 0, 0))  # data, a page's hole, data: one chunk
def test_flat_to_sparse_stores_what_the_model_says_and_converts_back(file_system, source):
    where = fresh_dir(file_system, 'properties')
    source_bytes = write_source(where / 'a.fs', source)
    trace = ['-o', str(where / 'reads'), '-s', '0', '-P', str(where / 'a.fs'), '-e', 'trace=pread64,preadv2']
    assert run(where, ['flat-to-sparse', 'a.fs', 'a.sparsefs'], env={'QUILLON_NO_FLUSH': '1'}, trace=trace)[0] == 0
    data = data_ranges(where / 'a.fs')
    for offset, length in re.findall(r'(\d+)(?:, RWF_NOWAIT)?\) = (\d+)$', (where / 'reads').read_text(), re.M):
        assert any(begin <= int(offset) and int(offset) + int(length) <= end for begin, end in data), 'a hole was read'
    assert [(where / 'a.sparsefs' / name).read_bytes() for name in ('Map', 'Store')] == list(sparse_model(source_bytes))
    assert flat(where, 'a.sparsefs') == source_bytes.ljust(-(-len(source_bytes) // CHUNK) * CHUNK, b'\0')


# A Map: a chunk length, then runs of entries: absent, slots that follow each other from any slot, or one slot
# repeated. With the shortest chunks, absent and following runs may be long enough to cross a block of entries.
def entry_runs(length):
    count = st.one_of(st.integers(1, 12), st.integers(262100, 262200) if length < 4 else st.nothing())
    return st.lists(st.one_of(st.tuples(st.sampled_from(['absent', 'follow']), st.integers(0, 40), count),
                              st.tuples(st.just('repeat'), st.integers(0, 40), st.integers(1, 12))), max_size=8)


maps = st.sampled_from([1, 3, 512, CHUNK]).flatmap(lambda length: st.tuples(st.just(length), entry_runs(length)))


@given(sparse=maps, seed=st.integers(0, 1 << 32))
def test_sparse_to_flat_follows_every_entry(file_system, sparse, seed):
    length, runs = sparse
    count = max([slot + (n if kind == 'follow' else 1) for kind, slot, n in runs if kind != 'absent'], default=0)
    store, entries = random.Random(seed).randbytes(count * length).translate(ODD), []
    for kind, slot, n in runs:
        entries += [ABSENT] * n if kind == 'absent' else range(slot, slot + n) if kind == 'follow' else [slot] * n
    where = fresh_dir(file_system, 'properties')
    expected = write_sparse(where / 'a.sparsefs', length, entries, store)
    assert flat(where, 'a.sparsefs') == expected
