"""A small typed program over the tracedx package; the suite checks it with mypy --strict."""
import inspect
from pathlib import Path
from typing import Any

import tracedx
import tracedx.dask


def primary_label(fixture: Path) -> str:
    report: dict[str, Any] = tracedx.diagnose(fixture.read_text(), run_status="success")
    root_cause = report["root_cause"]
    return str(root_cause["label"]) if root_cause else "(none)"


def triage_text(batch: Path) -> str:
    return tracedx.report(batch, format="text")


def gate_passed(baseline: Path, candidate: Path) -> bool:
    passed, junit = tracedx.gate(baseline, candidate, key="file", format="junit")
    return passed and junit.startswith("<?xml")


def failed_rate(batch: Path) -> float:
    result = tracedx.gate(batch, batch, max_rate_increase=0.05)
    return float(result["candidate"]["rate"])


def parameters() -> list[str]:
    return list(inspect.signature(tracedx.diagnose).parameters)


def labels_of(paths: list[str]) -> dict[str, int]:
    counts = tracedx.dask.label_counts(tracedx.dask.diagnose_bag(paths, run_status="failed"))
    assert isinstance(counts, dict)
    return counts
