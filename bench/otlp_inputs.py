#!/usr/bin/env python3
"""Deterministic OTLP inputs for the input-edge figures (not committed: generated).

    bench/otlp_inputs.py one-line OUT [TRACES]   one export line holding TRACES traces (2,000)
    bench/otlp_inputs.py lines OUT [MB]          OTLP JSON Lines of about MB megabytes (100),
                                                 each trace's spans spread over three lines
    bench/otlp_inputs.py chain OUT [SPANS]       one trace whose SPANS spans (50,000) each
                                                 have the one before as parent
    bench/otlp_inputs.py corpus OUT [TRACES]     TRACES traces (10,000) of about 13 KB, one
                                                 export per line, as a fleet's exporter writes them
    bench/otlp_inputs.py big OUT [MB]            one trace of about MB megabytes (25) in one
                                                 export document
"""
import json
import random
import sys


def attr(key, value):
    kind = "intValue" if isinstance(value, int) else "stringValue"
    return {"key": key, "value": {kind: str(value) if kind == "intValue" else value}}


def spans_of(trace, rng, start, words=(20, 120), steps=(3, 7)):
    tid = f"{trace + 1:032x}"
    root = f"{trace * 16 + 1:016x}"
    t = start
    out = [{"traceId": tid, "spanId": root, "name": "agent", "kind": 1,
            "startTimeUnixNano": str(t), "endTimeUnixNano": str(t + 9_000_000_000),
            "attributes": [attr("openinference.span.kind", "AGENT"), attr("agent.name", "support")]}]
    for i in range(rng.randint(*steps)):
        kind = rng.choice(["LLM", "TOOL", "RETRIEVER"])
        sid = f"{trace * 16 + i + 2:016x}"
        t += 1_000_000_000
        text = " ".join(rng.choice(["refund", "order", "policy", "days", "shipping", "the"])
                        for _ in range(rng.randint(*words)))
        span = {"traceId": tid, "spanId": sid, "parentSpanId": root, "name": kind.lower(),
                "kind": 3 if kind != "LLM" else 1, "startTimeUnixNano": str(t),
                "endTimeUnixNano": str(t + rng.randint(1, 900) * 1_000_000),
                "attributes": [attr("openinference.span.kind", kind), attr("input.value", text),
                               attr("output.value", text[::-1]), attr("llm.token_count.total", 42)],
                "status": {"code": 2 if rng.random() < 0.1 else 1}}
        out.append(span)
    return out


def export(spans):
    return json.dumps({"resourceSpans": [{"resource": {"attributes": [attr("service.name", "bench")]},
                                          "scopeSpans": [{"scope": {"name": "bench"}, "spans": spans}]}]},
                      separators=(",", ":"))


def main():
    what, out = sys.argv[1], sys.argv[2]
    rng = random.Random(7)
    with open(out, "w") as f:
        if what == "one-line":
            traces = int(sys.argv[3]) if len(sys.argv) > 3 else 2000
            # About 1 MB for 2,000 traces, as an OTLP/HTTP JSON exporter sends them.
            spans = [s for t in range(traces)
                     for s in spans_of(t, rng, 1_733_000_000_000_000_000, (1, 3), (1, 2))]
            f.write(export(spans) + "\n")
            return
        if what == "corpus":
            traces = int(sys.argv[3]) if len(sys.argv) > 3 else 10000
            for t in range(traces):
                f.write(export(spans_of(t, rng, 1_733_000_000_000_000_000 + t, (40, 160), (5, 10))) + "\n")
            return
        if what == "big":
            limit = (int(sys.argv[3]) if len(sys.argv) > 3 else 25) * 10**6
            spans, size, t = [], 0, 0
            while size < limit:
                chunk = spans_of(t, rng, 1_733_000_000_000_000_000, (60, 200), (12, 12))
                for s in chunk:
                    s["traceId"] = f"{1:032x}"
                    if t and s.get("parentSpanId") is None:
                        s["parentSpanId"] = f"{1:016x}"
                spans.extend(chunk if t == 0 else chunk)
                size += sum(len(json.dumps(s)) for s in chunk)
                t += 1
            f.write(export(spans) + "\n")
            return
        if what == "chain":
            count = int(sys.argv[3]) if len(sys.argv) > 3 else 50000
            tid, t = f"{1:032x}", 1_733_000_000_000_000_000
            spans = []
            for i in range(count):
                span = {"traceId": tid, "spanId": f"{i + 1:016x}", "name": f"tool {i}", "kind": 1,
                        "startTimeUnixNano": str(t + i * 1000), "endTimeUnixNano": str(t + 2 * 10**9 - i * 1000),
                        "attributes": [attr("openinference.span.kind", "TOOL")]}
                if i:
                    span["parentSpanId"] = f"{i:016x}"
                spans.append(span)
            f.write(export(spans) + "\n")
            return
        limit = (int(sys.argv[3]) if len(sys.argv) > 3 else 100) * 2**20
        written, trace, pending = 0, 0, []
        while written < limit:
            # Each line: the last third of one trace, the middle of the next, the start of a third.
            spans = spans_of(trace, rng, 1_733_000_000_000_000_000 + trace)
            thirds = [spans[0::3], spans[1::3], spans[2::3]]
            pending.append(thirds)
            line = []
            for k, parts in enumerate(pending[-3:][::-1]):
                line.extend(parts[k] if k < len(parts) else [])
            text = export(line) + "\n"
            f.write(text)
            written += len(text)
            trace += 1
        # Close the last traces: their remaining thirds on two final lines.
        f.write(export(pending[-2][2] + pending[-1][1]) + "\n")
        f.write(export(pending[-1][2]) + "\n")


if __name__ == "__main__":
    main()
