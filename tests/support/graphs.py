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


def yolo_like(depth=(4, 8, 8, 4), neck=4, c=4, s=4):
    """A YOLO-like detector with the module paths of a converted model ("model.4.m.1.cv2.conv"):
    Conv+LIF blocks, C2f blocks with and without residuals, SPPF, a PAN neck and a three-scale
    head. Stacking joins are folded into the consuming convolution, whose input channels are the
    sum of its inputs'."""
    g = ir.Graph(metadata={"model": "yolo-like"})

    def act(name, ch):
        r = np.full((ch, s, s), 0.5, np.float32)
        return g.add(name, ir.LIF(r, r, r, r))

    def conv_block(p, srcs, cout, k=3):
        cin = sum(ch for _, ch in srcs)
        w = np.zeros((cout, cin, k, k), np.float32)
        g.add(f"{p}.conv", ir.Conv2d(w, padding=(k // 2, k // 2), input_shape=(cin, s, s)))
        for src, _ in srcs:
            g.connect(src, f"{p}.conv")
        g.connect(f"{p}.conv", act(f"{p}.act", cout))
        return f"{p}.act", cout

    def c2f(p, srcs, n, shortcut):
        x = conv_block(f"{p}.cv1", srcs, c)
        outs = [x]
        for i in range(n):
            y = conv_block(f"{p}.m.{i}.cv2", [conv_block(f"{p}.m.{i}.cv1", [x], c)], c)
            if shortcut:
                add = g.add(f"{p}.m.{i}.add", ir.IF(np.ones((c, s, s), np.float32), np.ones((c, s, s), np.float32)))
                g.connect(y[0], add)
                g.connect(x[0], add)
                y = (add, c)
            outs.append(y)
            x = y
        return conv_block(f"{p}.cv2", outs, c, k=1)

    def sppf(p, src):
        x = conv_block(f"{p}.cv1", [src], c, k=1)
        pools = [x]
        for i in range(3):
            pools.append((g.add(f"{p}.m.{i}", ir.AvgPool2d((5, 5), (1, 1), (2, 2), input_shape=(c, s, s))), c))
            g.connect(pools[-2][0], pools[-1][0])
        return conv_block(f"{p}.cv2", pools, c, k=1)

    def up(p, src):
        g.add(p, ir.Scale(np.ones((c, s, s), np.float32)))
        g.connect(src[0], p)
        return p, c

    x = (g.add("images", ir.Input((c, s, s))), c)
    x = conv_block("model.0", [x], c)
    x = conv_block("model.1", [x], c)
    x = c2f("model.2", [x], depth[0], True)
    x = conv_block("model.3", [x], c)
    p3 = x = c2f("model.4", [x], depth[1], True)
    x = conv_block("model.5", [x], c)
    p4 = x = c2f("model.6", [x], depth[2], True)
    x = conv_block("model.7", [x], c)
    x = c2f("model.8", [x], depth[3], True)
    p5 = x = sppf("model.9", x)
    x = c2f("model.12", [up("model.10.up", x), p4], neck, False)
    n3 = x = c2f("model.15", [up("model.13.up", x), p3], neck, False)
    n4 = x = c2f("model.18", [conv_block("model.16", [x], c), p4], neck, False)
    n5 = c2f("model.21", [conv_block("model.19", [x], c), p5], neck, False)
    heads = []
    for i, f in enumerate((n3, n4, n5)):
        for branch in ("cv2", "cv3"):
            y = conv_block(f"model.22.{branch}.{i}.0", [f], c)
            y = conv_block(f"model.22.{branch}.{i}.1", [y], c)
            heads.append(conv_block(f"model.22.{branch}.{i}.2", [y], c, k=1))
    g.add("output", ir.Output((c * len(heads), s, s)))
    for h, _ in heads:
        g.connect(h, "output")
    return g
