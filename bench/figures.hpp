// The small sums every benchmark prints: how long a piece took, and the
// median of runs.
#pragma once

#include <algorithm>
#include <chrono>
#include <vector>

namespace bench {

// The seconds fn took.
template <typename Fn>
double seconds(Fn fn) {
    const auto t0 = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The middle value (the upper one of an even count); v must not be empty.
inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace bench
