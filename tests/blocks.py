"""Graphs shaped like published backbones and necks, each with the pattern groups it must give.

Converted the way real models are: each convolution a Conv2d followed by a LIF (or a Scale
for a folded norm), each residual add a summing LIF, node names the models' module paths.
"""
import numpy as np

from zelq import ir


class Net:
    def __init__(self, shape):
        self.g = ir.Graph()
        self.expected = []  # (pattern type, member set, metadata items that must be present)
        self.add("in", ir.Input(shape))

    def add(self, name, node, *srcs):
        self.g.add(name, node)
        for s in srcs:
            self.g.connect(s, name)
        return name

    def mark(self):
        return len(self.g.nodes)

    def since(self, mark):
        return list(self.g.nodes)[mark:]

    def expect(self, kind, members, **meta):
        self.expected.append((kind, sorted(members), meta))

    def shape(self, *srcs):
        """Shape of the inputs stacked along channels (of one input: its output shape)."""
        shapes = [self.g.nodes[s].output_type["output"] for s in srcs]
        return (sum(s[0] for s in shapes), *shapes[0][1:])

    def conv(self, name, src, c, k=1, s=1):
        """A convolution; a tuple of sources is a concatenation folded into it."""
        srcs = src if isinstance(src, tuple) else (src,)
        shape = self.shape(*srcs)
        w = np.zeros((c, shape[0], k, k), np.float32)
        return self.add(name, ir.Conv2d(w, stride=(s, s), padding=(k // 2, k // 2), input_shape=shape), *srcs)

    def act(self, name, *srcs, norm=False):
        """A LIF (or with `norm` a Scale); several sources make it a summing join."""
        z = np.ones(self.shape(srcs[0]), np.float32)
        return self.add(name, ir.Scale(z) if norm else ir.LIF(z, z, z, z), *srcs)

    def cbl(self, name, src, c, k=1, s=1):
        return self.act(f"{name}.lif", self.conv(f"{name}.conv", src, c, k, s))

    def pool(self, name, src, k, s=1, cls=ir.MaxPool2d):
        return self.add(name, cls((k, k), (s, s), ((k - 1) // 2,) * 2, input_shape=self.shape(src)), src)

    def cat(self, name, *srcs):
        return self.add(name, ir.Concat(input_shapes=tuple(self.shape(s) for s in srcs)), *srcs)


def resnet_block(net, p, src, c, bottleneck, stride=1, shortcut=None):
    """shortcut: None (identity), "conv" (1x1 projection + norm) or "pool" (ResNet-D: avg pool first)."""
    m = net.mark()
    if bottleneck:
        x = net.cbl(f"{p}.conv2", net.cbl(f"{p}.conv1", src, c // 4), c // 4, 3, stride)
        x = net.act(f"{p}.bn3", net.conv(f"{p}.conv3", x, c), norm=True)
    else:
        x = net.act(f"{p}.bn2", net.conv(f"{p}.conv2", net.cbl(f"{p}.conv1", src, c, 3, stride), c, 3), norm=True)
    depth, sc = len(net.since(m)), src
    if shortcut == "pool":
        sc = net.pool(f"{p}.shortcut.pool", sc, 2, 2, ir.AvgPool2d)
    if shortcut:
        sc = net.conv(f"{p}.shortcut.conv", sc, c, 1, stride if sc == src else 1)
        sc = net.act(f"{p}.shortcut.bn", sc, norm=True)
    if shortcut == "pool":
        sc = net.act(f"{p}.shortcut.lif", sc)
    members = net.since(m)
    out = net.act(f"{p}.add", x, sc)
    net.expect("SkipConnection", members, source=src, join=out, processing_depth=depth,
               **({"shortcut": [n for n in members if ".shortcut." in n]} if shortcut else {}))
    return out


def repvgg(net, p, src, identity):
    m = net.mark()
    dense = net.act(f"{p}.rbr_dense.bn", net.conv(f"{p}.rbr_dense.conv", src, net.shape(src)[0], 3), norm=True)
    ins = [dense, net.conv(f"{p}.rbr_1x1.conv", src, net.shape(src)[0])]
    if identity == "scale":
        ins.append(net.act(f"{p}.rbr_identity", src, norm=True))
    elif identity == "bare":
        ins.append(src)
    members = net.since(m)
    out = net.act(f"{p}.act", *ins)
    types = ["Conv2d", "Conv2d"] + {"scale": ["Scale"], "bare": ["Identity"], None: []}[identity]
    net.expect("RepConv", members, fork=src, join=out,
               branches=[{"type": t, "nodes": [n for n in members if f".{b}." in n + "."], "kernel_size": k}
                         for t, b, k in zip(types, ("rbr_dense", "rbr_1x1", "rbr_identity"), ([3, 3], [1, 1], None))])
    return out


def bottleneck(net, p, src, shortcut):
    m = net.mark()
    c = net.shape(src)[0]
    x = net.cbl(f"{p}.cv2", net.cbl(f"{p}.cv1", src, c, 3), c, 3)
    if not shortcut:
        return x
    members = net.since(m)
    out = net.act(f"{p}.add", x, src)
    net.expect("SkipConnection", members, source=src, join=out, processing_depth=4)
    return out


def csp(net, p, src, c, n, shortcut, c2f=True, folded=False):
    """C2f (a bypass and every bottleneck output stacked) or C3 (two paths stacked); `folded`:
    the concatenation folded into the last convolution, as older converters wrote it."""
    ys = [net.cbl(f"{p}.cv1", src, c)]
    for i in range(n):
        y = bottleneck(net, f"{p}.m.{i}", ys[-1], shortcut)
        ys = ys + [y] if c2f else [y]
    if not c2f:
        ys.append(net.cbl(f"{p}.cv2", src, c))
    last = f"{p}.cv2" if c2f else f"{p}.cv3"
    return net.cbl(last, tuple(ys) if folded else net.cat(f"{p}.cat", *ys), c)


def sppf(net, p, src, c, k=5):
    x = net.cbl(f"{p}.cv1", src, c // 2)
    ys = [x]
    for i in range(3):
        ys.append(net.pool(f"{p}.m.{i}", ys[-1], k))
    net.expect("SPPF", ys[1:], chain_depth=3, kernel_size=[k, k], source=x, join=f"{p}.cat")
    return net.cbl(f"{p}.cv2", net.cat(f"{p}.cat", *ys), c)


def spp(net, p, src, c, ks=(5, 9, 13)):
    x = net.cbl(f"{p}.cv1", src, c // 2)
    ys = [net.pool(f"{p}.m.{i}", x, k) for i, k in enumerate(ks)]
    net.expect("SPP", ys, num_scales=len(ks), pool_kernels=[[k, k] for k in ks], fork=x, join=f"{p}.cat")
    return net.cbl(f"{p}.cv2", net.cat(f"{p}.cat", x, *ys), c)


def yolo(folded=False):
    """A YOLOv8-shaped model: C2f backbone with SPPF, FPN/PAN neck of upsampling, concatenation, C2f."""
    net = Net((3, 32, 32))
    x = csp(net, "model.2", net.cbl("model.1", net.cbl("model.0", "in", 8, 3, 2), 8, 3, 1), 8, 1, True,
            folded=folded)
    p4 = csp(net, "model.4", net.cbl("model.3", x, 16, 3, 2), 16, 2, True, folded=folded)
    p5 = sppf(net, "model.9", csp(net, "model.6", net.cbl("model.5", p4, 16, 3, 2), 16, 1, True, folded=folded), 16)
    up = net.add("model.10", ir.Upsample2d(2, input_shape=net.shape(p5)), p5)
    h = csp(net, "model.12", net.cat("model.11", up, p4), 16, 1, False, folded=folded)
    up = net.add("model.13", ir.Upsample2d(2, input_shape=net.shape(h)), h)
    p3 = csp(net, "model.15", net.cat("model.14", up, x), 8, 1, False, folded=folded)
    n4 = csp(net, "model.18", net.cat("model.17", net.cbl("model.16", p3, 8, 3, 2), h), 16, 1, False, folded=folded)
    n5 = csp(net, "model.21", net.cat("model.20", net.cbl("model.19", n4, 16, 3, 2), p5), 16, 1, False, folded=folded)
    for name, src in (("out3", p3), ("out4", n4), ("out5", n5)):
        net.add(name, ir.Output(net.shape(src)), src)
    return net


def yolo_folded():
    return yolo(folded=True)


def resnet_repvgg():
    """ResNet stages (bottleneck and basic, projection and ResNet-D shortcuts) under RepVGG blocks."""
    net = Net((3, 16, 16))
    x = net.cbl("conv1", "in", 16, 3)
    for stage, (c, bottleneck, stride, shortcut) in enumerate(
            [(32, True, 1, "conv"), (32, True, 2, "pool"), (32, False, 2, "conv")], 1):
        for i in range(2):
            x = resnet_block(net, f"layer{stage}.{i}", x, c, bottleneck, stride if i == 0 else 1,
                             shortcut if i == 0 else None)
    for i, identity in enumerate([None, "scale", "bare"]):
        x = repvgg(net, f"neck.rep.{i}", x, identity)
    net.add("out", ir.Output(net.shape(x)), x)
    return net


def csp_spp(folded=False):
    """YOLOv5-style C3 blocks (with and without shortcut, the concat explicit or folded) and SPP."""
    net = Net((3, 16, 16))
    x = csp(net, "model.1", net.cbl("model.0", "in", 8, 3), 8, 2, True, c2f=False)
    x = csp(net, "model.2", x, 8, 1, False, c2f=False, folded=True)
    x = csp(net, "model.3", x, 8, 1, True, c2f=False, folded=True)
    net.add("out", ir.Output(net.shape(x)), spp(net, "model.4", x, 16))
    return net
