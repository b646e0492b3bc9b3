// Timing shared by the native benchmarks: thread CPU time, interleaved
// rounds, min and median of the per-round speed ratios.
#pragma once
#include <time.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <vector>

namespace bench {

inline double thread_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Iterations of fn(n) that take at least min_s of CPU.
template <class F>
size_t calibrate(F&& fn, double min_s) {
    size_t n = 1;
    for (;;) {
        double t0 = thread_seconds();
        fn(n);
        double dt = thread_seconds() - t0;
        if (dt >= min_s || n >= (size_t(1) << 32)) return n;
        size_t next = dt > 0 ? size_t(double(n) * min_s / dt * 1.2) : n * 10;
        n = std::max(n * 2, next);
    }
}

struct Ratio {
    double ours = 0, theirs = 0;  // median seconds per iteration
    double min = 0, median = 0;   // their time / our time, per round
};

inline double median_of(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

// Runs ours(n) and theirs(n) back to back each round, alternating which
// goes first, so load elsewhere on the machine falls on both alike.
template <class A, class B>
Ratio compare(A&& ours, B&& theirs, int rounds, double min_s = 0.05) {
    size_t na = calibrate(ours, min_s), nb = calibrate(theirs, min_s);
    std::vector<double> ta, tb, r;
    for (int i = 0; i < rounds; ++i) {
        for (int side = 0; side < 2; ++side) {
            bool first_ours = (i % 2 == 0);
            if ((side == 0) == first_ours) {
                double t0 = thread_seconds();
                ours(na);
                ta.push_back((thread_seconds() - t0) / double(na));
            } else {
                double t0 = thread_seconds();
                theirs(nb);
                tb.push_back((thread_seconds() - t0) / double(nb));
            }
        }
        r.push_back(tb.back() / ta.back());
    }
    Ratio out;
    out.ours = median_of(ta);
    out.theirs = median_of(tb);
    out.min = *std::min_element(r.begin(), r.end());
    out.median = median_of(r);
    return out;
}

// "ours is N times faster" (N below 1 when slower), min and median over rounds;
// the line run.py reads.
inline void report(const char* what, const Ratio& q) {
    std::printf("%s: ours %.3f us, theirs %.3f us; ours is %.2f times faster (min %.2f, median %.2f)\n",
                what, q.ours * 1e6, q.theirs * 1e6, q.median, q.min, q.median);
}

}  // namespace bench
