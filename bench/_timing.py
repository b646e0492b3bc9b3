"""Shared timing for the benchmarks: thread CPU time, interleaved rounds,
min and median of the per-round ratios.

The machines these run on are shared, so wall-clock time and "best of N"
per side are both misleading: a burst of load elsewhere lands on one side
only. Each round times our side and the peer's side back to back (the order
alternating from round to round) on CPU time of this thread, and the ratio
is taken per round.
"""
import os
import statistics
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def use_dev_build():
    """Import `wirelet` from this checkout's development build (build/dev) when
    there is one, so the tree being measured is the tree checked out; else the
    installed package."""
    for d in ("build/dev", "build/release"):
        p = os.path.join(ROOT, d)
        if os.path.isdir(os.path.join(p, "wirelet")):
            if p not in sys.path:
                sys.path.insert(0, p)
            break
    try:
        import wirelet._wirelet  # noqa: F401
    except ImportError:
        raise SystemExit("wirelet is not importable: build it into build/dev or install it")


def clock():
    return time.thread_time()


def calibrate(fn, min_time):
    """The iteration count that makes fn(n) run at least min_time seconds."""
    n = 1
    while True:
        t0 = clock()
        fn(n)
        dt = clock() - t0
        if dt >= min_time or n >= 1 << 30:
            return n
        n = max(n * 2, int(n * min_time / max(dt, 1e-6) * 1.2))


def compare(ours, theirs, rounds=7, min_time=0.03):
    """Time ours(n) and theirs(n) in interleaved rounds.

    Both callables run n iterations of the same work. Returns a dict with
    the per-iteration seconds of each side (medians) and the min and median
    of the per-round speed ratios (their time / our time: above 1 means we
    are faster).
    """
    n_ours = calibrate(ours, min_time)
    n_theirs = calibrate(theirs, min_time)
    ratios, t_ours, t_theirs = [], [], []
    for r in range(rounds):
        sides = [(ours, n_ours, t_ours), (theirs, n_theirs, t_theirs)]
        if r % 2:
            sides.reverse()
        for fn, n, acc in sides:
            t0 = clock()
            fn(n)
            acc.append((clock() - t0) / n)
        ratios.append(t_theirs[-1] / t_ours[-1])
    return {
        "ours": statistics.median(t_ours),
        "theirs": statistics.median(t_theirs),
        "min": min(ratios),
        "median": statistics.median(ratios),
    }


def row(work, case, result, aim, peer):
    """One line of the results table: speed ratio against `aim` (higher is better)."""
    return {"work": work, "case": case, "min": result["min"], "median": result["median"],
            "aim": aim, "peer": peer, "ours": result.get("ours"), "theirs": result.get("theirs")}


def print_rows(rows):
    for r in rows:
        if r["aim"] is None:
            aim = "(info)"
        else:
            aim = f"aim >= {r['aim']:g}x  " + ("pass" if r["median"] >= r["aim"] else "FAIL")
        print(f"{r['work'] + ' / ' + r['case']:<62} min {r['min']:8.2f}x  median {r['median']:8.2f}x  {aim}")


def main_of(bench):
    """Entry point of a single benchmark file: `python bench/X.py [--quick]`."""
    quick = "--quick" in sys.argv[1:]
    print_rows(bench(quick))
