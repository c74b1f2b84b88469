"""Batch diagnosis on Dask: the records of ``tracedx batch`` as a ``dask.bag.Bag``, or as
a ``dask.dataframe.DataFrame`` of flat records.

    import tracedx.dask
    bag = tracedx.dask.diagnose_bag(["runs/*.jsonl"], slow_threshold_ms=4000)
    print(tracedx.dask.label_counts(bag))
    frame = tracedx.dask.diagnose_frame(["runs/*.jsonl"])  # columns: tracedx.RECORD_FIELDS

The client only lists directories and globs and looks up file sizes; the workers read the
traces. Each record is ``{"id": ..., "diagnosis": {...}}`` or ``{"id": ..., "error": "..."}``,
with the ids and messages of ``tracedx batch``, in the same order. A .jsonl file of
fixtures is split into byte ranges of ``blocksize`` on line boundaries, so one large file
spreads over the cluster; .json files are grouped into partitions; an OTLP file is one
partition, since the spans of one trace may sit anywhere in it.
"""

import glob as _glob
import os as _os

import dask as _dask
import dask.bag as _db

from . import _tracedx
from ._records import RECORD_FIELDS as _RECORD_FIELDS, flat_record as _flat_record

__all__ = ["diagnose_bag", "diagnose_frame", "label_counts", "DEFAULT_BLOCKSIZE",
           "FILES_PER_PARTITION"]

DEFAULT_BLOCKSIZE = 8 * 2**20
FILES_PER_PARTITION = 256
_OPTIONS = {"slow_threshold_ms": 2500, "secondary_issues": True, "recommendations": True,
            "run_status": None}


def _options(options):
    unknown = sorted(set(options) - set(_OPTIONS))
    if unknown:
        raise TypeError(f"unknown option {unknown[0]!r} (options: {', '.join(_OPTIONS)})")
    values = {**_OPTIONS, **options}
    threshold = values["slow_threshold_ms"]
    if threshold is not None and (not isinstance(threshold, int) or isinstance(threshold, bool)):
        raise TypeError("slow_threshold_ms must be an int")
    if threshold is not None and not 0 <= threshold < 2**64:
        raise ValueError("slow_threshold_ms must be from 0 to 2**64-1")
    run_status = values["run_status"]
    if run_status is not None and not isinstance(run_status, str):
        raise TypeError(f"run_status must be a str or None, not {type(run_status).__name__}")
    if run_status not in (None, "failed", "completed", "success"):
        raise ValueError(
            f'run_status must be "failed", "completed", "success" or None, not {run_status!r}')
    if run_status == "success":  # the reports' word for a completed run
        run_status = "completed"
    return threshold, bool(values["secondary_issues"]), bool(values["recommendations"]), run_status


def _expand(paths):
    """Paths as given, globs expanded in sorted order (as a shell in the C locale does)."""
    if isinstance(paths, (str, bytes, _os.PathLike)):
        paths = [paths]
    out = []
    for path in paths:
        path = _os.fsdecode(path)
        if path == "-":
            raise ValueError("standard input cannot be read by the workers: name files")
        if _glob.has_magic(path):
            matches = sorted(_glob.glob(path, recursive=True))
            if not matches:
                raise FileNotFoundError(f"no file matches {path!r}")
            out.extend(matches)
        else:
            out.append(path)
    return out


def _size(path):
    try:
        return _os.stat(path).st_size
    except OSError:
        return 0  # the worker reading it reports why


# Task keys are not derived from the arguments: a path and a byte range do not identify
# their contents, so each diagnose_bag call reads the files anew.
# The tasks: Python functions, which pickle by name (the extension's functions do not), over
# the extension's worker pieces, which read the files and run without the GIL.
def _files(paths, source, *options):
    return _tracedx._diagnose_files(paths, source, *options)


def _lines(path, start, end, newlines_before, source, *options):
    return _tracedx._diagnose_lines(path, start, end, newlines_before, source, *options)


def _count_newlines(path, start, end):
    return _tracedx._count_newlines(path, start, end)


def _error_records(path, message):
    return [{"id": path, "error": message}]


def _prefix_sums(counts):
    sums, total = [0], 0
    for c in counts:
        total += c
        sums.append(total)
    return sums


def _line_partitions(path, blocksize, source, options):
    size = _size(path)
    if blocksize is None or size <= blocksize:
        return [_dask.delayed(_lines)(path, 0, size, 0, source, *options)]
    starts = list(range(0, size, blocksize))
    ends = starts[1:] + [size]
    # Lines are numbered across the file: each range counts its line feeds first.
    counts = [_dask.delayed(_count_newlines)(path, s, e) for s, e in zip(starts, ends)]
    before = _dask.delayed(_prefix_sums)(counts[:-1])
    return [
        _dask.delayed(_lines)(path, s, e, before[k], source, *options)
        for k, (s, e) in enumerate(zip(starts, ends))
    ]


def diagnose_bag(paths, *, source="fixture", blocksize=DEFAULT_BLOCKSIZE, **options):
    """A Bag of one record per trace in ``paths`` (files, directories or globs).

    source: a word of ``tracedx._tracedx.SOURCES`` ("otlp", "chat", "fixture"). options: slow_threshold_ms, secondary_issues,
    recommendations and run_status (every run's outcome), as for ``tracedx.diagnose``. blocksize: bytes per partition of a
    .jsonl file and of a group of .json files (None: one partition per file).
    """
    if source not in _tracedx.SOURCES:
        words = ", ".join(f'"{word}"' for word in _tracedx.SOURCES)
        raise ValueError(f"source must be one of {words}, not {source!r}")
    if blocksize is not None and (not isinstance(blocksize, int) or blocksize <= 0):
        raise ValueError("blocksize must be a positive int or None")
    opts = _options(options)
    parts, group, group_bytes = [], [], 0

    def flush():
        nonlocal group, group_bytes
        if group:
            parts.append(_dask.delayed(_files)(group, source, *opts))
        group, group_bytes = [], 0

    # Paths travel as bytes, so file names that are not UTF-8 are read (and get the ids of
    # tracedx batch, their odd bytes escaped).
    for kind, path, error in _tracedx._list_inputs([_os.fsencode(p) for p in _expand(paths)], source):
        if kind == "error":
            flush()
            parts.append(_dask.delayed(_error_records)(_tracedx._display_path(path), error))
        elif kind == "lines":
            flush()
            parts.extend(_line_partitions(path, blocksize, source, opts))
        else:
            group.append(path)
            group_bytes += _size(path)
            if source == "otlp" or len(group) >= FILES_PER_PARTITION or (
                blocksize is not None and group_bytes >= blocksize
            ):
                flush()
    flush()
    if not parts:
        return _db.from_sequence([], npartitions=1)
    return _db.from_delayed(parts)


def _label(record):
    diagnosis = record.get("diagnosis")
    if diagnosis is None:
        return None
    root_cause = diagnosis["root_cause"]
    return root_cause["label"] if root_cause else "(none)"


def _is_label(label):
    return label is not None


def _ordered(pairs):
    # Most frequent first, ties by label: the order of the batch summary.
    return dict(sorted(pairs, key=lambda pair: (-pair[1], pair[0])))


def label_counts(bag, *, compute=True):
    """The number of diagnosed traces per primary label ("(none)" without one), most
    frequent first; records with an error are not counted. Counted on the workers; with
    compute=False, a Delayed that gives the dict."""
    counts = _dask.delayed(_ordered)(bag.map(_label).filter(_is_label).frequencies())
    return counts.compute() if compute else counts


def _frame_partition(records):
    import pandas
    return pandas.DataFrame.from_records([_flat_record(r) for r in records],
                                         columns=list(_RECORD_FIELDS))


def diagnose_frame(paths, *, source="fixture", blocksize=DEFAULT_BLOCKSIZE, **options):
    """The records of ``diagnose_bag`` as a ``dask.dataframe.DataFrame`` of flat records,
    one row per trace, with the columns of ``tracedx.to_frame`` (tracedx.RECORD_FIELDS).
    Needs pandas."""
    try:
        import pandas
        import dask.dataframe as dd
    except ImportError as e:
        raise ImportError("tracedx.dask.diagnose_frame needs pandas and dask.dataframe "
                          "(Debian's python3-pandas)") from e
    bag = diagnose_bag(paths, source=source, blocksize=blocksize, **options)
    meta = pandas.DataFrame({
        "id": pandas.Series(dtype=object), "error": pandas.Series(dtype=object),
        "title": pandas.Series(dtype=object), "service": pandas.Series(dtype=object),
        "agent": pandas.Series(dtype=object), "status": pandas.Series(dtype=object),
        "outcome": pandas.Series(dtype=object), "duration_ms": pandas.Series(dtype=object),
        "cost": pandas.Series(dtype=object), "tokens": pandas.Series(dtype=object),
        "steps": pandas.Series(dtype=object), "tool": pandas.Series(dtype=object),
        "error_message": pandas.Series(dtype=object), "label": pandas.Series(dtype=object),
        "severity": pandas.Series(dtype=object)})
    return dd.from_delayed([_dask.delayed(_frame_partition)(part) for part in bag.to_delayed()],
                           meta=meta, verify_meta=False)
