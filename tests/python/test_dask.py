"""tracedx.dask against `tracedx batch`: the same records in the same order, on the
synchronous scheduler for the partitioning rules and on a two-worker LocalCluster."""
import json
import shutil
import time

import dask
import pytest

import tracedx.dask as tdask
from conftest import FIXTURES, IMPORTS, report_figure, run_tracedx, same

FIXTURE_TEXTS = [json.dumps(json.loads(p.read_text())) for p in sorted(FIXTURES.glob("*.json"))]


def batch(*args, lines=False):
    r = run_tracedx("batch", "--jobs", "2", *args)
    assert r.returncode in (0, 1), r.stderr
    records = [json.loads(line) for line in r.stdout.splitlines()]
    return (records, r.stderr, r.stdout.splitlines()) if lines else (records, r.stderr)


def as_line(record):
    """A record written as the batch writes its lines."""
    return json.dumps(record, ensure_ascii=False, separators=(",", ":"))


def summary_labels(stderr):
    rows = [line.split("  ", 2)[1:] for line in stderr.splitlines()[1:] if line.startswith("  ")]
    return {label: int(count) for count, label in rows}


def assert_same_records(records, expected):
    assert len(records) == len(expected)
    for got, want in zip(records, expected):
        assert same(got, want), want["id"]


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    """About 3,000 traces: two .jsonl files (blank lines, CR LF endings, a broken line, no
    final line feed), a directory of fixture files and a missing path."""
    root = tmp_path_factory.mktemp("corpus")
    lines = []
    for i in range(2900):
        if i % 97 == 5:
            lines.append("   \t")
        elif i == 1234:
            lines.append("{not json")
        else:
            lines.append(FIXTURE_TEXTS[i % len(FIXTURE_TEXTS)] + ("\r" if i % 13 == 0 else ""))
    (root / "big.jsonl").write_text("\n".join(lines) + "\n")
    (root / "small.jsonl").write_text("\n".join(FIXTURE_TEXTS[:40]))
    fixtures = root / "dir"
    shutil.copytree(FIXTURES, fixtures)
    (fixtures / "b").mkdir()
    (fixtures / "b" / "c.json").write_text(FIXTURE_TEXTS[0])
    (fixtures / "b-c.json").write_text(FIXTURE_TEXTS[1])
    (fixtures / "ignored.jsonl").write_text(FIXTURE_TEXTS[2])
    (fixtures / "notes.txt").write_text("not a trace")
    return [str(root / "big.jsonl"), str(root / "small.jsonl"), str(fixtures), str(root / "missing.json"),
            str(root / "missing.jsonl")]


SPLIT_LINES = [FIXTURE_TEXTS[3], "", FIXTURE_TEXTS[7] + "\r", " ", "[1", FIXTURE_TEXTS[9], "", ""]


@pytest.mark.parametrize("blocksize", [1, 2, 3, 50, 700, 4096, None])
@pytest.mark.parametrize("final_lf", [True, False])
def test_line_partitions_number_lines_as_batch(tmp_path, blocksize, final_lf):
    path = tmp_path / "lines.jsonl"
    path.write_text("\n".join(SPLIT_LINES) + ("\n" if final_lf else ""))
    expected, _ = batch(path)
    bag = tdask.diagnose_bag(str(path), blocksize=blocksize)
    with dask.config.set(scheduler="sync"):
        assert_same_records(bag.compute(), expected)


def test_sync_scheduler_equals_batch_with_options(corpus):
    expected, stderr = batch("--slow-threshold-ms", "100", "--no-recommendations", *corpus)
    bag = tdask.diagnose_bag(corpus, blocksize=300_000, slow_threshold_ms=100, recommendations=False)
    assert bag.npartitions > 10
    with dask.config.set(scheduler="sync"):
        assert_same_records(bag.compute(), expected)
        assert tdask.label_counts(bag) == summary_labels(stderr)
        assert list(tdask.label_counts(bag)) == list(summary_labels(stderr))


@pytest.mark.parametrize("source,paths", [
    ("otlp", [IMPORTS / "genai_tool_failure.otlp.json", IMPORTS / "openinference_rag_empty_retrieval.otlp.jsonl"]),
    ("otlp", [IMPORTS]),
    ("chat", [IMPORTS / "group_chat_search_loop.chat.json"]),
    ("chat", [IMPORTS / "openinference_rag_empty_retrieval.otlp.jsonl"]),
    ("otlp", ["missing.otlp.json", "broken.otlp.jsonl", IMPORTS / "group_chat_search_loop.chat.json"]),
])
def test_imported_sources_equal_batch(tmp_path, source, paths):
    (tmp_path / "broken.otlp.jsonl").write_text('{"resourceSpans": []}\n{broken\n')
    paths = [p if isinstance(p, type(IMPORTS)) else tmp_path / p for p in paths]
    expected, _ = batch("--from", source, *paths)
    with dask.config.set(scheduler="sync"):
        assert_same_records(tdask.diagnose_bag([str(p) for p in paths], source=source).compute(), expected)


@pytest.mark.parametrize("source,paths", [
    ("fixture", [FIXTURES]),
    ("chat", [IMPORTS / "group_chat_search_loop.chat.json"]),
    ("otlp", [IMPORTS / "openinference_rag_empty_retrieval.otlp.jsonl"]),
])
@pytest.mark.parametrize("stated", ["failed", "completed"])
def test_run_status_equals_batch(source, paths, stated):
    expected, _ = batch("--from", source, "--run-status", stated, *paths)
    with dask.config.set(scheduler="sync"):
        bag = tdask.diagnose_bag([str(p) for p in paths], source=source, blocksize=None, run_status=stated)
        assert_same_records(bag.compute(), expected)


def test_run_status_over_line_ranges(tmp_path):
    (tmp_path / "runs.jsonl").write_text("\n".join(FIXTURE_TEXTS) + "\n")
    expected, _ = batch("--run-status", "completed", tmp_path / "runs.jsonl")
    with dask.config.set(scheduler="sync"):
        bag = tdask.diagnose_bag(str(tmp_path / "runs.jsonl"), blocksize=4096, run_status="completed")
        assert bag.npartitions > 1
        assert_same_records(bag.compute(), expected)


def test_globs_expand_sorted(tmp_path):
    for name in ("b.json", "a.json", "c.txt"):
        (tmp_path / name).write_text(FIXTURE_TEXTS[0])
    with dask.config.set(scheduler="sync"):
        ids = [r["id"] for r in tdask.diagnose_bag(str(tmp_path / "*.json")).compute()]
    assert ids == [str(tmp_path / "a.json"), str(tmp_path / "b.json")]


BAD_CALLS = [
    (dict(paths="/nonexistent/*.json"), FileNotFoundError),
    (dict(paths=["-"]), ValueError),
    (dict(paths=[], source="xml"), ValueError),
    (dict(paths=[], blocksize=0), ValueError),
    (dict(paths=[], signals=True), TypeError),
    (dict(paths=[], slow_threshold_ms=-5), ValueError),
    (dict(paths=[], run_status="succeeded"), ValueError),
]


@pytest.mark.parametrize("kwargs,raises", BAD_CALLS)
def test_bad_calls_fail_on_the_client(kwargs, raises):
    with pytest.raises(raises):
        tdask.diagnose_bag(**kwargs)


def test_nothing_to_read_is_an_empty_bag():
    with dask.config.set(scheduler="sync"):
        assert tdask.diagnose_bag([]).compute() == []
        assert tdask.label_counts(tdask.diagnose_bag([])) == {}


def test_local_cluster_equals_batch(corpus):
    distributed = pytest.importorskip("distributed")
    start = time.perf_counter()
    expected, stderr, lines = batch(*corpus, lines=True)
    batch_seconds = time.perf_counter() - start
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None, silence_logs=50) as cluster, \
            distributed.Client(cluster) as client:
        start = time.perf_counter()
        bag = tdask.diagnose_bag(corpus, blocksize=512 * 1024)
        records = bag.compute()
        cluster_seconds = time.perf_counter() - start
        assert_same_records(records, expected)
        assert [as_line(r) for r in records] == lines
        assert tdask.label_counts(bag) == summary_labels(stderr)
        # The workers read the files: the graph holds paths and offsets, not trace bytes.
        graph_bytes = sum(len(repr(task)) for task in dict(bag.__dask_graph__()).values())
        assert graph_bytes < 100_000
        assert len(client.run(lambda: 1)) == 2  # two workers served the run
    report_figure("local_cluster", f"{len(records)} traces: LocalCluster 2 workers "
                  f"{len(records) / cluster_seconds:.0f} traces/s ({cluster_seconds:.2f} s), "
                  f"tracedx batch --jobs 2 {len(records) / batch_seconds:.0f} traces/s ({batch_seconds:.2f} s)")


def test_names_that_are_not_utf8_keep_batch_ids(tmp_path):
    import os
    root = os.fsencode(tmp_path)
    for name in (b"a\xff.json", b"a\xfe.json", b"b\\xff.json"):
        with open(os.path.join(root, name), "w") as f:
            f.write(FIXTURE_TEXTS[0])
    expected, _ = batch(tmp_path)
    with dask.config.set(scheduler="sync"):
        records = tdask.diagnose_bag(str(tmp_path)).compute()
    assert_same_records(records, expected)
    assert len({r["id"] for r in records}) == 3
