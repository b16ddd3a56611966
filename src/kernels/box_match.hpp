// Greedy matching of predicted boxes to truth boxes, as detection scores count them.
//
// Contract: both sets come sorted by (time, class); predictions within one
// (time, class) group in the order they are to be taken (descending
// confidence). Each prediction takes the unmatched truth box of its group with
// the highest IoU (the first such box on ties) when that IoU is at least the
// threshold; otherwise it is a false positive. Truth boxes left unmatched are
// misses. IoU is computed on the boxes' own coordinates (x, y the corner,
// w, h the size), with no +1 pixel; boxes without area overlap nothing.
//
// order_boxes gives the orders the scoring needs: indices sorted by time, then
// class, then descending confidence, then a tie key, each key optional; rows
// equal in every key keep their index order (NumPy's lexsort, stable).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zv::kern {

struct BoxColumns {
    const int64_t* t = nullptr;
    const int64_t* cls = nullptr;
    const double *x = nullptr, *y = nullptr, *w = nullptr, *h = nullptr;
    size_t n = 0;
};

struct OrderKeys {
    const int64_t* t = nullptr;         // ascending
    const int64_t* cls = nullptr;       // ascending
    const double* confidence = nullptr; // descending (finite values)
    const int64_t* tie = nullptr;       // ascending
    size_t n = 0;
};

// Keys are copied beside their index and sorted as records: the comparisons read
// memory in order instead of gathering from four columns.
inline std::vector<int64_t> order_boxes(const OrderKeys& k) {
    struct Row {
        int64_t t, cls;
        double negated_confidence;
        int64_t tie, index;
    };
    std::vector<Row> rows(k.n);
    for (size_t i = 0; i < k.n; ++i)
        rows[i] = {k.t ? k.t[i] : 0, k.cls ? k.cls[i] : 0, k.confidence ? -k.confidence[i] : 0.0,
                   k.tie ? k.tie[i] : 0, static_cast<int64_t>(i)};
    const auto before = [](const Row& a, const Row& b) {
        if (a.t != b.t) return a.t < b.t;
        if (a.cls != b.cls) return a.cls < b.cls;
        if (a.negated_confidence != b.negated_confidence) return a.negated_confidence < b.negated_confidence;
        if (a.tie != b.tie) return a.tie < b.tie;
        return a.index < b.index;
    };
    // Boxes come in time order: then only each timestamp's own rows need sorting.
    const bool in_time_order = k.t && std::is_sorted(k.t, k.t + k.n);
    if (!in_time_order) {
        std::sort(rows.begin(), rows.end(), before);
    } else {
        for (size_t lo = 0; lo < k.n;) {
            size_t hi = lo + 1;
            while (hi < k.n && rows[hi].t == rows[lo].t) ++hi;
            std::sort(rows.begin() + static_cast<std::ptrdiff_t>(lo), rows.begin() + static_cast<std::ptrdiff_t>(hi), before);
            lo = hi;
        }
    }
    std::vector<int64_t> order(k.n);
    for (size_t i = 0; i < k.n; ++i) order[i] = rows[i].index;
    return order;
}

inline double box_iou(const BoxColumns& a, size_t i, const BoxColumns& b, size_t j) {
    const double ix = std::min(a.x[i] + a.w[i], b.x[j] + b.w[j]) - std::max(a.x[i], b.x[j]);
    const double iy = std::min(a.y[i] + a.h[i], b.y[j] + b.h[j]) - std::max(a.y[i], b.y[j]);
    if (!(ix > 0 && iy > 0)) return 0;
    const double inter = ix * iy;
    const double uni = a.w[i] * a.h[i] + b.w[j] * b.h[j] - inter;
    return uni > 0 ? inter / uni : 0;
}

// hit[j] for each prediction j (1: a true positive), taken[i] for each truth box i.
inline void match_boxes(const BoxColumns& truth, const BoxColumns& pred, double threshold, uint8_t* hit,
                        uint8_t* taken) {
    const auto before = [](const BoxColumns& a, size_t i, const BoxColumns& b, size_t j) {
        return a.t[i] < b.t[j] || (a.t[i] == b.t[j] && a.cls[i] < b.cls[j]);
    };
    size_t ti = 0;
    for (size_t pj = 0; pj < pred.n;) {
        size_t pend = pj + 1;  // the prediction group [pj, pend)
        while (pend < pred.n && pred.t[pend] == pred.t[pj] && pred.cls[pend] == pred.cls[pj]) ++pend;
        while (ti < truth.n && before(truth, ti, pred, pj)) ++ti;
        size_t tend = ti;  // the truth group [ti, tend) of the same time and class
        while (tend < truth.n && truth.t[tend] == pred.t[pj] && truth.cls[tend] == pred.cls[pj]) ++tend;
        for (size_t j = pj; j < pend; ++j) {
            double best = -1;
            size_t best_i = tend;
            for (size_t i = ti; i < tend; ++i) {
                if (taken[i]) continue;
                const double v = box_iou(truth, i, pred, j);
                if (v > best) {
                    best = v;
                    best_i = i;
                }
            }
            if (best_i < tend && best >= threshold) {
                taken[best_i] = 1;
                hit[j] = 1;
            }
        }
        pj = pend;
    }
}

}  // namespace zv::kern
