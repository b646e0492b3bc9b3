"""HTTP/1.1 server throughput: wirelet against uvicorn (httptools) and hypercorn (h11).

Each server runs the same ASGI application (wirelet.demo:app, GET /hello) in a
single process on loopback, all on the default asyncio event loop (uvicorn with
--loop asyncio, hypercorn with -k asyncio; none uses uvloop); wrk -t1 -c16
drives them in interleaved rounds.
Per round it records requests per second, the server process's CPU time per
request (user + system, from /proc) and wrk's p50 and p99 latency; ratios are
reported as the min and median of the per-round ratios.

Run: python bench/server_h1.py [--seconds S] [--rounds N] [--path /hello]
"""

import argparse
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import time

import _timing

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
APP = "wirelet.demo:app"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(port, proc, timeout=60.0):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if proc.poll() is not None:
            raise RuntimeError(f"server exited with {proc.returncode}: {proc.stderr.read().decode(errors='replace')}")
        try:
            socket.create_connection(("127.0.0.1", port), 0.2).close()
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("server did not start")


def server_commands(port):
    py = sys.executable
    cmds = {
        "wirelet": [py, "-m", "wirelet", "serve", APP, "--port", str(port), "--lifespan", "off",
                    "--log-level", "warning"],
        "uvicorn": [py, "-m", "uvicorn", APP, "--port", str(port), "--http", "httptools", "--loop", "asyncio",
                    "--no-access-log", "--lifespan", "off", "--log-level", "warning"],
        "hypercorn": [py, "-m", "hypercorn", APP, "--bind", f"127.0.0.1:{port}", "-k", "asyncio",
                      "--log-level", "warning"],
    }
    return cmds


def _stat(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[1]), int(fields[11]) + int(fields[12])  # parent, user + system ticks


def cpu_seconds(pid):
    """User plus system CPU time of a process and its descendants (a server
    may serve from a child process), in seconds."""
    stats = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                stats[int(entry)] = _stat(entry)
            except (OSError, IndexError):
                pass
    tree, ticks = {pid}, 0
    changed = True
    while changed:
        changed = False
        for p, (parent, _) in stats.items():
            if parent in tree and p not in tree:
                tree.add(p)
                changed = True
    for p in tree:
        ticks += stats.get(p, (0, 0))[1]
    return ticks / os.sysconf("SC_CLK_TCK")


def parse_latency(text, label):
    m = re.search(rf"^\s+{label}%\s+([\d.]+)(us|ms|s)\s*$", text, re.M)
    if not m:
        return float("nan")
    scale = {"us": 1e-3, "ms": 1.0, "s": 1e3}[m.group(2)]
    return float(m.group(1)) * scale


def run_wrk(port, seconds, path):
    out = subprocess.run(["wrk", "-t1", "-c16", f"-d{seconds}s", "--latency", f"http://127.0.0.1:{port}{path}"],
                         capture_output=True, text=True, check=True, timeout=seconds + 30).stdout
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    total = int(re.search(r"(\d+) requests in", out).group(1))
    errors = re.search(r"Non-2xx or 3xx responses: (\d+)|Socket errors: .*", out)
    return {"rps": rps, "requests": total, "p50": parse_latency(out, "50"), "p99": parse_latency(out, "99"),
            "errors": errors.group(0) if errors else None}


def server_env():
    """The environment that makes the servers import the same wirelet as this process."""
    _timing.use_dev_build()
    import wirelet

    env = dict(os.environ)
    env["PYTHONPATH"] = os.path.dirname(os.path.dirname(wirelet.__file__)) + os.pathsep + env.get("PYTHONPATH", "")
    return env


def measure(names, seconds, rounds, path):
    env = server_env()
    procs, ports = {}, {}
    try:
        for name in names:
            port = free_port()
            cmd = server_commands(port)[name]
            procs[name] = subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            ports[name] = port
            wait_listening(port, procs[name])
            run_wrk(port, 1, path)  # warm-up
        results = {name: [] for name in names}
        for _ in range(rounds):
            for name in names:
                pid = procs[name].pid
                before = cpu_seconds(pid)
                r = run_wrk(ports[name], seconds, path)
                r["cpu_us"] = (cpu_seconds(pid) - before) / max(r["requests"], 1) * 1e6
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


def report(results, base="wirelet"):
    lines = []
    for name, rows in results.items():
        rps = statistics.median(r["rps"] for r in rows)
        cpu = statistics.median(r["cpu_us"] for r in rows)
        p50 = statistics.median(r["p50"] for r in rows)
        p99 = statistics.median(r["p99"] for r in rows)
        errors = next((r["errors"] for r in rows if r["errors"]), None)
        lines.append(f"  {name:<10} {rps:>10,.0f} req/s  {cpu:>6.1f} us CPU/req  p50 {p50:6.2f} ms  p99 {p99:6.2f} ms"
                     + (f"  ({errors})" if errors else ""))
    for name, rows in results.items():
        if name == base:
            continue
        rps = [b["rps"] / o["rps"] for b, o in zip(results[base], rows)]
        cpu = [o["cpu_us"] / b["cpu_us"] for b, o in zip(results[base], rows)]
        lines.append(f"  {base} / {name}: req/s x{min(rps):.2f} min, x{statistics.median(rps):.2f} median;"
                     f" CPU per request x{min(cpu):.2f} min, x{statistics.median(cpu):.2f} median")
    return "\n".join(lines)


AIMS = {"uvicorn": 2.0, "hypercorn": 2.0}


def bench(quick=False):
    """Rows for bench/run.py: requests per second against each peer, with latency."""
    if shutil.which("wrk") is None:
        print("HTTP/1.1 server benchmark skipped: wrk is not installed", file=sys.stderr)
        return []
    results = measure(["wirelet", "uvicorn", "hypercorn"], 2 if quick else 4, 2 if quick else 3, "/hello")
    ours = results["wirelet"]
    rows = []
    for name in ("uvicorn", "hypercorn"):
        theirs = results[name]
        ratios = [o["rps"] / t["rps"] for o, t in zip(ours, theirs)]
        cpu = [t["cpu_us"] / o["cpu_us"] for o, t in zip(ours, theirs)]
        lat = (f"p50 {statistics.median(r['p50'] for r in ours):.2f} vs {statistics.median(r['p50'] for r in theirs):.2f}"
               f" ms, p99 {statistics.median(r['p99'] for r in ours):.2f} vs"
               f" {statistics.median(r['p99'] for r in theirs):.2f} ms")
        peer = "uvicorn (httptools)" if name == "uvicorn" else "hypercorn (h11)"
        rows.append({"work": f"HTTP/1.1 server req/s, wrk -t1 -c16, vs {peer}",
                     "case": f"GET /hello, default asyncio loop; {lat}",
                     "min": min(ratios), "median": statistics.median(ratios), "aim": AIMS[name], "peer": name})
        rows.append({"work": f"HTTP/1.1 server CPU per request vs {peer}", "case": "GET /hello",
                     "min": min(cpu), "median": statistics.median(cpu), "aim": None, "peer": name})
    return rows


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=int, default=3)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--path", default="/hello")
    parser.add_argument("--servers", default="wirelet,uvicorn,hypercorn")
    args = parser.parse_args(argv)
    if shutil.which("wrk") is None:
        print("wrk is not installed (Debian package wrk)")
        return 1
    names = args.servers.split(",")
    results = measure(names, args.seconds, args.rounds, args.path)
    print(f"HTTP/1.1, wrk -t1 -c16, GET {args.path}, {args.rounds} rounds x {args.seconds}s, one process each,"
          " every server on the default asyncio event loop")
    print(report(results))
    return 0


if __name__ == "__main__":
    sys.exit(main())
