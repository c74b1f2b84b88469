"""Traces per second of tracedx.dask on a two-worker LocalCluster against `tracedx batch
--jobs 2` on the same files. Usage (from the repository, after tools/test has built):

    PYTHONPATH=build/python /usr/bin/python3 bench/dask_figures.py build/tracedx FILE...

Each figure is the best of three runs; the cluster is started once, outside the timing.
"""
import subprocess
import sys
import time

import distributed

import tracedx.dask as tdask


def best(runs, fn):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return min(times), result


def main():
    tracedx_bin, paths = sys.argv[1], sys.argv[2:]
    seconds, out = best(3, lambda: subprocess.run([tracedx_bin, "batch", "--jobs", "2", *paths],
                                                  capture_output=True, check=False).stdout)
    traces = out.count(b"\n")
    print(f"corpus: {traces} traces, {sum(map(lambda p: __import__('os').path.getsize(p), paths)) / 2**20:.0f} MB")
    print(f"tracedx batch --jobs 2: {traces / seconds:,.0f} traces/s ({seconds:.2f} s)")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None, silence_logs=50) as cluster, \
            distributed.Client(cluster):
        bag = tdask.diagnose_bag(paths)
        bag.count().compute()  # warm the workers (imports)
        seconds, n = best(3, lambda: len(tdask.diagnose_bag(paths).compute()))
        print(f"LocalCluster, 2 workers, records to the client: {n / seconds:,.0f} traces/s ({seconds:.2f} s)")
        seconds, counts = best(3, lambda: tdask.label_counts(tdask.diagnose_bag(paths)))
        n = sum(counts.values())
        print(f"LocalCluster, 2 workers, label_counts on the workers: {n / seconds:,.0f} traces/s ({seconds:.2f} s)")


if __name__ == "__main__":
    main()
