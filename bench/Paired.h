#pragma once
// Paired rows: our side and the baseline run alternately, which of the two
// goes first alternating too, so that both halves of a pair meet the same
// machine; the row's figure is the median of the per-pair speed ratios
// (baseline time / our time), which a machine whose speed drifts between
// rows disturbs least.

#include <QtGlobal>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace paired {

// QUORBEL_BENCH_PAIRS, or `fallback`.
inline int pairsToRun(int fallback)
{
    return qEnvironmentVariableIsSet("QUORBEL_BENCH_PAIRS") ? qEnvironmentVariableIntValue("QUORBEL_BENCH_PAIRS") : fallback;
}

// Whether the row's name holds QUORBEL_BENCH_ROWS (all rows when unset).
inline bool rowSelected(const char* row)
{
    const QByteArray wanted = qgetenv("QUORBEL_BENCH_ROWS");
    return wanted.isEmpty() || QByteArray(row).contains(wanted);
}

inline double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Each side does the same amount of work and answers the seconds it took,
// or a negative number when it failed. Prints the row and answers its
// figure (0 when a side failed).
inline double printPairedRatio(const char* row, int pairs, const std::function<double()>& ours,
                               const std::function<double()>& baseline)
{
    std::vector<double> ratios, oursSeconds, baselineSeconds;
    for (int pair = 0; pair < pairs; ++pair) {
        double times[2] = {0, 0}; // ours, baseline
        for (int half = 0; half < 2; ++half) {
            const bool oursNow = (half == 0) == (pair % 2 == 0);
            times[oursNow ? 0 : 1] = oursNow ? ours() : baseline();
        }
        if (times[0] <= 0 || times[1] <= 0) {
            std::printf("paired ratio %s: not measured (the %s failed)\n", row, times[0] <= 0 ? "ours" : "baseline");
            return 0;
        }
        ratios.push_back(times[1] / times[0]);
        oursSeconds.push_back(times[0]);
        baselineSeconds.push_back(times[1]);
    }
    if (ratios.empty())
        return 0;
    const double figure = median(ratios);
    std::printf("paired ratio %s: %.2f\n", row, figure);
    std::printf("    (%d pairs, ratios %.2f-%.2f; medians: ours %.4g s, baseline %.4g s)\n", pairs,
                *std::min_element(ratios.begin(), ratios.end()), *std::max_element(ratios.begin(), ratios.end()),
                median(oursSeconds), median(baselineSeconds));
    return figure;
}

} // namespace paired
