"""Pattern detection on graphs with known patterns, and the group hierarchy."""
import numpy as np
import pytest

from tests.support import blocks
from tests.support import graphs
from zelq import ir
from zelq.viz import patterns as P


def by_type(patterns):
    out = {}
    for p in patterns:
        out.setdefault(p.pattern_type, []).append(p)
    return out


def fork(extra=None):
    g = ir.Graph()
    g.add("in", ir.Input((4, 8, 8)))
    g.add("f", graphs.lif())
    g.connect("in", "f")
    return g


@pytest.mark.parametrize("identity", [True, False])
def test_repconv_with_and_without_identity(identity):
    g = fork()
    graphs.repconv_block(g, "r", "f", identity=identity)
    [p] = P.detect_repconv_patterns(g)
    assert p.pattern_type == "RepConv" and p.group_id == "repconv_0"
    assert p.nodes == ["rc3", "rc1"] and p.entry_nodes == ["rc3", "rc1"] and p.exit_nodes == ["rc3", "rc1"]
    types = [b["type"] for b in p.metadata["branches"]]
    assert types == (["Conv2d", "Conv2d", "Identity"] if identity else ["Conv2d", "Conv2d"])
    assert p.metadata["branches"][0]["kernel_size"] == [3, 3] and p.metadata["fork"] == "f"
    assert p.metadata["join"] == "rj"


@pytest.mark.parametrize("branch", [
    lambda: graphs.lif(),                      # a spiking layer is not re-parameterisable
    lambda: graphs.pool(3),                    # nor a pooling layer
])
def test_parallel_branches_that_are_not_linear_are_not_repconv(branch):
    g = fork()
    g.add("a", graphs.conv(3))
    g.add("b", branch())
    g.add("j", graphs.lif())
    g.connect("f", "a", "j")
    g.connect("f", "b", "j")
    assert P.detect_repconv_patterns(g) == []


def test_branches_that_join_different_nodes_are_not_a_block():
    g = fork()
    g.add("a", graphs.conv(3))
    g.add("b", graphs.conv(1))
    g.add("j1", graphs.lif())
    g.add("j2", graphs.lif())
    g.connect("f", "a", "j1")
    g.connect("f", "b", "j2")
    assert P.detect_all_patterns(g) == []


def test_spp_needs_distinct_kernels():
    g = fork()
    graphs.spp_block(g, "s", "f", kernels=(5, 9, 13))
    [p] = P.detect_spp_patterns(g)
    assert p.metadata["num_scales"] == 3 and p.metadata["pool_kernels"] == [[5, 5], [9, 9], [13, 13]]
    assert p.nodes == ["sk5", "sk9", "sk13"]

    g = fork()
    graphs.spp_block(g, "s", "f", kernels=(5, 5))
    assert P.detect_spp_patterns(g) == []


@pytest.mark.parametrize("depth", [2, 3, 5])
def test_sppf_chain_depth(depth):
    g = fork()
    graphs.sppf_block(g, "x", "f", depth=depth, k=5)
    [p] = P.detect_sppf_patterns(g)
    assert p.metadata == {"chain_depth": depth, "kernel_size": [5, 5], "pool_type": "SumPool2d", "source": "f",
                          "join": "xcat"}
    assert p.nodes == [f"xp{i}" for i in range(depth)]
    assert p.entry_nodes == ["xp0"]
    assert p.exit_nodes == p.nodes  # every stage feeds the concatenation


def test_sppf_chain_breaks_at_a_different_kernel_or_pool_kind():
    g = fork()
    g.add("p0", graphs.pool(5))
    g.add("p1", graphs.pool(5))
    g.add("p2", graphs.pool(3))
    g.add("p3", graphs.pool(3, ir.AvgPool2d))
    g.connect("f", "p0", "p1", "p2", "p3")
    [p] = P.detect_sppf_patterns(g)
    assert p.nodes == ["p0", "p1"]


def test_a_single_pool_is_no_chain():
    g = fork()
    g.add("p0", graphs.pool(5))
    g.connect("f", "p0")
    assert P.detect_all_patterns(g) == []


def test_simple_residual():
    g = fork()

    def body(src):
        g.add("c", graphs.conv(3))
        g.add("l", graphs.lif())
        g.connect(src, "c", "l")
        return "l"

    graphs.residual(g, "r_", "f", body)
    [p] = P.detect_skip_patterns(g)
    assert p.nodes == ["c", "l"] and p.entry_nodes == ["c"] and p.exit_nodes == ["l"]
    assert p.metadata == {"processing_depth": 2, "path_types": ["Conv2d", "LIF"], "source": "f", "join": "r_add"}


def test_a_region_with_an_outside_consumer_is_no_skip():
    g = fork()
    g.add("c", graphs.conv(3))
    g.add("add", graphs.lif())
    g.add("tap", ir.Output((4, 8, 8)))
    g.connect("f", "c", "add")
    g.connect("f", "add")
    g.connect("c", "tap")  # the processed value leaks out of the block
    assert P.detect_skip_patterns(g) == []


def test_a_join_of_three_inputs_is_no_skip():
    g = fork()
    g.add("a", graphs.conv(3))
    g.add("b", graphs.lif())
    g.add("j", graphs.lif())
    g.connect("f", "a", "j")
    g.connect("f", "b", "j")
    g.connect("f", "j")
    assert P.detect_skip_patterns(g) == []


def test_nested_patterns_in_the_detector():
    g = graphs.detector()
    found = P.detect_all_patterns(g)
    kinds = by_type(found)
    assert [len(kinds[k]) for k in ("RepConv", "SPP", "SPPF", "SkipConnection")] == [1, 1, 1, 3]
    assert [p.pattern_type for p in found] == ["RepConv", "SPP", "SPPF"] + ["SkipConnection"] * 3
    assert len({p.group_id for p in found}) == len(found)

    h = P.build_group_hierarchy(g, found)
    ids = {tuple(p.nodes): p.group_id for p in found}
    rep = ids[("rc3", "rc1")]
    outer_res = ids[("pre", "rc3", "rc1", "rj")]
    inner = ids[("ic", "il")]
    outer = ids[("oc", "ic", "il", "inner_add")]
    assert h["parent"][rep] == outer_res and h["parent"][inner] == outer
    assert h["children"][outer] == [inner]
    assert set(h["roots"]) == {p.group_id for p in found} - {rep, inner}
    # Every grouped node maps to its innermost group.
    assert h["node_to_group"]["rc3"] == rep and h["node_to_group"]["pre"] == outer_res
    assert h["node_to_group"]["ic"] == inner and h["node_to_group"]["oc"] == outer
    assert "stem" not in h["node_to_group"] and "in" not in h["node_to_group"]
    assert h["overlaps"] == []


def test_hierarchy_of_overlapping_and_equal_groups():
    g = ir.Graph(nodes={n: graphs.lif() for n in "abcde"})
    pats = [
        P.PatternMatch("X", "g0", ["a", "b", "c"]),
        P.PatternMatch("Y", "g1", ["c", "d"]),         # overlaps g0 without nesting
        P.PatternMatch("Z", "g2", ["a", "b", "c"]),    # same members as g0: nested under it
        P.PatternMatch("W", "g3", ["a"]),
    ]
    h = P.build_group_hierarchy(g, pats)
    assert h["parent"] == {"g0": None, "g1": None, "g2": "g0", "g3": "g2"}
    assert h["overlaps"] == [["g0", "g1"], ["g1", "g2"]]
    assert h["node_to_group"] == {"a": "g3", "b": "g2", "c": "g1", "d": "g1"}
    assert h["roots"] == ["g0", "g1"]


def test_detection_reads_only_nodes_and_edges():
    """Any object with a nodes mapping and edge pairs will do, lists as edges too."""

    class G:
        nodes = {"in": ir.Input((4, 8, 8)), "f": graphs.lif(), "a": graphs.conv(3), "b": graphs.conv(1),
                 "j": graphs.lif()}
        edges = [["in", "f"], ["f", "a"], ["a", "j"], ["f", "b"], ["b", "j"]]

    [p] = P.detect_all_patterns(G())
    assert p.pattern_type == "RepConv"


def test_detection_is_linear_enough_for_large_graphs():
    g = ir.Graph()
    g.add("n0", graphs.lif())
    prev = "n0"
    for i in range(400):
        prev = graphs.repconv_block(g, f"b{i}_", prev)
    found = P.detect_all_patterns(g)
    assert len(by_type(found)["RepConv"]) == 400
    assert len(P.build_group_hierarchy(g, found)["node_to_group"]) == 800


@pytest.mark.parametrize("build", [blocks.yolo, lambda: blocks.yolo(folded=True), blocks.resnet_repvgg,
                                   blocks.csp_spp])
def test_real_architectures_give_exactly_their_groups(build):
    net = build()
    found = P.detect_all_patterns(net.g)
    got = {(p.pattern_type, tuple(sorted(p.nodes))): p.metadata for p in found}
    assert sorted(got) == sorted((kind, tuple(members)) for kind, members, _ in net.expected)
    assert len(got) == len(found)
    for kind, members, meta in net.expected:
        held = got[kind, tuple(members)]
        assert {k: held.get(k) for k in meta} == meta, (kind, members)
    assert P.build_group_hierarchy(net.g, found)["overlaps"] == []
