"""Small graphs with known patterns, shared by the graph tests."""
import numpy as np

from zelq import ir


def vec(n=4, seed=0):
    return np.random.default_rng(seed).standard_normal(n).astype(np.float32)


def lif(n=4):
    return ir.LIF(vec(n), vec(n), vec(n), vec(n))


def conv(k, c=4):
    return ir.Conv2d(np.zeros((c, c, k, k), np.float32), padding=(k // 2, k // 2))


def pool(k, cls=ir.SumPool2d):
    return cls((k, k), (1, 1), (k // 2, k // 2))


def chain(g, *names):
    g.connect(*names)


def repconv_block(g, prefix, fork, identity=True):
    """fork -> {3x3, 1x1 [, identity]} -> join; returns the join."""
    c3, c1, join = g.add(f"{prefix}c3", conv(3)), g.add(f"{prefix}c1", conv(1)), g.add(f"{prefix}j", lif())
    g.connect(fork, c3, join)
    g.connect(fork, c1, join)
    if identity:
        g.connect(fork, join)
    return join


def sppf_block(g, prefix, src, depth=3, k=5):
    """src -> pool -> pool -> ...; every pool and src feed a join (concatenation)."""
    pools = [g.add(f"{prefix}p{i}", pool(k)) for i in range(depth)]
    g.connect(src, *pools)
    join = g.add(f"{prefix}cat", ir.Conv2d(np.zeros((4, 16, 1, 1), np.float32)))
    for n in [src, *pools]:
        g.connect(n, join)
    return join


def spp_block(g, prefix, src, kernels=(5, 9, 13)):
    join = g.add(f"{prefix}cat", ir.Conv2d(np.zeros((4, 16, 1, 1), np.float32)))
    for i, k in enumerate(kernels):
        p = g.add(f"{prefix}k{k}" if kernels.count(k) == 1 else f"{prefix}k{k}_{i}", pool(k))
        g.connect(src, p, join)
    g.connect(src, join)
    return join


def residual(g, prefix, src, body):
    """src -> body(...) -> add, with the direct edge src -> add; returns the add node."""
    last = body(src)
    add = g.add(f"{prefix}add", ir.IF(vec(), vec()))
    g.connect(last, add)
    g.connect(src, add)
    return add


def detector():
    """Input -> stem -> residual(RepConv) -> residual(residual(conv)) -> SPPF -> SPP -> Output."""
    g = ir.Graph(metadata={"model": "tiny detector"})
    g.add("in", ir.Input((4, 16, 16)))
    g.add("stem", lif())
    g.connect("in", "stem")

    def rep_body(src):
        g.add("pre", lif())
        g.connect(src, "pre")
        return repconv_block(g, "r", "pre")

    a = residual(g, "res1_", "stem", rep_body)

    def inner(src):
        g.add("ic", conv(3))
        g.add("il", lif())
        g.connect(src, "ic", "il")
        return "il"

    def outer(src):
        g.add("oc", conv(3))
        g.connect(src, "oc")
        return residual(g, "inner_", "oc", inner)

    b = residual(g, "outer_", a, outer)
    c = sppf_block(g, "f", b)
    d = spp_block(g, "s", c)
    g.add("out", ir.Output((4, 16, 16)))
    g.connect(d, "out")
    return g
