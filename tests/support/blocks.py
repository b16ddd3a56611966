"""Graphs shaped like published models, converted as real ones are (each convolution a Conv2d then a
LIF, or a Scale for a norm; each residual add a summing LIF; names the module paths), with the
groups each must give: `net.expected` holds (type, sorted members, metadata that must be present)."""
import numpy as np

from zelq import ir


class Net:
    def __init__(self, shape):
        self.g, self.expected = ir.Graph(), []
        self.add("in", ir.Input(shape))

    def add(self, name, node, *srcs):
        self.g.add(name, node)
        for s in srcs:
            self.g.connect(s, name)
        return name

    def since(self, mark):
        return list(self.g.nodes)[mark:]

    def expect(self, kind, members, **meta):
        self.expected.append((kind, tuple(sorted(members)), meta))

    def shape(self, *srcs):  # several sources: stacked along channels
        shapes = [self.g.nodes[s].output_type["output"] for s in srcs]
        return (sum(s[0] for s in shapes), *shapes[0][1:])

    def conv(self, name, srcs, c, k=1, s=1):  # a tuple of sources: a concatenation folded into the conv
        srcs = srcs if isinstance(srcs, tuple) else (srcs,)
        w = np.zeros((c, self.shape(*srcs)[0], k, k), np.float32)
        return self.add(name, ir.Conv2d(w, stride=(s, s), padding=(k // 2,) * 2, input_shape=self.shape(*srcs)), *srcs)

    def act(self, name, *srcs, norm=False):  # several sources: a summing join
        z = np.ones(self.shape(srcs[0]), np.float32)
        return self.add(name, ir.Scale(z) if norm else ir.LIF(z, z, z, z), *srcs)

    def cbl(self, name, src, c, k=1, s=1):
        return self.act(f"{name}.lif", self.conv(f"{name}.conv", src, c, k, s))

    def pool(self, name, src, k, s=1, cls=ir.MaxPool2d):
        return self.add(name, cls((k, k), (s, s), ((k - 1) // 2,) * 2, input_shape=self.shape(src)), src)

    def cat(self, name, *srcs):
        return self.add(name, ir.Concat(input_shapes=tuple(self.shape(s) for s in srcs)), *srcs)

    def up(self, name, src):
        return self.add(name, ir.Upsample2d(2, input_shape=self.shape(src)), src)


def resnet_block(net, p, x, c, bottleneck, stride=1, shortcut=None):
    """shortcut None (identity), "conv" (1x1 projection, norm) or "pool" (ResNet-D: avg pool first, LIF last)."""
    m, sc = len(net.g.nodes), x
    if bottleneck:
        y = net.conv(f"{p}.conv3", net.cbl(f"{p}.conv2", net.cbl(f"{p}.conv1", x, c // 4), c // 4, 3, stride), c)
    else:
        y = net.conv(f"{p}.conv2", net.cbl(f"{p}.conv1", x, c, 3, stride), c, 3)
    y = net.act(f"{p}.bn", y, norm=True)
    depth = len(net.since(m))
    if shortcut == "pool":
        sc = net.pool(f"{p}.shortcut.pool", sc, 2, 2, ir.AvgPool2d)
    if shortcut:
        sc = net.act(f"{p}.shortcut.bn", net.conv(f"{p}.shortcut.conv", sc, c, 1, stride if sc == x else 1), norm=True)
    if shortcut == "pool":
        sc = net.act(f"{p}.shortcut.lif", sc)
    members, out = net.since(m), net.act(f"{p}.add", y, sc)
    extra = {"shortcut": [n for n in members if ".shortcut." in n]} if shortcut else {}
    net.expect("SkipConnection", members, source=x, join=out, processing_depth=depth, **extra)
    return out


def repvgg(net, p, x, identity):
    m, c = len(net.g.nodes), net.shape(x)[0]
    ins = [net.act(f"{p}.dense.bn", net.conv(f"{p}.dense.conv", x, c, 3), norm=True), net.conv(f"{p}.1x1", x, c)]
    ins += [net.act(f"{p}.identity", x, norm=True)] if identity == "scale" else [x] if identity else []
    members, out = net.since(m), net.act(f"{p}.act", *ins)
    types = ["Conv2d", "Conv2d", {"scale": "Scale", "bare": "Identity"}.get(identity)][:len(ins)]
    net.expect("RepConv", members, fork=x, join=out, branches=[
        {"type": t, "nodes": n, "kernel_size": k}
        for t, n, k in zip(types, (members[:2], members[2:3], members[3:]), ([3, 3], [1, 1], None))])
    return out


def csp(net, p, x, c, n, shortcut, c2f=True, folded=False):
    """C2f (the bypass and every bottleneck output stacked) or C3 (two paths stacked); `folded`:
    the concatenation folded into the last convolution, as older converters wrote it."""
    ys = [net.cbl(f"{p}.cv1", x, c)]
    for i in range(n):
        m, b = len(net.g.nodes), f"{p}.m.{i}"
        y = net.cbl(f"{b}.cv2", net.cbl(f"{b}.cv1", ys[-1], c, 3), c, 3)
        if shortcut:
            net.expect("SkipConnection", net.since(m), source=ys[-1], processing_depth=4)
            y = net.act(f"{b}.add", y, ys[-1])
        ys = ys + [y] if c2f else [y]
    ys += [] if c2f else [net.cbl(f"{p}.cv2", x, c)]
    return net.cbl(f"{p}.cv3" if not c2f else f"{p}.cv2", tuple(ys) if folded else net.cat(f"{p}.cat", *ys), c)


def spp(net, p, x, c, ks):
    """SPPF with one kernel size (chained pools), SPP with several (parallel pools)."""
    ys = [net.cbl(f"{p}.cv1", x, c // 2)]
    for i, k in enumerate(ks * 3 if len(ks) == 1 else ks):
        ys.append(net.pool(f"{p}.m.{i}", ys[-1] if len(ks) == 1 else ys[0], k))
    if len(ks) == 1:
        net.expect("SPPF", ys[1:], chain_depth=3, kernel_size=[ks[0]] * 2, source=ys[0], join=f"{p}.cat")
    else:
        net.expect("SPP", ys[1:], pool_kernels=[[k, k] for k in ks], fork=ys[0], join=f"{p}.cat")
    return net.cbl(f"{p}.cv2", net.cat(f"{p}.cat", *ys), c)


def yolo(folded=False):
    """YOLOv8-shaped: C2f backbone with SPPF, then an FPN/PAN neck of upsampling, concatenation and C2f."""
    net = Net((3, 32, 32))
    x = csp(net, "model.2", net.cbl("model.1", net.cbl("model.0", "in", 8, 3, 2), 8, 3), 8, 1, True, folded=folded)
    p4 = csp(net, "model.4", net.cbl("model.3", x, 16, 3, 2), 16, 2, True, folded=folded)
    p5 = spp(net, "model.9", csp(net, "model.6", net.cbl("model.5", p4, 16, 3, 2), 16, 1, True, folded=folded), 16, [5])
    h = csp(net, "model.12", net.cat("model.11", net.up("model.10", p5), p4), 16, 1, False, folded=folded)
    p3 = csp(net, "model.15", net.cat("model.14", net.up("model.13", h), x), 8, 1, False, folded=folded)
    n4 = csp(net, "model.18", net.cat("model.17", net.cbl("model.16", p3, 8, 3, 2), h), 16, 1, False, folded=folded)
    csp(net, "model.21", net.cat("model.20", net.cbl("model.19", n4, 16, 3, 2), p5), 16, 1, False, folded=folded)
    return net


def resnet_repvgg():
    """ResNet stages (bottleneck and basic; projection and ResNet-D shortcuts), then RepVGG blocks."""
    net = Net((3, 16, 16))
    x = net.cbl("conv1", "in", 16, 3)
    for stage, (c, bottleneck, stride, shortcut) in enumerate([(32, True, 1, "conv"), (32, True, 2, "pool"),
                                                               (32, False, 2, "conv")], 1):
        x = resnet_block(net, f"layer{stage}.0", x, c, bottleneck, stride, shortcut)
        x = resnet_block(net, f"layer{stage}.1", x, c, bottleneck)
    for i, identity in enumerate([None, "scale", "bare"]):
        x = repvgg(net, f"neck.rep.{i}", x, identity)
    return net


def csp_spp():
    """YOLOv5-shaped: C3 blocks with and without shortcut, the concatenation explicit or folded, then SPP."""
    net = Net((3, 16, 16))
    x = csp(net, "model.1", net.cbl("model.0", "in", 8, 3), 8, 2, True, c2f=False)
    x = csp(net, "model.2", x, 8, 1, False, c2f=False, folded=True)
    spp(net, "model.4", csp(net, "model.3", x, 8, 1, True, c2f=False, folded=True), 16, [5, 9, 13])
    return net
