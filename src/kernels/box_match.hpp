// Greedy matching of predicted boxes to truth boxes, as detection scores count them.
//
// Contract: both sets come sorted by (time, class); predictions within one
// (time, class) group in the order they are to be taken (descending
// confidence). Each prediction takes the unmatched truth box of its group with
// the highest IoU (the first such box on ties) when that IoU is at least the
// threshold; otherwise it is a false positive. Truth boxes left unmatched are
// misses. IoU is computed on the boxes' own coordinates (x, y the corner,
// w, h the size), with no +1 pixel; boxes without area overlap nothing.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace zv::kern {

struct BoxColumns {
    const int64_t* t = nullptr;
    const int64_t* cls = nullptr;
    const double *x = nullptr, *y = nullptr, *w = nullptr, *h = nullptr;
    size_t n = 0;
};

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
