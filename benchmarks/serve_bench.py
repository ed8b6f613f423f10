"""Load figures of ``quillon serve``: requests per second and latency for a
replay of typed prefixes, with 1, 2 and 4 workers and 32 concurrent
connections, against the same replay answered in process; and the resident
memory of each worker against the index file's size.

    python3 benchmarks/serve_bench.py            # about 2 minutes
    python3 benchmarks/serve_bench.py --quick    # a smoke run

The replay: the first ``--words`` searches of the example search log
(``quillon.example``, as typed: typos, capitals and all), each typed one
character at a time, every prefix one request of ``/api/suggest`` with the
server's defaults (terms and videos, 10 of each). The in-process baseline
makes the calls the endpoint makes (``Index.terms`` and ``Index.videos``),
one after another on one core, and ``Index.videos`` alone.

The client is an asyncio loop on raw sockets in this process: 32 keep-alive
connections, each sending its next request as soon as the previous answer has
come, until ``--requests`` have been answered. It costs a small share of one
core (the figures say how much), so it does not take the two cores from the
workers it measures, and it stops after exactly that many requests, which
``wrk`` (duration-bound) cannot. Loopback only; every run stops by itself; any
failed request (a connection error or a status other than 200) fails the
benchmark.
"""

from __future__ import annotations

import asyncio
import json
import os
import pathlib
import re
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

import duckdb

from quillon import Index
from quillon.server.app import default_max_dist
from quillon.example.demo import default_demo_folder, demo_index

import common
from common import percentile, spread_text, summary

CONNECTIONS = 32
WORKERS = (1, 2, 4)
WARM_UP = 2000


def parse_args(argv: list[str] | None):  # type: ignore[no-untyped-def]
    def more(parser):  # type: ignore[no-untyped-def]
        parser.add_argument("--dir", type=pathlib.Path, default=default_demo_folder(), help="where the example index is (built if missing)")

    counts = {
        "words": (300, 1000, "searches of the log to replay"),
        "requests": (3000, 20000, "requests per measured run"),
        "repeats": (1, 3, "runs per configuration"),
    }
    return common.parse_args(argv, __doc__, "3,000 requests a run, 1 run, 300 searches", counts, more=more)


def main(argv: list[str] | None = None) -> None:
    args = parse_args(argv)
    machine = common.machine_info()
    print(common.machine_line(machine))
    index_path = demo_index(args.dir)
    queries = typed_prefixes(args.dir / "search_log.parquet", args.words)
    print(f"replay: {len(queries):,} prefixes of the first {args.words:,} searches of the example log; "
          f"{args.requests:,} requests a run, {CONNECTIONS} connections, {args.repeats} runs each; index {index_path} "
          f"({index_path.stat().st_size:,} bytes)")
    report: dict[str, object] = {"machine": machine, "prefixes": len(queries), "requests": args.requests, "index_bytes": index_path.stat().st_size}

    index = Index.open(index_path)
    meter = common.CpuMeter()
    baseline = {name: in_process(index, queries, args.requests, videos_only, args.repeats) for name, videos_only in (("endpoint calls", False), ("Index.videos", True))}
    report["in_process_other_cores"] = meter.other_cores()
    for name, figures in baseline.items():
        print(f"in process, {name:<14}: {spread(figures['rps'])} calls/s, p50 {figures['p50_us']:.0f} µs, p99 {figures['p99_us']:.0f} µs")
    print(f"  {common.busy_text(report['in_process_other_cores'])}")
    report["in_process"] = baseline
    del index

    paths = [f"/api/suggest?q={urllib.parse.quote(q, safe='')}" for q in queries]
    served: dict[str, object] = {}
    with tempfile.TemporaryDirectory() as scratch:
        for workers in WORKERS:
            figures = over_http(index_path, workers, paths, args.requests, args.repeats, pathlib.Path(scratch))
            rps = statistics.median(figures["rps"])
            ratio = statistics.median(baseline["endpoint calls"]["rps"]) / rps
            print(
                f"{workers} worker{'s' if workers > 1 else ' '}: {spread(figures['rps'])} requests/s, "
                f"p50 {figures['p50_ms']:.2f} ms, p99 {figures['p99_ms']:.2f} ms; in-process calls are {ratio:.1f}x as many; "
                f"the client used {figures['client_cpu']:.0%} of one core; RSS per worker {mib(figures['worker_rss'])}"
                + (f" (supervisor {mib([figures['supervisor_rss']])})" if figures["supervisor_rss"] else "")
            )
            print(f"  {common.busy_text(figures['other_cores'])}")
            served[str(workers)] = figures
    report["served"] = served
    report["loadavg_end"] = os.getloadavg()
    print(common.load_line(report))
    common.write_json(args.json, report)


def typed_prefixes(log: pathlib.Path, words: int) -> list[str]:
    """Every prefix of the first ``words`` searches of the log, in order."""
    with duckdb.connect() as con:
        rows = con.execute(f"SELECT term FROM read_parquet('{log}') LIMIT {words}").fetchall()
    return common.prefixes_of(term for (term,) in rows)


def in_process(index: Index, queries: list[str], requests: int, videos_only: bool, repeats: int) -> dict[str, object]:
    """The replay answered by calls on one core; per-call latencies."""
    rates, latencies = [], []
    for _ in range(repeats):
        times = []
        clock = time.perf_counter
        for n in range(requests):
            q = queries[n % len(queries)]
            started = clock()
            max_dist = default_max_dist(index.normalize(q))
            if not videos_only:
                index.terms(q, max_dist, 10)
            index.videos(q, max_dist, 10)
            times.append(clock() - started)
        rates.append(requests / sum(times))
        latencies.extend(times)
    return {"rps": rates, "p50_us": percentile(latencies, 0.50) * 1e6, "p99_us": percentile(latencies, 0.99) * 1e6}


def over_http(index_path, workers, paths, requests, repeats, scratch) -> dict[str, object]:
    log = open(scratch / f"server-{workers}.log", "w")
    server = subprocess.Popen(
        [sys.executable, "-m", "quillon", "serve", str(index_path), "--port", "0", "--workers", str(workers)],
        stdout=subprocess.PIPE, stderr=log, text=True,
    )
    try:
        line = server.stdout.readline()
        host, port = line.split(" at http://", 1)[1].split("/ ", 1)[0].rsplit(":", 1)
        pids = worker_pids(f"http://{host}:{port}", workers)
        asyncio.run(replay(host, int(port), paths, min(requests, WARM_UP)))
        # The server's processes are not waited for until the end: their CPU
        # time is taken from /proc, so that the rest is what others used.
        serving = sorted({server.pid, *pids})
        others = common.OtherProcesses()
        server_cpu = sum(common.cpu_clock_seconds(pid) for pid in serving)
        rates, p50, p99, cpu = [], [], [], []
        for _ in range(repeats):
            seconds, client_seconds, latencies = asyncio.run(replay(host, int(port), paths, requests))
            rates.append(requests / seconds)
            p50.append(percentile(latencies, 0.50) * 1000)
            p99.append(percentile(latencies, 0.99) * 1000)
            cpu.append(client_seconds / seconds)
        others.add_worker_cpu(sum(common.cpu_clock_seconds(pid) for pid in serving) - server_cpu)
        other_cores = others.cores()
        worker_rss = [common.status_kib("VmRSS", pid) * 1024 for pid in pids]
        supervisor_rss = common.status_kib("VmRSS", server.pid) * 1024 if workers > 1 else None
    finally:
        server.terminate()
        server.wait(timeout=60)
        log.close()
    return {
        "rps": rates, "p50_ms": statistics.median(p50), "p99_ms": statistics.median(p99),
        "client_cpu": statistics.median(cpu), "worker_rss": worker_rss, "supervisor_rss": supervisor_rss,
        "other_cores": other_cores,
    }


async def replay(host: str, port: int, paths: list[str], requests: int) -> tuple[float, float, list[float]]:
    """``requests`` GETs of ``paths`` in turn over CONNECTIONS keep-alive
    connections; returns the wall time, this process's CPU time and each
    request's latency. Exits at the first failed request."""
    encoded = [f"GET {path} HTTP/1.1\r\nHost: {host}\r\n\r\n".encode() for path in paths]
    issued = 0
    latencies: list[float] = []

    async def connection() -> None:
        nonlocal issued
        reader, writer = await asyncio.open_connection(host, port)
        try:
            while issued < requests:
                request = encoded[issued % len(encoded)]
                issued += 1
                started = time.perf_counter()
                writer.write(request)
                head = await reader.readuntil(b"\r\n\r\n")
                length = re.search(rb"\r\ncontent-length: *(\d+)", head, re.I)
                body = await reader.readexactly(int(length.group(1))) if length else b""
                latencies.append(time.perf_counter() - started)
                if not head.startswith(b"HTTP/1.1 200 "):
                    sys.exit(f"serve_bench: {request!r} got {head.splitlines()[0]!r}: {body[:200]!r}")
        finally:
            writer.close()

    wall, cpu = time.perf_counter(), time.process_time()
    await asyncio.gather(*(connection() for _ in range(CONNECTIONS)))
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    if len(latencies) != requests:
        sys.exit(f"serve_bench: {len(latencies)} of {requests} requests answered")
    return wall, cpu, latencies


def worker_pids(url: str, workers: int) -> list[int]:
    """The pids of the workers, from /healthz, once every one answers."""
    seen: set[int] = set()
    deadline = time.monotonic() + 60
    while len(seen) < workers:
        if time.monotonic() > deadline:
            sys.exit(f"serve_bench: only {len(seen)} of {workers} workers answered")
        try:
            with urllib.request.urlopen(url + "/healthz", timeout=10) as response:
                seen.add(json.loads(response.read())["pid"])
        except OSError:
            time.sleep(0.1)
    return sorted(seen)


def spread(values: list[float]) -> str:
    return spread_text(summary(values), "{:,.0f}")


def mib(values: list[int]) -> str:
    return ", ".join(f"{value / 2**20:.0f} MiB" for value in values)


if __name__ == "__main__":
    main()
