#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

namespace qst::bench {

// Median wall time of `runs` calls, in seconds. Medians keep a shared, noisy machine from
// deciding the figure.
inline double MedianSeconds(int runs, const std::function<void()> &job)
{
    std::vector<double> times;
    times.reserve(static_cast<size_t>(runs));
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        job();
        times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

inline void Report(const char *job, const char *subject, double seconds, const char *baseline, double baselineSeconds)
{
    std::printf("%-34s %-26s %10.3f ms   baseline (%s) %10.3f ms   ratio %.1fx\n", job, subject, seconds * 1e3,
                baseline, baselineSeconds * 1e3, baselineSeconds / seconds);
}

} // namespace qst::bench
