"""Shared helpers: the built command, the sample workspace and a place for figures."""
import json
import os
import subprocess
from pathlib import Path

SOURCE = Path(os.environ.get("TRACEDX_SOURCE_DIR", Path(__file__).resolve().parents[2]))
FIXTURES = SOURCE / "src" / "Test" / "fixtures"
IMPORTS = SOURCE / "src" / "Test" / "imports"
TRACEDX = os.environ.get("TRACEDX_BIN", str(SOURCE / "build" / "tracedx"))
ARTIFACTS = Path(os.environ.get("TRACEDX_ARTIFACTS", SOURCE / "build" / "test-artifacts"))


def run_tracedx(*args, cwd=None, stdin=None):
    return subprocess.run([TRACEDX, *map(str, args)], cwd=cwd, input=stdin, capture_output=True, text=True)


def same(a, b):
    """Equal values with members in the same order (dict equality ignores the order)."""
    return a == b and json.dumps(a) == json.dumps(b)


def report_figure(name, text):
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    with open(ARTIFACTS / "python_figures.txt", "a") as out:
        out.write(f"{name}: {text}\n")
    print(f"{name}: {text}")


def big_trace(steps):
    """A fixture of `steps` steps, built from the sample workspace's tool failure run."""
    doc = json.loads((FIXTURES / "tool_failure.json").read_text())
    base = doc["steps"]
    doc["steps"] = [dict(base[i % len(base)], step_index=i) for i in range(steps)]
    return json.dumps(doc)
