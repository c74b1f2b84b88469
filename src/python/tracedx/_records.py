"""Flat records: one batch record (or diagnosis report) as a row of plain values."""

# The fields of a flat record, in order: the batch record's id and error, its run fields,
# and the primary finding's label and severity.
RECORD_FIELDS = ("id", "error", "title", "service", "agent", "status", "outcome",
                 "duration_ms", "cost", "tokens", "steps", "tool", "error_message", "label",
                 "severity")
_RUN_FIELDS = ("title", "service", "agent", "status", "outcome", "duration_ms", "cost",
               "tokens", "steps", "tool", "error_message")


def flat_record(result):
    if not isinstance(result, dict):
        raise TypeError(f"a result must be a dict, not {type(result).__name__}")
    row = dict.fromkeys(RECORD_FIELDS)
    if "diagnosis" in result or "error" in result:
        row["id"] = result.get("id")
        row["error"] = result.get("error")
        diagnosis = result.get("diagnosis")
        run = result.get("run") or {}
    elif "outcome" in result and "root_cause" in result:
        diagnosis, run = result, {}
    else:
        raise ValueError("a result must be a batch record (with \"diagnosis\" or \"error\") or a "
                         "diagnosis report (with \"outcome\" and \"root_cause\")")
    for field in _RUN_FIELDS:
        row[field] = run.get(field)
    if diagnosis:
        row["outcome"] = diagnosis.get("outcome", row["outcome"])
        root_cause = diagnosis.get("root_cause") or {}
        row["label"] = root_cause.get("label")
        row["severity"] = root_cause.get("severity")
    return row
