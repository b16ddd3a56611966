"""Detection of architectural patterns in a graph, and their grouping.

A graph here is anything with `nodes` (a mapping from identifier to node,
whose class name is the node type) and `edges` (pairs of identifiers).

Joins: a `Concat` node stacks its inputs; any other node with several inputs
sums them, unless the shapes say otherwise (graphs that fold a concatenation
into its consumer): when the inputs' channel counts add up to the node's
input channels, and differ from them, the node stacks. With unknown shapes
such a node counts as a sum. A stacking join is never a skip or RepConv join.

Patterns found:

* RepConv: a node forks into two or more parallel branches of linear layers
  (convolutions, affine maps, scales; each branch starting with a
  convolution or affine map) that are summed by one node; a direct edge from
  the fork to the join, or a branch of scales only (a folded batch norm),
  counts as an identity branch.
* SPP: a node forks into two or more single pooling layers of different
  kernel sizes that join (are concatenated) into one node.
* SPPF: a sequential chain of two or more pooling layers sharing one kernel
  size, each feeding the next.
* SkipConnection: a summing join with exactly two inputs: a processing
  region that enters only from one source node and leaves only into the
  join, and a shortcut from the same source: a direct edge, or a short
  chain of layers (a projection convolution, maybe with a pooling before it
  and a scale or spiking layer after it) that is lighter than the region.

Group members are the layers inside the pattern (never the fork or join), so
patterns nest: a RepConv block or a residual inside a residual's processing
region lies inside that group. A skip's shortcut layers are members too.
"""
from __future__ import annotations

import operator
from collections import defaultdict
from dataclasses import dataclass, field
from typing import Any

__all__ = ["PatternMatch", "detect_all_patterns", "detect_repconv_patterns", "detect_spp_patterns",
           "detect_sppf_patterns", "detect_skip_patterns", "build_group_hierarchy"]

LINEAR_TYPES = frozenset({"Conv1d", "Conv2d", "Affine", "Linear", "Scale"})
BRANCH_HEADS = frozenset({"Conv1d", "Conv2d", "Affine", "Linear"})
POOL_TYPES = frozenset({"SumPool2d", "AvgPool2d", "MaxPool2d"})
IDENTITY_TYPES = frozenset({"Scale"})  # a branch of these alone is an identity up to a folded norm
SHORTCUT_TYPES = BRANCH_HEADS | POOL_TYPES | IDENTITY_TYPES | {"LIF", "CubaLIF", "IF", "LI", "Integrator"}
MAX_SKIP_REGION = 256  # larger bypassed regions are not reported as one skip
MAX_SHORTCUT = 4  # pool, projection, norm, spiking layer


@dataclass
class PatternMatch:
    pattern_type: str
    group_id: str
    nodes: list = field(default_factory=list)
    entry_nodes: list = field(default_factory=list)
    exit_nodes: list = field(default_factory=list)
    metadata: dict = field(default_factory=dict)


class _Topology:
    """Adjacency of a graph, edges in their given order."""

    def __init__(self, graph: Any) -> None:
        self.nodes = dict(graph.nodes.items())
        self.order = {n: i for i, n in enumerate(self.nodes)}
        self.succ: dict[Any, list] = defaultdict(list)
        self.pred: dict[Any, list] = defaultdict(list)
        for src, dst in graph.edges:
            if src in self.nodes and dst in self.nodes:
                self.succ[src].append(dst)
                self.pred[dst].append(src)

    def rank(self) -> dict:
        """Topological position of every node outside a cycle (Kahn's order)."""
        if not hasattr(self, "_rank"):
            indeg = {n: len(self.pred[n]) for n in self.nodes}
            ready = [n for n, d in indeg.items() if d == 0]
            self._rank: dict[Any, int] = {}
            while ready:
                n = ready.pop()
                self._rank[n] = len(self._rank)
                for q in self.succ[n]:
                    indeg[q] -= 1
                    if indeg[q] == 0:
                        ready.append(q)
        return self._rank

    def type(self, n) -> str:
        return type(self.nodes[n]).__name__

    def stacks(self, n) -> bool:
        """Whether join `n` stacks its inputs rather than summing them."""
        if self.type(n) == "Concat":
            return True
        preds = self.pred[n]
        if len(preds) < 2:
            return False
        c_in = _channels(self.nodes[n], "input")
        counts = [_channels(self.nodes[p], "output") for p in preds]
        if c_in is None or None in counts:
            return False
        return sum(counts) == c_in and any(c != c_in for c in counts)

    def forks(self) -> list:
        """_forks(self), walked once for every detector that asks."""
        if not hasattr(self, "_forks"):
            self._forks = list(_forks(self))
        return self._forks

    def repconv(self) -> list:
        if not hasattr(self, "_repconv"):
            self._repconv = _repconv(self)
        return self._repconv

    def sorted(self, items):
        return sorted(items, key=self.order.__getitem__)

    def boundary(self, members):
        """(entry_nodes, exit_nodes) of a member set, in graph order."""
        s = set(members)
        ordered = self.sorted(s)
        entry = [n for n in ordered if not self.pred[n] or any(p not in s for p in self.pred[n])]
        exit_ = [n for n in ordered if not self.succ[n] or any(q not in s for q in self.succ[n])]
        return entry, exit_


def _kernel(node):
    k = getattr(node, "kernel_size", None)
    if k is None:
        return None
    if hasattr(k, "tolist"):
        k = k.tolist()
    if isinstance(k, (int, float)):
        return [int(k), int(k)]
    return [int(v) for v in k]


def _dims(value):
    """A flat shape as a tuple of ints, or None when `value` is not one."""
    if hasattr(value, "tolist"):
        value = value.tolist()
    if not isinstance(value, (tuple, list)):
        return None
    try:
        return tuple(operator.index(v) for v in value)
    except TypeError:
        return None


def _channels(node, side):
    """Channel count (first dimension) of a node's "input" or "output", or None when unknown."""
    held = getattr(node, f"{side}_type", None)
    shape = _dims(held.get(side)) if isinstance(held, dict) else None
    if shape:
        return shape[0]
    if type(node).__name__ not in BRANCH_HEADS:
        return None
    # A weighted layer knows its channels from its weight even without a declared shape.
    w = _dims(getattr(getattr(node, "weight", None), "shape", None))
    if not w or len(w) < 2:
        return None
    if side == "output":
        return w[0]
    groups = getattr(node, "groups", 1)
    return w[1] * groups if type(groups) is int and groups > 0 else None


def _conv_kernel(node):
    w = getattr(node, "weight", None)
    shape = getattr(w, "shape", None)
    if shape is None or len(shape) < 3:
        return None
    return [int(v) for v in shape[2:]]


def _forks(t: _Topology):
    """For each fork, its branches grouped by the node they join into.

    A branch is the chain of single-input, single-output nodes that starts at
    one successor of the fork; an empty chain is a direct edge (identity).
    Yields (fork, join, [chain, ...]) for joins reached by two or more branches.
    """
    for fork in t.nodes:
        outs = t.succ[fork]
        if len(outs) < 2:
            continue
        by_join: dict[Any, list] = {}
        for s in dict.fromkeys(outs):
            chain, cur, seen = [], s, set()
            while len(t.pred[cur]) == 1 and len(t.succ[cur]) == 1 and cur not in seen:
                seen.add(cur)
                chain.append(cur)
                cur = t.succ[cur][0]
            if cur == fork or cur in seen:
                continue
            by_join.setdefault(cur, []).append(chain)
        for join, chains in by_join.items():
            if len(chains) >= 2:
                yield fork, join, chains


def _match(t, kind, index, members, metadata):
    nodes = t.sorted(set(members))
    entry, exit_ = t.boundary(nodes)
    return PatternMatch(kind, f"{kind.lower()}_{index}", nodes, entry, exit_, metadata)


def _branch_kind(t, chain):
    """Kind of a branch: "conv" (linear layers headed by a weighted one), "identity"
    (empty, or scales only) or None."""
    if all(t.type(n) in IDENTITY_TYPES for n in chain):
        return "identity"
    if t.type(chain[0]) in BRANCH_HEADS and all(t.type(n) in LINEAR_TYPES for n in chain):
        return "conv"
    return None


def _repconv(t: _Topology):
    found: list[PatternMatch] = []
    for fork, join, chains in t.forks():
        kinds = [_branch_kind(t, c) for c in chains]
        if None in kinds or kinds.count("conv") < 2 or t.stacks(join):
            continue
        branches = []
        for c, kind in zip(chains, kinds):
            if kind == "conv":
                branches.append({"type": t.type(c[0]), "nodes": list(c), "kernel_size": _conv_kernel(t.nodes[c[0]])})
            else:
                branches.append({"type": t.type(c[0]) if c else "Identity", "nodes": list(c), "kernel_size": None})
        meta = {"branches": branches, "fork": fork, "join": join}
        found.append(_match(t, "RepConv", len(found), [n for c in chains for n in c], meta))
    return found


def _spp(t: _Topology):
    found: list[PatternMatch] = []
    for fork, join, chains in t.forks():
        real = [c for c in chains if c]
        if len(real) < 2 or not all(len(c) == 1 and t.type(c[0]) in POOL_TYPES for c in real):
            continue
        kernels = [_kernel(t.nodes[c[0]]) for c in real]
        if len({tuple(k) if k else None for k in kernels}) < 2:
            continue
        meta = {"num_scales": len(real), "pool_kernels": kernels, "fork": fork, "join": join,
                "identity": any(not c for c in chains)}
        found.append(_match(t, "SPP", len(found), [c[0] for c in real], meta))
    return found


def _sppf(t: _Topology):
    def link(a):
        """The next pool of a chain after pool `a`, or None."""
        for b in t.succ[a]:
            if (t.type(b) == t.type(a) and len(t.pred[b]) == 1 and _kernel(t.nodes[b]) == _kernel(t.nodes[a])):
                return b
        return None

    pools = [n for n in t.nodes if t.type(n) in POOL_TYPES]
    has_prev = {b for a in pools if (b := link(a)) is not None}
    found: list[PatternMatch] = []
    for head in pools:
        if head in has_prev:
            continue
        chain, cur = [head], link(head)
        while cur is not None and cur not in chain:
            chain.append(cur)
            cur = link(cur)
        if len(chain) < 2:
            continue
        meta = {"chain_depth": len(chain), "kernel_size": _kernel(t.nodes[head]), "pool_type": t.type(head)}
        if len(t.pred[head]) == 1:
            meta["source"] = t.pred[head][0]
        joins = set.intersection(*(set(t.succ[n]) for n in chain)) - set(chain)
        if len(joins) == 1:
            meta["join"] = joins.pop()
        found.append(_match(t, "SPPF", len(found), chain, meta))
    return found


def _skip(t: _Topology):
    rep_joins = {p.metadata["join"] for p in t.repconv()}
    found: list[PatternMatch] = []
    for join in t.nodes:
        preds = t.pred[join]
        if len(preds) != 2 or preds[0] == preds[1] or join in rep_joins or t.stacks(join):
            continue
        for source, shortcut, last in _skip_candidates(t, preds, join):
            region = _bypassed_region(t, source, last, join)
            if region is None:
                continue
            path = _longest_path(t, region, source)
            if shortcut and not _lighter(t, shortcut, path):
                continue
            meta = {"processing_depth": len(path), "path_types": [t.type(n) for n in path],
                    "source": source, "join": join}
            if shortcut:
                meta["shortcut"] = shortcut
                meta["shortcut_types"] = [t.type(n) for n in shortcut]
            found.append(_match(t, "SkipConnection", len(found), [*region, *shortcut], meta))
            break
    return found


def _skip_candidates(t, preds, join):
    """(source, shortcut layers, last node of the processed path): a direct shortcut first
    (from either input), then a shortcut with layers of its own."""
    for source, last in (preds, preds[::-1]):
        yield source, [], last
    for tail, last in (preds, preds[::-1]):
        found = _shortcut(t, tail, join)
        if found is not None:
            yield found[0], found[1], last


def _shortcut(t, tail, join):
    """(source, chain) when `tail` ends a short chain of shortcut layers from a fork into `join`."""
    chain, cur, nxt = [], tail, join
    while len(chain) < MAX_SHORTCUT:
        if t.type(cur) not in SHORTCUT_TYPES or len(t.pred[cur]) != 1 or t.succ[cur] != [nxt]:
            return None
        chain.append(cur)
        src = t.pred[cur][0]
        if len(t.succ[src]) >= 2:
            chain.reverse()
            if sum(t.type(n) in BRANCH_HEADS for n in chain) > 1:
                return None  # a shortcut projects once
            return src, chain
        nxt, cur = cur, src
    return None


def _lighter(t, shortcut, path):
    """Whether a shortcut is lighter than the processed path it bypasses."""
    if len(shortcut) != len(path):
        return len(shortcut) < len(path)
    weighted = lambda nodes: any(t.type(n) in BRANCH_HEADS for n in nodes)  # noqa: E731
    return not weighted(shortcut) and weighted(path)


def _bypassed_region(t, source, last, join):
    """Nodes between `source` and `join` through `last`, if they form a closed region."""
    if last == source or source in t.pred[source]:
        return None
    rank = t.rank()
    floor = rank.get(source)

    def before_source(n):
        # Not a descendant of the source, so outside any region it opens.
        r = rank.get(n)
        return floor is not None and r is not None and r <= floor

    if before_source(last):
        return None
    region, stack = {last}, [last]
    while stack:
        n = stack.pop()
        for p in t.pred[n]:
            if p == source or p in region:
                continue
            if p == join or len(region) >= MAX_SKIP_REGION or before_source(p):
                return None
            region.add(p)
            stack.append(p)
    for n in region:
        if not t.pred[n] or any(p != source and p not in region for p in t.pred[n]):
            return None
        if any(q != join and q not in region for q in t.succ[n]):
            return None
    if not any(q in region for q in t.succ[source]):
        return None
    return region


def _longest_path(t: _Topology, region: set, source: Any) -> list:
    """The longest chain of region nodes from the source's side (Kahn order)."""
    indeg = {n: sum(1 for p in t.pred[n] if p in region) for n in region}
    ready = t.sorted(n for n, d in indeg.items() if d == 0)
    best: dict[Any, list] = {n: [n] for n in ready}
    done = 0
    while ready:
        n = ready.pop(0)
        done += 1
        for q in t.succ[n]:
            if q not in region:
                continue
            if len(best[n]) + 1 > len(best.get(q, ())):
                best[q] = best[n] + [q]
            indeg[q] -= 1
            if indeg[q] == 0:
                ready.append(q)
    if done != len(region):  # a cycle: fall back to graph order
        return t.sorted(region)
    return max(best.values(), key=len)


def detect_repconv_patterns(graph) -> list:
    """RepConv blocks of `graph`, in the order of their fork nodes."""
    return _repconv(_Topology(graph))


def detect_spp_patterns(graph) -> list:
    return _spp(_Topology(graph))


def detect_sppf_patterns(graph) -> list:
    return _sppf(_Topology(graph))


def detect_skip_patterns(graph) -> list:
    return _skip(_Topology(graph))


def detect_all_patterns(graph) -> list:
    """Every pattern of `graph`: RepConv, SPP, SPPF, then SkipConnection matches."""
    t = _Topology(graph)
    return t.repconv() + _spp(t) + _sppf(t) + _skip(t)


def build_group_hierarchy(graph, patterns) -> dict:
    """Nesting of the pattern groups.

    Returns {"node_to_group": node -> innermost (smallest) group id holding
    it, "parent": group id -> id of the smallest group that contains it (or
    None), "children": group id -> list of child ids, "roots": top-level
    group ids, "overlaps": pairs of group ids that share nodes without
    nesting}. Of two groups with the same members the earlier one is the
    parent.
    """
    patterns = list(patterns)
    members = [set(p.nodes) for p in patterns]
    holding: dict[Any, list] = defaultdict(list)
    for i, s in enumerate(members):
        for n in s:
            holding[n].append(i)

    parent: dict[Any, Any] = {}
    overlaps = set()
    for i, s in enumerate(members):
        best = None
        near = {j for n in s for j in holding[n] if j != i}
        for j in sorted(near):
            if s < members[j] or (s == members[j] and j < i):
                # Innermost candidate; of equal ones the later, which nests in the earlier.
                if best is None or (len(members[j]), -j) < (len(members[best]), -best):
                    best = j
            elif not members[j] <= s:
                overlaps.add((min(i, j), max(i, j)))
        parent[patterns[i].group_id] = None if best is None else patterns[best].group_id

    children: dict[Any, list] = {p.group_id: [] for p in patterns}
    for gid, par in parent.items():
        if par is not None:
            children[par].append(gid)

    node_to_group = {}
    for n in graph.nodes:
        holders = holding.get(n)
        if holders:
            inner = min(holders, key=lambda j: (len(members[j]), -j))
            node_to_group[n] = patterns[inner].group_id
    return {
        "node_to_group": node_to_group,
        "parent": parent,
        "children": children,
        "roots": [p.group_id for p in patterns if parent[p.group_id] is None],
        "overlaps": [[patterns[i].group_id, patterns[j].group_id] for i, j in sorted(overlaps)],
    }
