"""Runs every benchmark and writes bench/results/latest.md (work, today's
ratio, aim, pass or fail) and bench/results/latest.png (each ratio against
its aim).

    python bench/run.py [--quick] [--no-native]

The Python benchmarks use this checkout's development build in build/dev
when there is one, else the installed package. The native ones are built
into build/bench (needs cmake, ninja and libnghttp2's development files; the
head-parse one also the C tokenizer in ../shared/peers/picohttpparser) and
are skipped when that fails.
"""
import argparse
import datetime
import os
import platform
import re
import subprocess
import sys

import _timing

_timing.use_dev_build()

import client  # noqa: E402
import h1_body  # noqa: E402
import h1_parse  # noqa: E402
import h1_serialize  # noqa: E402
import h2_hpack  # noqa: E402
import h2_engine  # noqa: E402
import h2_exchange  # noqa: E402
import h2_memory  # noqa: E402
import server_h1  # noqa: E402
import server_h2  # noqa: E402

ROOT = _timing.ROOT
RESULTS = os.path.join(ROOT, "bench", "results")
NATIVE = os.path.join(ROOT, "build", "bench")
REPORT = re.compile(r"^(?P<what>.+?): ours .* ours is [\d.]+ times faster \(min (?P<min>[\d.]+), median (?P<median>[\d.]+)\)$")


def build_native():
    try:
        subprocess.run(["cmake", "-S", ROOT, "-B", NATIVE, "-G", "Ninja", "-DWIRELET_PYTHON=OFF",
                        "-DWIRELET_BENCH=ON", "-DCMAKE_BUILD_TYPE=Release"],
                       check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["ninja", "-C", NATIVE, "-j2"], check=True, stdout=subprocess.DEVNULL)
        return True
    except (OSError, subprocess.CalledProcessError) as e:
        print(f"native benchmarks skipped: {e}", file=sys.stderr)
        return False


def native_rows(quick):
    rows = []
    rounds = "3" if quick else "9"
    pico = os.path.join(NATIVE, "bench_h1_head_vs_picohttpparser")
    if os.path.exists(pico):
        for m in _run_native(pico, rounds):
            case = m["what"].removeprefix("head parse ").removesuffix(" vs picohttpparser")
            rows.append({"work": "native head parse (framing + HeaderList) vs picohttpparser",
                         "case": case, "min": float(m["min"]), "median": float(m["median"]),
                         "aim": 1 / 1.5, "peer": "picohttpparser"})
    else:
        print("native head-parse benchmark skipped (no ../shared/peers/picohttpparser)", file=sys.stderr)
    ng = os.path.join(NATIVE, "bench_hpack_vs_nghttp2")
    if os.path.exists(ng):
        for m in _run_native(ng, rounds):
            rows.append({"work": "native " + m["what"].replace(" vs nghttp2", "") + " vs libnghttp2",
                         "case": "hpack-test-case stories", "min": float(m["min"]),
                         "median": float(m["median"]), "aim": None, "peer": "libnghttp2"})
    return rows


def _run_native(path, rounds):
    out = subprocess.run([path, rounds], check=True, capture_output=True, text=True).stdout
    print(out, end="")
    return [m.groupdict() for line in out.splitlines() if (m := REPORT.match(line))]


def fmt_ratio(x):
    return f"{x:.2f}x" if x < 10 else f"{x:.1f}x"


def verdict(r):
    if r["aim"] is None:
        return "(info)"
    return "pass" if r["median"] >= r["aim"] else "FAIL"


def aim_text(r):
    if r["aim"] is None:
        return "-"
    if r.get("bytes") is not None:
        return f"<= {r.get('budget', 4096)} bytes"
    if r["aim"] < 1:
        return f"within {1 / r['aim']:.1f}x (>= {r['aim']:.2f}x)"
    return f">= {r['aim']:g}x"


def today_text(r):
    if r.get("bytes") is not None:
        return f"{r['bytes']:,.0f} bytes"
    return f"{fmt_ratio(r['median'])} (min {fmt_ratio(r['min'])})"


def write_markdown(rows, path, quick):
    commit = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"], capture_output=True,
                            text=True).stdout.strip() or "?"
    cpu = "?"
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), "?")
    except OSError:
        pass
    lines = [
        "# Benchmark results",
        "",
        f"{datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC, commit {commit}, "
        f"Python {platform.python_version()}, {os.cpu_count()} cores ({cpu})"
        + (", quick run" if quick else "")
        + f"; module: {os.path.relpath(sys.modules['wirelet._wirelet'].__file__, ROOT)}",
        "",
        "Speed ratios are the peer's time over ours for the same work (above 1: we are faster), "
        "thread CPU time, rounds interleaved; \"today\" is the median of the per-round ratios, "
        "with the smallest in brackets. Pass/fail judges the median.",
        "",
        "| work | case | today | aim | result |",
        "|---|---|---|---|---|",
    ]
    for r in rows:
        lines.append(f"| {r['work']} | {r['case']} | {today_text(r)} | {aim_text(r)} | {verdict(r)} |")
    judged = [r for r in rows if r["aim"] is not None]
    failed = [r for r in judged if verdict(r) == "FAIL"]
    lines += ["", f"{len(judged) - len(failed)} of {len(judged)} aims met."]
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def write_chart(rows, path):
    try:
        import matplotlib
    except ImportError:
        print("chart skipped: matplotlib is not installed (pip install .[bench])", file=sys.stderr)
        return
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = [r for r in rows if r["aim"] is not None]
    labels = [f"{r['work']}\n{r['case']}" for r in rows]
    fig, ax = plt.subplots(figsize=(13, 0.55 * len(rows) + 1.5))
    ys = range(len(rows))
    colors = ["#3a923a" if verdict(r) == "pass" else "#c83c3c" for r in rows]
    ax.barh(ys, [r["median"] for r in rows], color=colors, height=0.6)
    ax.scatter([r["min"] for r in rows], ys, marker="|", color="black", s=120, label="min of rounds", zorder=3)
    for y, r in zip(ys, rows):
        ax.plot([r["aim"], r["aim"]], [y - 0.4, y + 0.4], color="#1f4fa0", linewidth=2.5, zorder=4,
                label="aim" if y == 0 else None)
        ax.text(max(r["median"], r["aim"]) * 1.12, y, today_text(r), va="center", fontsize=8)
    ax.set_xscale("log")
    ax.set_xlim(right=max(max(r["median"], r["aim"]) for r in rows) * 6)
    ax.axvline(1.0, color="grey", linewidth=0.8, linestyle=":")
    ax.set_yticks(list(ys))
    ax.set_yticklabels(labels, fontsize=7.5)
    ax.invert_yaxis()
    ax.set_xlabel("speed ratio, peer time / our time (memory: budget / bytes used), log scale")
    ax.set_title("wirelet against its peers: median ratio per workload (green: aim met)")
    ax.legend(loc="lower right", fontsize=8)
    fig.tight_layout()
    fig.subplots_adjust(left=0.36)
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="fewer rounds and sizes")
    ap.add_argument("--no-native", action="store_true", help="skip the native benchmarks")
    args = ap.parse_args()
    rows = []
    for mod in (h1_parse, h1_body, h1_serialize, h2_hpack, h2_memory, h2_engine, h2_exchange, client, server_h1,
                server_h2):
        got = mod.bench(args.quick)
        _timing.print_rows(got)
        rows += got
    if not args.no_native and build_native():
        rows += native_rows(args.quick)
    order = ["head parse from Python", "head fed 1 byte", "chunked body", "native head parse",
             "HPACK decode from Python", "HPACK encode from Python", "response serialize", "H2Codec idle",
             "HTTP/2 exchange", "H2Streams",
             "native HPACK", "client requests", "HTTP/1.1 server", "HTTP/2 server"]
    rows.sort(key=lambda r: next((i for i, k in enumerate(order) if r["work"].startswith(k)), len(order)))
    os.makedirs(RESULTS, exist_ok=True)
    write_markdown(rows, os.path.join(RESULTS, "latest.md"), args.quick)
    write_chart(rows, os.path.join(RESULTS, "latest.png"))
    print(f"wrote {os.path.relpath(os.path.join(RESULTS, 'latest.md'))} and latest.png")


if __name__ == "__main__":
    main()
