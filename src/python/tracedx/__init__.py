"""Deterministic, rule-based diagnosis of recorded AI-agent runs.

    import tracedx
    report = tracedx.diagnose(open("run.json").read())
    print(report["root_cause"]["label"])

``diagnose`` and ``compare`` take a JSON text (str or bytes) or the decoded document and
return the same report the ``tracedx`` command prints as JSON, as dicts and lists.
``tracedx.dask`` diagnoses many files on a Dask cluster.
"""

from ._tracedx import TraceError, __version__, compare, diagnose

__all__ = ["TraceError", "compare", "diagnose", "__version__"]
