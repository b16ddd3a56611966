"""The layer table of `layer_statistics` as text, for a terminal or a paper: one row per
node, a totals row and the energy model under it. The page draws the same columns."""
from __future__ import annotations

from typing import Any, Dict, List, Mapping, Optional

# (record key, heading)
COLUMNS = [("neurons", "neurons"), ("spikes", "spikes"), ("rate_hz", "rate (Hz)"), ("sparsity", "sparsity"),
           ("silent", "silent"), ("saturated", "saturated"), ("synops", "SynOps"), ("macs", "MACs"),
           ("energy_j", "energy (J)"), ("dense_energy_j", "dense energy (J)")]


def cell(key: str, value: Any) -> str:
    if value is None:
        return "-"
    if key in ("rate_hz",):
        return f"{value:.4g}"
    if key == "sparsity":
        return f"{value:.4f}"
    if key.endswith("_j"):
        return f"{value:.3e}"
    return f"{value:,}"


def energy_note(model: Mapping[str, float]) -> str:
    return (f"energy model: {model['ac_j']:.3g} J per accumulate (SynOp), {model['mac_j']:.3g} J per "
            "multiply-accumulate (dense MAC)")


def statistics_text(stats: Mapping[str, Any], types: Optional[Mapping[Any, str]] = None) -> str:
    """The table, aligned in columns, with the notes of what is missing under it."""
    types = types or {}
    head = ["node", "type"] + [h for _, h in COLUMNS]
    rows: List[List[str]] = []
    for node_id, r in stats["layers"].items():
        rows.append([str(node_id), types.get(node_id, "")] + [cell(k, r[k]) for k, _ in COLUMNS])
    rows.append(["total", ""] + [cell(k, stats["total"][k]) for k, _ in COLUMNS])
    widths = [max(len(x[i]) for x in [head] + rows) for i in range(len(head))]

    def line(cells: List[str]) -> str:
        return "  ".join(c.ljust(w) if i < 2 else c.rjust(w) for i, (c, w) in enumerate(zip(cells, widths))).rstrip()

    out = [line(head), line(["-" * w for w in widths])] + [line(r) for r in rows[:-1]]
    out += [line(["-" * w for w in widths]), line(rows[-1]), "", energy_note(stats["energy_model"])]
    notes = [f"  {node_id}: {r['why']}" for node_id, r in stats["layers"].items() if r["why"]]
    if notes:
        out += ["notes:"] + notes
    return "\n".join(out)


def statistics_json(stats: Mapping[str, Any]) -> Dict[str, Any]:
    """The statistics as JSON takes them: node ids as keys (text), numbers unchanged."""
    return {"layers": {str(k): dict(v) for k, v in stats["layers"].items()}, "total": dict(stats["total"]),
            "energy_model": dict(stats["energy_model"])}
