"""score_boxes and `zelqviz score` against a short oracle of the matching and VOC AP."""
import json
import warnings

import numpy as np
import pytest

from zelq.viz import cli
from zelq.viz.scoring import score_boxes

BOX = [("t", "<i8"), ("x", "<f8"), ("y", "<f8"), ("w", "<f8"), ("h", "<f8"), ("class_id", "<i4")]
PRED = BOX + [("confidence", "<f4")]


def boxes(rows, dtype=BOX):
    return np.array([tuple(r) for r in rows], dtype)


def iou(a, b):
    ix = min(a["x"] + a["w"], b["x"] + b["w"]) - max(a["x"], b["x"])
    iy = min(a["y"] + a["h"], b["y"] + b["h"]) - max(a["y"], b["y"])
    if ix <= 0 or iy <= 0:
        return 0.0
    inter = ix * iy
    return inter / (a["w"] * a["h"] + b["w"] * b["h"] - inter)


def oracle(truth, pred, thr):
    """The matching and AP, transcribed: per label time, predictions by descending confidence."""
    hit = np.zeros(len(pred), bool)
    taken = np.zeros(len(truth), bool)
    labelled = set(truth["t"].tolist())
    for t in sorted(labelled):
        for j in sorted(np.flatnonzero(pred["t"] == t), key=lambda j: -pred["confidence"][j]):
            cands = [i for i in np.flatnonzero((truth["t"] == t) & (truth["class_id"] == pred["class_id"][j]))
                     if not taken[i]]
            if cands:
                best = max(cands, key=lambda i: (iou(truth[i], pred[j]), -i))
                if iou(truth[best], pred[j]) >= thr:
                    taken[best] = hit[j] = True
    scored = np.isin(pred["t"], list(labelled))
    out = {}
    for c in sorted(set(truth["class_id"].tolist()) | set(pred["class_id"][scored].tolist())):
        mine = [j for j in sorted(np.flatnonzero(scored & (pred["class_id"] == c)), key=lambda j: -pred["confidence"][j])]
        n = int((truth["class_id"] == c).sum())
        tp = np.cumsum(hit[mine])
        rec = [0.0] + list(tp / n if n else []) + [1.0]
        prec = [0.0] + list(tp / (np.arange(len(mine)) + 1)) + [0.0]
        for i in range(len(prec) - 2, -1, -1):
            prec[i] = max(prec[i], prec[i + 1])
        ap = sum((rec[i + 1] - rec[i]) * prec[i + 1] for i in range(len(rec) - 1)) if n else None
        out[str(c)] = (n, len(mine), int(hit[mine].sum()), ap)
    return out, hit, taken


def random_sets(rng, n_times=30, n_classes=3):
    truth, pred = [], []
    for t in range(n_times):
        for _ in range(rng.integers(0, 5)):
            x, y, w, h, c = *rng.uniform(0, 50, 2), *rng.uniform(2, 20, 2), rng.integers(0, n_classes)
            truth.append((t * 1000, x, y, w, h, c))
            if rng.random() < 0.8:  # a detection near it
                pred.append((t * 1000, x + rng.normal(0, 3), y + rng.normal(0, 3), w, h, c, rng.random()))
        for _ in range(rng.integers(0, 3)):  # false alarms, some at unlabelled times
            pred.append((t * 1000 + 500 * rng.integers(0, 2), *rng.uniform(0, 50, 2), *rng.uniform(2, 20, 2),
                         rng.integers(0, n_classes), rng.random()))
    return boxes(truth), boxes(pred, PRED)


@pytest.mark.parametrize("seed, thr", [(0, 0.5), (1, 0.3), (2, 0.75), (3, 1.0)])
def test_matches_oracle_on_random_sets(seed, thr):
    truth, pred = random_sets(np.random.default_rng(seed))
    got = score_boxes(truth, pred, iou=thr)
    want, hit, taken = oracle(truth, pred, thr)
    assert list(got) == ["classes", "all", "frames"]
    for name, (n, p, tp, ap) in want.items():
        r = got["classes"][name]
        assert (r["truth"], r["predicted"], r["tp"], r["fp"], r["fn"]) == (n, p, tp, p - tp, n - tp)
        assert r["ap"] == pytest.approx(ap, abs=1e-12) if ap is not None else r["ap"] is None
    aps = [v[3] for v in want.values() if v[3] is not None]
    assert got["all"]["ap"] == pytest.approx(np.mean(aps))
    assert got["all"]["tp"] == hit.sum() and got["all"]["fn"] == (~taken).sum()
    errors = [f[2] + f[3] for f in got["frames"]]
    assert errors == sorted(errors, reverse=True) and all(e > 0 for e in errors)


def test_known_hits_false_positives_and_misses(tmp_path, capsys):
    truth = boxes([(10, 0, 0, 10, 10, 0), (10, 20, 0, 10, 10, 0), (10, 40, 0, 10, 10, 1), (20, 0, 0, 10, 10, 0)])
    pred = boxes([(10, 1, 0, 10, 10, 0, 0.9),    # hit (IoU 0.818)
                  (10, 0, 0, 10, 10, 0, 0.8),    # its box is taken: a false positive
                  (10, 40, 0, 10, 10, 0, 0.7),   # right place, wrong class: a false positive
                  (20, 5, 0, 10, 10, 0, 0.6),    # IoU 1/3: a false positive, and a miss
                  (15, 0, 0, 10, 10, 0, 0.99)], PRED)  # not a label time: left out
    got = score_boxes(truth, pred, classes=["car", "person"])
    car, person = got["classes"]["car"], got["classes"]["person"]
    assert (car["tp"], car["fp"], car["fn"], car["predicted"]) == (1, 3, 2, 4)
    assert (person["tp"], person["fp"], person["fn"], person["precision"]) == (0, 0, 1, None)
    assert car["ap"] == pytest.approx(1 / 3) and person["ap"] == 0.0 and got["all"]["ap"] == pytest.approx(1 / 6)
    assert got["frames"] == [[10, 1, 2, 2], [20, 0, 1, 1]]
    np.save(tmp_path / "t.npy", truth)
    np.save(tmp_path / "p.npy", pred)
    assert cli.main(["score", str(tmp_path / "t.npy"), str(tmp_path / "p.npy"), "--classes", "car,person", "--json"]) == 0
    assert json.loads(capsys.readouterr().out) == json.loads(json.dumps(got))
    assert cli.main(["score", str(tmp_path / "t.npy"), str(tmp_path / "p.npy"), "--iou", "0.9"]) == 0
    assert "worst frames" in capsys.readouterr().out


def test_no_common_timestamps_warns_with_no_matches():
    truth = boxes([(10, 0, 0, 5, 5, 0)])
    pred = boxes([(11, 0, 0, 5, 5, 0, 1.0)], PRED)
    with pytest.warns(UserWarning, match="no timestamp in common"):
        got = score_boxes(truth, pred)
    assert (got["all"]["tp"], got["all"]["fp"], got["all"]["predicted"], got["all"]["fn"]) == (0, 0, 0, 1)


@pytest.mark.parametrize("make, text", [
    (lambda: np.zeros(2, [("t", "<i8"), ("x", "<f8")]), "lacks the fields"),
    (lambda: np.array([(0, "a", 0, 1, 1, 0)], [("t", "<i8"), ("x", "U2"), ("y", "<f8"), ("w", "<f8"), ("h", "<f8"), ("class_id", "<i4")]), "not a number"),
    (lambda: boxes([(0, np.nan, 0, 1, 1, 0)]), "NaN"),
    (lambda: boxes([(0, 0, 0, -1, 1, 0)]), "negative width"),
    (lambda: np.array([object()], object), "one-dimensional record array")])
def test_bad_box_arrays_are_named(make, text):
    good = boxes([(0, 0, 0, 1, 1, 0)])
    with pytest.raises(ValueError, match=text):
        score_boxes(make(), good)
    with pytest.raises(ValueError, match="predictions"):
        score_boxes(good, make())


def test_object_files_are_never_unpickled(tmp_path):
    np.save(tmp_path / "evil.npy", np.array([{"a": 1}], object), allow_pickle=True)
    with pytest.raises(ValueError, match="evil.npy"):
        score_boxes(tmp_path / "evil.npy", boxes([(0, 0, 0, 1, 1, 0)]))
    with pytest.raises(ValueError, match="iou"):
        score_boxes(boxes([]), boxes([]), iou=0)


@pytest.mark.parametrize("keys", ["t class confidence", "t class", "class confidence tie"])
@pytest.mark.parametrize("in_time_order", [True, False])
def test_box_orders_are_numpy_lexsorts_ties_included(keys, in_time_order):
    from zelq.viz import _native
    rng = np.random.default_rng(len(keys) + in_time_order)
    n = 5000
    t = rng.integers(0, 40, n) * 1000
    if in_time_order:
        t = np.sort(t)
    cols = {"t": t, "class": rng.integers(-1, 3, n), "confidence": rng.integers(0, 5, n) / 4.0,
            "tie": rng.permutation(n)}
    cols["confidence"][:50] = -0.0  # equal to 0.0, as lexsort takes it
    wanted = keys.split()
    order = _native.inspection()._order_boxes(*(cols[k] if k in wanted else None
                                                for k in ("t", "class", "confidence", "tie")))
    lex = {"t": cols["t"], "class": cols["class"], "confidence": -cols["confidence"], "tie": cols["tie"]}
    np.testing.assert_array_equal(order, np.lexsort([lex[k] for k in reversed(wanted)]))
