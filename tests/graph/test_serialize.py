"""Node, summary, group records and the viewer document: key orders, messages, call-time lookups."""
import dataclasses
import json
import subprocess
import sys
import types
from collections.abc import Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import ClassVar

import numpy as np
import pytest

from tests.support import graphs
import zelq
from zelq import ir
from zelq.viz import constants, encode, patterns
from zelq.viz import serialize as S

NODE_KEYS = ["id", "type", "input_shape", "output_shape", "params", "config", "param_count", "color", "shape",
             "display_params"]
GROUP_KEYS = ["id", "type", "label", "subtitle", "nodes", "entry_nodes", "exit_nodes", "metadata", "color", "shape",
              "icon", "display_params"]
DOC_KEYS = ["version", "nodes", "edges", "metadata", "summary", "groups", "node_to_group"]
SUMMARY_KEYS = ["node_count", "edge_count", "total_params", "node_counts", "inputs", "outputs"]


@dataclass
class Dense:
    weight: np.ndarray
    bias: np.ndarray
    input_type: dict = field(default_factory=lambda: {"input": [784]})
    output_type: dict = field(default_factory=lambda: {"output": (128,)})


@dataclass
class Knobs:
    nothing: object = None
    empty: dict = field(default_factory=dict)
    zero: int = 0
    false: bool = False
    empty_list: list = field(default_factory=list)
    text: str = ""
    pair: tuple = (1, 2)
    scalar: object = np.float32(0.5)
    filled: dict = field(default_factory=lambda: {"a": np.int64(3)})


class Plain:
    def __init__(self):
        self.weight = np.ones(5)
        self.input_type = {"input": [1]}


class Graph:
    def __init__(self, nodes=None, edges=(), **extra):
        self.nodes = {} if nodes is None else nodes
        self.edges = list(edges)
        self.__dict__.update(extra)


# ---------------------------------------------------------------- module load


def test_load_imports_bind_the_sibling_names():
    from dataclasses import fields

    assert S.fields is fields and S.np is np
    assert S.encode_value is encode.encode_value and S.format_shape is encode.format_shape
    for name in ("NODE_COLORS", "NODE_SHAPES", "NODE_DISPLAY_PARAMS", "GROUP_COLORS", "GROUP_SHAPES", "GROUP_ICONS",
                 "GROUP_DISPLAY_PARAMS", "DEFAULT_NODE_COLOR", "DEFAULT_NODE_SHAPE", "DEFAULT_GROUP_COLOR",
                 "DEFAULT_GROUP_SHAPE"):
        assert getattr(S, name) is getattr(constants, name)
    for name in ("detect_all_patterns", "build_group_hierarchy", "PatternMatch", "detect_repconv_patterns"):
        assert getattr(S, name) is getattr(patterns, name)


@pytest.mark.parametrize("module,missing", [("constants", "GROUP_ICONS"), ("patterns", "detect_repconv_patterns")])
def test_a_missing_sibling_name_fails_the_load(module, missing):
    code = f"""
import sys, types, importlib
real = importlib.import_module("zelq.viz.{module}")
fake = types.ModuleType("zelq.viz.{module}")
fake.__dict__.update({{k: v for k, v in vars(real).items() if k != "{missing}"}})
sys.modules["zelq.viz.{module}"] = fake
try:
    import zelq.viz.serialize
except ImportError as e:
    print("ImportError:", e)
"""
    src = str(Path(S.__file__).parent.parent.parent)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env={"PYTHONPATH": src})
    assert f"ImportError: cannot import name '{missing}' from 'zelq.viz.{module}'" in out.stdout, out.stderr


# ---------------------------------------------------------------- serialize_node


def test_node_record_order_params_and_count():
    w, b = np.ones((128, 784), np.float32), np.arange(128, dtype=np.float32)
    rec = S.serialize_node("fc", Dense(w, b))
    assert list(rec) == NODE_KEYS
    assert rec["type"] == "Dense" and rec["id"] == "fc"
    assert rec["input_shape"] == [784] and rec["output_shape"] == (128,)
    assert list(rec["params"]) == ["weight", "bias"] and rec["config"] == {}
    assert rec["param_count"] == 100480
    assert np.array_equal(encode.decode_array(rec["params"]["bias"]), b)
    assert rec["params"]["weight"] == encode.encode_value(w)
    assert (rec["color"], rec["shape"], rec["display_params"]) == (
        constants.DEFAULT_NODE_COLOR, constants.DEFAULT_NODE_SHAPE, [])


def test_config_drops_only_none_and_empty_dicts():
    rec = S.serialize_node("k", Knobs())
    assert rec["config"] == {"zero": 0, "false": False, "empty_list": [], "text": "", "pair": [1, 2],
                             "scalar": 0.5, "filled": {"a": 3}}
    assert list(rec["config"]) == ["zero", "false", "empty_list", "text", "pair", "scalar", "filled"]
    assert type(rec["config"]["scalar"]) is float and type(rec["config"]["filled"]["a"]) is int
    assert rec["params"] == {} and rec["param_count"] == 0


@pytest.mark.parametrize("value,expected", [
    ({"input": [1, 28, 28]}, [1, 28, 28]),
    ({"input": np.array([1, 28, 28])}, [1, 28, 28]),
    ({"input": np.array([[1, 2]])}, [[1, 2]]),
    ({"input": (1, 28, 28)}, (1, 28, 28)),
    ({"input": "3x3"}, "3x3"),
    (None, None),
    ([1, 28, 28], None),
    ({"output": [1]}, None),
    (types.MappingProxyType({"input": [1]}), None),  # not a dict
])
def test_declared_shapes(value, expected):
    node = types.SimpleNamespace(input_type=value, output_type=None)
    rec = S.serialize_node("n", node)
    assert rec["input_shape"] == expected and type(rec["input_shape"]) is type(expected)
    assert rec["output_shape"] is None


def test_shape_of_a_dict_subclass_uses_its_own_lookup():
    class Shapes(dict):
        def __contains__(self, key):
            return key == "output"

        def __getitem__(self, key):
            return [9]

    rec = S.serialize_node("n", types.SimpleNamespace(input_type=Shapes(), output_type=Shapes(output=1)))
    assert rec["input_shape"] is None and rec["output_shape"] == [9]


@pytest.mark.parametrize("arr,count", [(np.array(3.0), 1), (np.zeros((0,)), 0), (np.zeros((3, 0, 2)), 0),
                                       (np.zeros((2, 3)), 6)])
def test_param_count_of_odd_arrays(arr, count):
    @dataclass
    class One:
        p: np.ndarray

    assert S.serialize_node("n", One(arr))["param_count"] == count


def test_non_dataclass_nodes_have_no_params_and_fields_named_like_shapes_are_skipped():
    rec = S.serialize_node("p", Plain())
    assert rec["params"] == {} and rec["config"] == {} and rec["param_count"] == 0
    assert rec["input_shape"] == [1]

    node = Dense(np.ones(2), np.ones(1))
    del node.bias  # a declared field without its attribute is treated as None
    rec = S.serialize_node("d", node)
    assert list(rec["params"]) == ["weight"] and "input_type" not in rec["config"]


def test_style_tables_encode_value_and_fields_are_read_at_call_time(monkeypatch):
    calls = []
    monkeypatch.setattr(S, "NODE_COLORS", {"Dense": "#123456"})
    monkeypatch.setattr(S, "NODE_SHAPES", {})
    monkeypatch.setattr(S, "DEFAULT_NODE_SHAPE", "blob")
    monkeypatch.setattr(S, "NODE_DISPLAY_PARAMS", {"Dense": ["weight"]})
    monkeypatch.setattr(S, "encode_value", lambda v: calls.append(type(v).__name__) or "enc")
    rec = S.serialize_node("d", Dense(np.ones(2), np.ones(1)))
    assert (rec["color"], rec["shape"], rec["display_params"]) == ("#123456", "blob", ["weight"])
    assert rec["display_params"] is S.NODE_DISPLAY_PARAMS["Dense"]  # placed unchanged
    assert rec["params"] == {"weight": "enc", "bias": "enc"} and calls == ["ndarray", "ndarray"]

    monkeypatch.setattr(S, "fields", lambda node: [types.SimpleNamespace(name="bias")])
    assert list(S.serialize_node("d", Dense(np.ones(2), np.ones(1)))["params"]) == ["bias"]


def test_default_display_params_is_a_new_list_each_time():
    a = S.serialize_node("a", Plain())["display_params"]
    b = S.serialize_node("b", Plain())["display_params"]
    assert a == [] and a is not b


@pytest.mark.parametrize("call,message", [
    (lambda: S.serialize_node(3, Plain()), "Argument 'name' has incorrect type (expected str, got int)"),
    (lambda: S.serialize_node(None, Plain()), "Argument 'name' has incorrect type (expected str, got NoneType)"),
    (lambda: S.serialize_node(type("Name", (str,), {})("x"), Plain()),
     "Argument 'name' has incorrect type (expected str, got Name)"),
    (lambda: S.serialize_node("a"), "serialize_node() takes exactly 2 positional arguments (1 given)"),
    (lambda: S.serialize_node("a", 1, 2), "serialize_node() takes exactly 2 positional arguments (3 given)"),
    (lambda: S.serialize_node("a", 1, color=2), "serialize_node() got an unexpected keyword argument 'color'"),
    (lambda: S.compute_summary(Graph(), 1), "compute_summary() takes exactly 1 positional argument (2 given)"),
    (lambda: S.serialize_pattern(), "serialize_pattern() takes exactly 1 positional argument (0 given)"),
    (lambda: S.graph_to_dict(), "graph_to_dict() takes at least 1 positional argument (0 given)"),
    (lambda: S.graph_to_dict(Graph(), True, 3), "graph_to_dict() takes at most 2 positional arguments (3 given)"),
    (lambda: S.graph_to_dict(Graph(), detect=True), "graph_to_dict() got an unexpected keyword argument 'detect'"),
])
def test_call_errors(call, message):
    with pytest.raises(TypeError) as err:
        call()
    assert str(err.value) == message


def test_keywords_are_accepted():
    assert S.serialize_node(node=Plain(), name="x")["id"] == "x"
    assert S.compute_summary(graph=Graph())["node_count"] == 0
    assert S.graph_to_dict(graph=Graph(), detect_patterns=False)["groups"] == []


# ---------------------------------------------------------------- compute_summary


def test_empty_summary():
    s = S.compute_summary(Graph())
    assert s == {"node_count": 0, "edge_count": 0, "total_params": 0, "node_counts": {}, "inputs": [], "outputs": []}
    assert list(s) == SUMMARY_KEYS


def test_summary_counts_types_in_first_seen_order_and_lists_io():
    class A: pass  # noqa: E701

    class B: pass  # noqa: E701

    Input = type("Input", (), {"input_type": {"input": np.array([1, 28, 28])}})
    Output = type("Output", (), {"output_type": {"output": (10,)}})
    lower = type("input", (), {})
    Sub = type("MyInput", (Input,), {})
    g = Graph({"a": A(), "b": B(), "c": A(), "i": Input(), "o": Output(), "l": lower(), "s": Sub()},
              edges=[("a", "b")] * 3)
    s = S.compute_summary(g)
    assert list(s["node_counts"].items()) == [("A", 2), ("B", 1), ("Input", 1), ("Output", 1), ("input", 1),
                                              ("MyInput", 1)]
    assert s["inputs"] == [{"id": "i", "shape": [1, 28, 28]}] and s["outputs"] == [{"id": "o", "shape": (10,)}]
    assert s["node_count"] == 7 and s["edge_count"] == 3


@pytest.mark.parametrize("input_type", ["missing", None, {}, {"other": 1}])
def test_input_without_shape_is_still_listed(input_type):
    node = type("Input", (), {})()
    if input_type != "missing":
        node.input_type = input_type
    assert S.compute_summary(Graph({"x": node}))["inputs"] == [{"id": "x", "shape": None}]


def test_summary_reads_shapes_from_any_mapping_where_nodes_need_a_dict():
    node = type("Input", (), {"input_type": types.MappingProxyType({"input": [3]})})()
    assert S.compute_summary(Graph({"x": node}))["inputs"] == [{"id": "x", "shape": [3]}]
    assert S.serialize_node("x", node)["input_shape"] is None


def test_total_params_walks_the_field_table():
    @dataclass
    class WithClassArray:
        table: ClassVar[np.ndarray] = np.ones(7)  # in __dataclass_fields__, not in fields()
        w: np.ndarray = dataclasses.field(default_factory=lambda: np.ones((2, 3)))

    g = Graph({"a": WithClassArray(), "p": Plain(), "d": Dense(np.ones((4, 5)), np.ones(4))})
    s = S.compute_summary(g)
    assert s["total_params"] == 7 + 6 + 24  # Plain is no dataclass: not counted
    assert S.serialize_node("a", WithClassArray())["param_count"] == 6


class Nodes(Mapping):
    def __init__(self, d):
        self.d = d

    def __getitem__(self, k):
        return self.d[k]

    def __iter__(self):
        return iter(self.d)

    def __len__(self):
        return len(self.d)


def test_node_mappings_other_than_dicts():
    g = Graph(Nodes({"p": Plain(), "q": Plain()}))
    assert S.compute_summary(g)["node_counts"] == {"Plain": 2}
    assert [n["id"] for n in S.graph_to_dict(g, False)["nodes"]] == ["p", "q"]


@pytest.mark.parametrize("fn", [S.compute_summary, lambda g: S.graph_to_dict(g, False)])
def test_nodes_none(fn):
    with pytest.raises(AttributeError, match="^'NoneType' object has no attribute 'items'$"):
        fn(Graph(None) if False else types.SimpleNamespace(nodes=None, edges=[]))


def test_a_dict_changed_during_the_walk_is_refused():
    nodes = {}

    class Grow:
        @property
        def input_type(self):
            nodes[str(len(nodes))] = Plain()
            return None

    nodes["g"] = Grow()
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        S.graph_to_dict(Graph(nodes), False)


# ---------------------------------------------------------------- serialize_pattern


def pm(kind, metadata=None, nodes=("a", "b", "c", "d")):
    return patterns.PatternMatch(kind, "g1", list(nodes), ["a"], ["d"], {} if metadata is None else metadata)


@pytest.mark.parametrize("kind,metadata,label,subtitle", [
    ("RepConv", {"branches": [{"type": "Affine"}, {"type": "Affine"}, {"type": "LIF"}]},
     "RepConv (3 branches)", "Affine, Affine, LIF"),
    ("RepConv", {}, "RepConv (0 branches)", ""),
    ("RepConv", {"branches": ({"type": "Conv2d"},)}, "RepConv (1 branches)", "Conv2d"),
    ("SPP", {"num_scales": 3, "pool_kernels": [(5, 5), (9, 9), (13, 13)]}, "SPP (3 scales)",
     "parallel: 5\u00d75, 9\u00d79, 13\u00d713"),
    ("SPP", {"num_scales": 2, "pool_kernels": [(5, 5), None, (), [3, 4, 99]]}, "SPP (2 scales)",
     "parallel: 5\u00d75, ?, ?, 3\u00d74"),
    ("SPP", {}, "SPP (0 scales)", "parallel: "),
    ("SPP", {"num_scales": 3.0}, "SPP (3.0 scales)", "parallel: "),
    ("SPP", {"num_scales": None, "pool_kernels": [(1.5, True)]}, "SPP (None scales)", "parallel: 1.5\u00d7True"),
    ("SPPF", {"chain_depth": 3, "kernel_size": (5, 5)}, "SPPF (depth=3)", "sequential: 5\u00d75"),
    ("SPPF", {"chain_depth": -1}, "SPPF (depth=-1)", "sequential: ?"),
    ("SPPF", {"chain_depth": [1], "kernel_size": 0}, "SPPF (depth=[1])", "sequential: ?"),
    ("SkipConnection", {"processing_depth": 2, "path_types": ["Affine", "LIF"]}, "Skip (2 layers)",
     "bypass: Affine \u2192 LIF"),
    ("SkipConnection", {"processing_depth": 2, "path_types": []}, "Skip (2 layers)", "residual"),
    ("SkipConnection", {}, "Skip (0 layers)", "residual"),
    ("Mystery", {"anything": 1}, "Mystery", "4 nodes"),
    ("sppf", {}, "sppf", "4 nodes"),
])
def test_group_labels(kind, metadata, label, subtitle):
    rec = S.serialize_pattern(pm(kind, metadata))
    assert (rec["label"], rec["subtitle"]) == (label, subtitle)
    assert list(rec) == GROUP_KEYS


def test_generic_pattern_counts_members_and_keeps_a_non_string_type():
    rec = S.serialize_pattern(pm(7, nodes=["x"]))
    assert rec["label"] == 7 and rec["subtitle"] == "1 nodes"


def test_group_record_places_pattern_values_unchanged():
    p = pm("SPPF", {"chain_depth": 2, "kernel_size": (3, 3)})
    rec = S.serialize_pattern(p)
    assert rec["id"] == "g1" and rec["type"] == "SPPF"
    for key in ("nodes", "entry_nodes", "exit_nodes", "metadata"):
        assert rec[key] is getattr(p, key)
    assert (rec["color"], rec["shape"], rec["icon"], rec["display_params"]) == (
        constants.GROUP_COLORS["SPPF"], constants.GROUP_SHAPES["SPPF"], constants.GROUP_ICONS["SPPF"],
        constants.GROUP_DISPLAY_PARAMS["SPPF"])


def test_group_tables_are_read_at_call_time(monkeypatch):
    monkeypatch.setattr(S, "GROUP_COLORS", {})
    monkeypatch.setattr(S, "DEFAULT_GROUP_COLOR", "pink")
    monkeypatch.setattr(S, "GROUP_ICONS", {"SPP": "*"})
    monkeypatch.setattr(S, "GROUP_SHAPES", {})
    monkeypatch.setattr(S, "DEFAULT_GROUP_SHAPE", "cloud")
    rec = S.serialize_pattern(pm("SPP"))
    assert (rec["color"], rec["shape"], rec["icon"]) == ("pink", "cloud", "*")
    other = S.serialize_pattern(pm("Other"))
    assert other["icon"] == "\u25eb" and other["display_params"] == []


@pytest.mark.parametrize("kind,metadata,error,message", [
    ("RepConv", {"branches": [{"kind": "x"}]}, KeyError, "type"),
    ("RepConv", {"branches": [{"type": 3}]}, TypeError, "sequence item 0: expected str instance, int found"),
    ("RepConv", {"branches": iter([])}, TypeError, "has no len"),
    ("SPP", {"pool_kernels": [(5,)]}, IndexError, "index out of range"),
    ("SPP", {"pool_kernels": [5]}, TypeError, "int"),
    ("SkipConnection", {"path_types": ["A", 1]}, TypeError, "sequence item 1"),
])
def test_group_errors(kind, metadata, error, message):
    with pytest.raises(error, match=message):
        S.serialize_pattern(pm(kind, metadata))


def test_metadata_without_get_and_missing_attributes():
    with pytest.raises(AttributeError):
        S.serialize_pattern(types.SimpleNamespace(pattern_type="SPP", metadata=[]))
    with pytest.raises(AttributeError, match="group_id"):
        S.serialize_pattern(types.SimpleNamespace(pattern_type="X", nodes=[], metadata={}))


# ---------------------------------------------------------------- graph_to_dict


def small_graph(**extra):
    return Graph({"in": type("Input", (), {"input_type": {"input": [2]}})(), "fc": Dense(np.ones((2, 2)), np.ones(2))},
                 edges=[("in", "fc")], **extra)


@pytest.mark.parametrize("flag", [False, None, 0, ""])
def test_detection_off_leaves_a_patterned_graph_ungrouped(flag):
    g = graphs.detector()
    assert patterns.detect_all_patterns(g)  # there is something to find
    doc = S.graph_to_dict(g, flag)
    assert doc["groups"] == [] and doc["node_to_group"] == {}
    assert all("group" not in n for n in doc["nodes"])
    assert list(doc) == DOC_KEYS


@pytest.mark.parametrize("flag", [True, "yes", 1])
def test_the_document_is_built_from_the_public_builders(flag):
    """Groups from the detector's patterns and hierarchy, records from serialize_node,
    serialize_pattern and compute_summary: the document equals their results put together."""
    g = graphs.detector()
    found = patterns.detect_all_patterns(g)
    hier = patterns.build_group_hierarchy(g, found)
    doc = S.graph_to_dict(g, flag)
    assert doc["groups"] == [dict(S.serialize_pattern(p), parent=hier["parent"][p.group_id]) for p in found]
    assert doc["node_to_group"] == hier["node_to_group"]
    expected_nodes = []
    for name, node in g.nodes.items():
        rec = S.serialize_node(name, node)
        if name in hier["node_to_group"]:
            rec["group"] = hier["node_to_group"][name]
        expected_nodes.append(rec)
    assert json.dumps(doc["nodes"], sort_keys=False, default=str) == json.dumps(expected_nodes, default=str)
    assert doc["summary"] == S.compute_summary(g)
    assert doc["edges"] == [{"source": a, "target": b} for a, b in g.edges]


def test_detection_results_may_be_any_iterable_and_hierarchy_must_have_the_key(monkeypatch):
    monkeypatch.setattr(S, "detect_all_patterns", lambda g: (p for p in [pm("SPP")]))
    monkeypatch.setattr(S, "build_group_hierarchy", lambda g, p: {"node_to_group": {}})
    assert len(S.graph_to_dict(small_graph())["groups"]) == 1
    monkeypatch.setattr(S, "build_group_hierarchy", lambda g, p: {})
    with pytest.raises(KeyError, match="node_to_group"):
        S.graph_to_dict(small_graph())


@pytest.mark.parametrize("extra,expected", [
    ({}, {}), ({"metadata": None}, {}), ({"metadata": {}}, {}), ({"metadata": {"name": "x"}}, {"name": "x"}),
])
def test_metadata(extra, expected):
    doc = S.graph_to_dict(small_graph(**extra), False)
    assert doc["metadata"] == expected


def test_metadata_arrays_are_encoded():
    arr = np.arange(6, dtype=np.int16).reshape(2, 3)
    doc = S.graph_to_dict(small_graph(metadata={"a": arr, "t": (np.int64(1),)}), False)
    assert doc["metadata"]["a"] == encode.encode_array(arr) and doc["metadata"]["t"] == [1]


def test_edges_unpack(monkeypatch):
    doc = S.graph_to_dict(Graph({}, edges=[("a", "b"), ["c", "d"], iter("ef"), "gh"]), False)
    assert doc["edges"] == [{"source": "a", "target": "b"}, {"source": "c", "target": "d"},
                            {"source": "e", "target": "f"}, {"source": "g", "target": "h"}]
    assert all(list(e) == ["source", "target"] for e in doc["edges"])


@pytest.mark.parametrize("edge,error,message", [
    (("a", "b", "c"), ValueError, "too many values to unpack (expected 2)"),
    (["a"], ValueError, "need more than 1 value to unpack"),
    ((), ValueError, "need more than 0 values to unpack"),
    (iter("abc"), ValueError, "too many values to unpack (expected 2)"),
    (iter("a"), ValueError, "need more than 1 value to unpack"),
    (5, TypeError, "'int' object is not iterable"),
])
def test_bad_edges(edge, error, message):
    with pytest.raises(error) as err:
        S.graph_to_dict(Graph({}, edges=[edge]), False)
    assert str(err.value) == message


def test_non_string_node_identifier():
    with pytest.raises(TypeError, match=r"^Argument 'name' has incorrect type \(expected str, got int\)$"):
        S.graph_to_dict(Graph({3: Plain()}), False)


def test_version_is_the_library_version_or_unknown(monkeypatch):
    assert S.graph_to_dict(small_graph(), False)["version"] == ir.__version__
    monkeypatch.setattr(ir, "__version__", "9.9")
    assert S.graph_to_dict(small_graph(), False)["version"] == "9.9"
    monkeypatch.delattr(ir, "__version__")
    assert S.graph_to_dict(small_graph(), False)["version"] == "unknown"


def test_version_unknown_without_the_library(monkeypatch):
    monkeypatch.delattr(zelq, "ir")
    monkeypatch.setitem(sys.modules, "zelq.ir", None)
    assert S.graph_to_dict(small_graph(), False)["version"] == "unknown"
    with pytest.raises(ImportError):
        S.graph_to_dict("model.zelq", False)


def test_other_version_errors_propagate(monkeypatch):
    class Broken:
        @property
        def __version__(self):
            raise RuntimeError("broken library")

    monkeypatch.setattr(zelq, "ir", Broken())
    with pytest.raises(RuntimeError, match="broken library"):
        S.graph_to_dict(small_graph(), False)


@pytest.mark.parametrize("path_type", [str, bytes, type("P", (str,), {})])
def test_paths_are_read_by_the_library(monkeypatch, path_type):
    seen = []
    g = small_graph()
    monkeypatch.setattr(ir, "read", lambda p: seen.append(p) or g)
    value = path_type(b"model.zelq") if path_type is bytes else path_type("model.zelq")
    doc = S.graph_to_dict(value, False)
    assert seen == [value] and type(seen[0]) is path_type
    assert [n["id"] for n in doc["nodes"]] == ["in", "fc"]


def test_a_path_object_is_taken_as_a_graph(monkeypatch):
    monkeypatch.setattr(ir, "read", lambda p: pytest.fail("read"))
    with pytest.raises(AttributeError, match="'PosixPath' object has no attribute 'nodes'"):
        S.graph_to_dict(Path("model.zelq"), False)


def test_file_round_trip_with_real_detection(tmp_path):
    g = graphs.detector()
    p = tmp_path / "det.zelq"
    ir.write(p, g)
    from_file = S.graph_to_dict(str(p))
    in_memory = S.graph_to_dict(g)
    assert json.dumps(from_file) == json.dumps(in_memory)
    doc = in_memory
    assert list(doc) == DOC_KEYS
    assert [grp["type"] for grp in doc["groups"]] == ["RepConv", "SPP", "SPPF"] + ["SkipConnection"] * 3
    group_ids = {grp["id"] for grp in doc["groups"]}
    for rec in doc["nodes"]:
        assert list(rec)[:10] == NODE_KEYS
        if rec["id"] in doc["node_to_group"]:
            assert list(rec)[-1] == "group" and rec["group"] in group_ids
    assert doc["summary"]["total_params"] == sum(n["param_count"] for n in doc["nodes"])
    assert doc["summary"]["node_count"] == len(g.nodes) and doc["summary"]["edge_count"] == len(g.edges)
    assert doc["summary"]["inputs"] == [{"id": "in", "shape": (4, 16, 16)}]
    rep = doc["groups"][0]
    assert (rep["label"], rep["subtitle"]) == ("RepConv (3 branches)", "Conv2d, Conv2d, Identity")
    sppf = doc["groups"][2]
    assert (sppf["label"], sppf["subtitle"]) == ("SPPF (depth=3)", "sequential: 5\u00d75")
    assert doc["groups"][1]["subtitle"] == "parallel: 5\u00d75, 9\u00d79, 13\u00d713"
    assert doc["groups"][3]["subtitle"] == "bypass: LIF \u2192 Conv2d \u2192 LIF"
    # each group names the smallest other group holding all its members, or None
    members = {grp["id"]: set(grp["nodes"]) for grp in doc["groups"]}
    for grp in doc["groups"]:
        assert list(grp) == GROUP_KEYS + ["parent"]
        holders = [o for o in members if o != grp["id"] and members[o] >= members[grp["id"]]]
        if grp["parent"] is None:
            assert not holders
        else:
            assert grp["parent"] in holders
            assert len(members[grp["parent"]]) == min(len(members[o]) for o in holders)
    assert sum(grp["parent"] is not None for grp in doc["groups"]) == 2


def test_every_ir_node_type_has_styles():
    for name in ir.NODE_TYPES:
        assert name in constants.NODE_COLORS and name in constants.NODE_SHAPES and name in constants.NODE_DISPLAY_PARAMS
    for kind in ("RepConv", "SPP", "SPPF", "SkipConnection"):
        for table in (constants.GROUP_COLORS, constants.GROUP_SHAPES, constants.GROUP_ICONS,
                      constants.GROUP_DISPLAY_PARAMS):
            assert kind in table
