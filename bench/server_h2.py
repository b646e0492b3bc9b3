"""HTTP/2 server throughput: wirelet against hypercorn (which drives the h2
package), with nghttpd (C) serving a file of the same size as the native
reference.

wirelet and hypercorn run the same ASGI application (wirelet.demo:app, GET
/hello, 19 bytes) in a single process on loopback with prior knowledge;
nghttpd serves a 19-byte file. h2load -c10 -m10 drives each for a fixed time
in interleaved rounds; per round it records requests per second, the server
process's CPU time per request and the p50 and p99 request time (from
h2load's per-request log). Ratios are the min and median of per-round ratios.

Run: python bench/server_h2.py [--seconds S] [--rounds N]
"""

import argparse
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile

from server_h1 import cpu_seconds, free_port, server_env, wait_listening

APP = "wirelet.demo:app"
BODY = b"hello from wirelet\n"


def commands(port, docroot):
    py = sys.executable
    return {
        "wirelet": [py, "-m", "wirelet", "serve", APP, "--port", str(port), "--lifespan", "off",
                    "--log-level", "warning"],
        "hypercorn": [py, "-m", "hypercorn", APP, "--bind", f"127.0.0.1:{port}", "-k", "asyncio",
                      "--log-level", "warning"],
        "nghttpd": ["nghttpd", "--no-tls", "-n", "1", "-d", docroot, str(port)],
    }


def run_h2load(port, seconds, path):
    with tempfile.NamedTemporaryFile("r", suffix=".log") as log:
        out = subprocess.run(["h2load", "-c10", "-m10", f"-D{seconds}", "--warm-up-time=1", f"--log-file={log.name}",
                              f"http://127.0.0.1:{port}{path}"],
                             capture_output=True, text=True, timeout=seconds + 60).stdout
        times = sorted(int(line.split("\t")[2]) for line in log if line.count("\t") >= 2)
    m = re.search(r"requests: (\d+) total, \d+ started, (\d+) done, (\d+) succeeded, (\d+) failed, (\d+) errored", out)
    if not m or not times:
        raise RuntimeError("h2load failed:\n" + out)
    done, failed, errored = int(m.group(2)), int(m.group(4)), int(m.group(5))
    rps = float(re.search(r"finished in [\d.]+\w+, ([\d.]+) req/s", out).group(1))
    return {"rps": rps, "requests": done, "p50": times[len(times) // 2] / 1000,
            "p99": times[min(len(times) - 1, len(times) * 99 // 100)] / 1000, "failed": failed + errored}


def measure(names, seconds, rounds):
    env = server_env()
    procs, ports = {}, {}
    with tempfile.TemporaryDirectory() as docroot:
        with open(os.path.join(docroot, "hello"), "wb") as f:
            f.write(BODY)
        try:
            for name in names:
                port = free_port()
                procs[name] = subprocess.Popen(commands(port, docroot)[name], env=env, stdout=subprocess.DEVNULL,
                                               stderr=subprocess.DEVNULL)
                ports[name] = port
                wait_listening(port, procs[name])
            results = {name: [] for name in names}
            for _ in range(rounds):
                for name in names:
                    pid = procs[name].pid
                    before = cpu_seconds(pid)
                    r = run_h2load(ports[name], seconds, "/hello")
                    # The warm-up second is served too: count its CPU with the measured time.
                    r["cpu_us"] = (cpu_seconds(pid) - before) / max(r["requests"], 1) * 1e6 * seconds / (seconds + 1)
                    results[name].append(r)
            return results
        finally:
            for proc in procs.values():
                proc.send_signal(signal.SIGINT)
            for proc in procs.values():
                try:
                    proc.wait(10)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()


def rows_of(results):
    ours = results["wirelet"]
    rows = []
    for name, aim, peer in (("hypercorn", 5.0, "hypercorn (h2)"), ("nghttpd", None, "nghttpd (C, static file)")):
        if name not in results:
            continue
        theirs = results[name]
        ratios = [o["rps"] / t["rps"] for o, t in zip(ours, theirs)]
        lat = (f"p50 {statistics.median(r['p50'] for r in ours):.2f} vs {statistics.median(r['p50'] for r in theirs):.2f}"
               f" ms, p99 {statistics.median(r['p99'] for r in ours):.2f} vs"
               f" {statistics.median(r['p99'] for r in theirs):.2f} ms")
        cpu = [t["cpu_us"] / o["cpu_us"] for o, t in zip(ours, theirs)]
        rows.append({"work": f"HTTP/2 server req/s, h2load -c10 -m10, vs {peer}", "case": f"GET /hello; {lat}",
                     "min": min(ratios), "median": statistics.median(ratios), "aim": aim, "peer": name})
        rows.append({"work": f"HTTP/2 server CPU per request vs {peer}", "case": "GET /hello",
                     "min": min(cpu), "median": statistics.median(cpu), "aim": None, "peer": name})
    return rows


def bench(quick=False):
    """Rows for bench/run.py."""
    if shutil.which("h2load") is None:
        print("HTTP/2 server benchmark skipped: h2load is not installed", file=sys.stderr)
        return []
    names = ["wirelet", "hypercorn"] + (["nghttpd"] if shutil.which("nghttpd") else [])
    return rows_of(measure(names, 2 if quick else 4, 2 if quick else 3))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=int, default=3)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args(argv)
    if shutil.which("h2load") is None:
        print("h2load is not installed (Debian package nghttp2-client)")
        return 1
    names = ["wirelet", "hypercorn"] + (["nghttpd"] if shutil.which("nghttpd") else [])
    results = measure(names, args.seconds, args.rounds)
    print(f"HTTP/2, h2load -c10 -m10, GET /hello (19 bytes), {args.rounds} rounds x {args.seconds}s, one process each")
    for name, rows in results.items():
        rps = statistics.median(r["rps"] for r in rows)
        cpu = statistics.median(r["cpu_us"] for r in rows)
        failed = sum(r["failed"] for r in rows)
        print(f"  {name:<10} {rps:>10,.0f} req/s  {cpu:>6.1f} us CPU/req  p50 {statistics.median(r['p50'] for r in rows):6.2f} ms"
              f"  p99 {statistics.median(r['p99'] for r in rows):6.2f} ms" + (f"  ({failed} failed)" if failed else ""))
    for r in rows_of(results):
        print(f"  {r['work']}: x{r['min']:.2f} min, x{r['median']:.2f} median")
    return 0


if __name__ == "__main__":
    sys.exit(main())
