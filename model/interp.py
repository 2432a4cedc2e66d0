"""Training-free motion-compensated frame interpolation, written for ONNX export.

See model/README.md for the method. Everything here is plain tensor arithmetic with fixed
parameters (no learned weights), so the exported graph is small and deterministic.
"""
import torch
import torch.nn.functional as F


def luma(x):
    return 0.299 * x[:, 0:1] + 0.587 * x[:, 1:2] + 0.114 * x[:, 2:3]


def down2(x):
    return F.avg_pool2d(x, 2, 2)


def features(y):
    """Matching features of a grey image [N,1,h,w]: the grey value and its gradients."""
    gx = y[:, :, :, 1:] - y[:, :, :, :-1]
    gx = F.pad(gx, (0, 1, 0, 0))
    gy = y[:, :, 1:, :] - y[:, :, :-1, :]
    gy = F.pad(gy, (0, 0, 0, 1))
    return torch.cat([y, 2.0 * gx, 2.0 * gy], 1)


def base_grid(n, h, w, like):
    """Pixel coordinates [N,2,h,w] (x then y) of a level."""
    ys = torch.arange(h, dtype=like.dtype).view(1, 1, h, 1).expand(n, 1, h, w)
    xs = torch.arange(w, dtype=like.dtype).view(1, 1, 1, w).expand(n, 1, h, w)
    return torch.cat([xs, ys], 1)


def warp(img, flow, grid=None):
    """Samples img at (pixel + flow), flow [N,2,h,w] in pixels (x, y), border clamped."""
    n, _, h, w = img.shape
    if grid is None:
        grid = base_grid(n, h, w, img)
    pos = grid + flow
    gx = pos[:, 0:1] * (2.0 / (w - 1)) - 1.0
    gy = pos[:, 1:2] * (2.0 / (h - 1)) - 1.0
    g = torch.cat([gx, gy], 1).permute(0, 2, 3, 1)
    return F.grid_sample(img, g, mode="bilinear", padding_mode="border", align_corners=True)


def shifted_stack(x, r, step=1):
    """All shifts of x by step * (-r..r) in x and y: [N,K,C,h,w], K=(2r+1)^2, entry k is
    x(p + d_k) with d_k = step * (k % (2r+1) - r, k // (2r+1) - r). Shifted rows first,
    then columns of those: 2 (2r+1) slices instead of (2r+1)^2."""
    m = r * step
    xp = F.pad(x, (m, m, m, m), mode="replicate")
    cols = []
    for dx in range(-m, m + 1, step):
        xe = (dx - m) if dx < m else None
        cols.append(xp[:, :, :, m + dx:xe])
    cols = torch.stack(cols, 1)  # [N, 2r+1, C, h+2m, w]
    rows = []
    for dy in range(-m, m + 1, step):
        ye = (dy - m) if dy < m else None
        rows.append(cols[:, :, :, m + dy:ye])
    out = torch.stack(rows, 1)  # [N, 2r+1 (y), 2r+1 (x), C, h, w]
    return out.flatten(1, 2)


def search(a, b, r, box, step=1):
    """Best displacement d (within +-r steps, sub-pixel) of each pixel of a into b, with
    the costs box-filtered over box x box pixels.

    Returns the flow [N,2,h,w] and the matching cost at d [N,1,h,w]."""
    k = 2 * r + 1
    cost = (shifted_stack(b, r, step) - a.unsqueeze(1)).abs().sum(2)  # [N,K,h,w]
    if box > 1:
        cost = F.avg_pool2d(cost, box, 1, box // 2, count_include_pad=False)
    # Displacements last: ONNX Runtime reduces over the innermost axis much faster.
    cost = cost.permute(0, 2, 3, 1)
    idx = torch.argmin(cost, 3, keepdim=True)
    # The cost at the minimum and at its four neighbours (clamped at the window's edge).
    near = torch.cat([idx, idx - 1, idx + 1, idx - k, idx + k], 3).clamp(0, k * k - 1)
    c = torch.gather(cost, 3, near).permute(0, 3, 1, 2)
    idx = idx.permute(0, 3, 1, 2)
    best = c[:, 0:1]
    iy = torch.div(idx, k, rounding_mode="floor")
    ix = idx - iy * k

    # Parabola through the neighbours along x and y for the sub-pixel part; at the window's
    # edge the neighbour is missing and the integer result stands.
    def vertex(m, c0, p, inside):
        den = m - 2.0 * c0 + p
        off = 0.5 * (m - p) / den.clamp(min=1e-6)
        off = off.clamp(-0.5, 0.5)
        return torch.where(inside & (den > 1e-6), off, torch.zeros_like(off))

    sx = vertex(c[:, 1:2], best, c[:, 2:3], (ix > 0) & (ix < k - 1))
    sy = vertex(c[:, 3:4], best, c[:, 4:5], (iy > 0) & (iy < k - 1))
    fx = (ix.to(a.dtype) - r + sx) * step
    fy = (iy.to(a.dtype) - r + sy) * step
    return torch.cat([fx, fy], 1), best


def norm_grid(n, h, w, full_h, full_w, like):
    """Normalised sampling coordinates [N,2,h,w] of a level whose samples sit at full-image
    pixels i * (full - 1) / (level - 1): bilinear upsampling with align_corners=True then
    reproduces the full-resolution pixel grid exactly, borders included."""
    ys = torch.arange(h, dtype=like.dtype) * (2.0 / (h - 1)) - 1.0
    xs = torch.arange(w, dtype=like.dtype) * (2.0 / (w - 1)) - 1.0
    ys = ys.view(1, 1, h, 1).expand(n, 1, h, w)
    xs = xs.view(1, 1, 1, w).expand(n, 1, h, w)
    return torch.cat([xs, ys], 1)


def splat(values, offset, weight):
    """Forward-splats values [1,C,h,w] of every pixel p to p + offset (bilinear footprint),
    each scaled by weight [1,1,h,w]. Returns the sums [1,C+1,h,w]: the weighted values and,
    last, the weights themselves."""
    _, c, h, w = values.shape
    n = h * w
    grid = base_grid(1, h, w, values)
    pos = grid + offset
    x0 = torch.floor(pos[:, 0:1])
    y0 = torch.floor(pos[:, 1:2])
    ax = pos[:, 0:1] - x0
    ay = pos[:, 1:2] - y0
    src = torch.cat([values * weight, weight], 1)
    idxs, srcs = [], []
    for dx, dy in ((0, 0), (1, 0), (0, 1), (1, 1)):
        xi = x0 + dx
        yi = y0 + dy
        bw = (ax if dx else 1.0 - ax) * (ay if dy else 1.0 - ay)
        inside = (xi >= 0) & (xi <= w - 1) & (yi >= 0) & (yi <= h - 1)
        bw = torch.where(inside, bw, torch.zeros_like(bw))
        idx = (yi.clamp(0, h - 1) * w + xi.clamp(0, w - 1)).to(torch.int64)
        idxs.append(idx.reshape(1, n).expand(c + 1, n))
        srcs.append((src * bw).reshape(c + 1, n))
    acc = torch.zeros_like(src.reshape(c + 1, n)).scatter_add(1, torch.cat(idxs, 1),
                                                              torch.cat(srcs, 1))
    return acc.reshape(1, c + 1, h, w)


class Interpolator(torch.nn.Module):
    """img0, img1 [1,3,H,W] in [0,1], timestep [1] -> frame at that time [1,3,H,W].

    H and W must be multiples of 64 (the library pads frames to that)."""

    def __init__(self, coarsest=6, radii=(3, 3, 3, 3, 1), box=5, margin=0.004, soft=0.002,
                 sigma=1.0, snap=0.002, tau_m=1.0, cover=0.3, wide=(8, 2), wide_level=3,
                 wide_gain=0.9, moving=0.5):
        super().__init__()
        self.coarsest = coarsest  # log2 of the coarsest level's scale (1/64)
        self.radii = radii  # search radius per level, coarsest first, ending at 1/4
        self.box = box
        self.margin = margin
        self.soft = soft
        self.sigma = sigma
        self.snap = snap
        self.tau_m = tau_m
        self.cover = cover
        self.wide = wide  # (radius, step) of the search around zero at level wide_level
        self.wide_level = wide_level
        self.wide_gain = wide_gain
        self.moving = moving  # motion (1/4-resolution pixels) that is trusted as such
        self.debug = None  # a dict to receive intermediate results (development only)
        lw = torch.tensor([0.299, 0.587, 0.114]).view(1, 3, 1, 1)
        self.register_buffer("luma_w", lw, persistent=False)

    def bidirectional_flow(self, y4):
        """Flows 0->1 and 1->0 at 1/4 resolution, stacked in the batch: [2,2,h,w]."""
        pyr = [y4]
        for _ in range(self.coarsest - 2):
            pyr.append(down2(pyr[-1]))
        flow = None
        for i, lev in enumerate(range(len(pyr) - 1, -1, -1)):
            fa = features(pyr[lev])
            fb = torch.cat([fa[1:2], fa[0:1]], 0)
            if flow is None:
                flow = torch.zeros_like(fa[:, 0:2])
                warped = fb
            else:
                flow = 2.0 * F.interpolate(flow, scale_factor=2.0, mode="bilinear",
                                           align_corners=False)
                warped = warp(fb, flow)
            r = self.radii[max(0, len(self.radii) - len(pyr) + i)]
            inc, best = search(fa, warped, r, self.box)
            flow = flow + inc
            if lev + 2 == self.wide_level:
                # Small fast objects vanish at the coarse levels: a second, wide search
                # around zero motion wins where it matches clearly better.
                wflow, wbest = search(fa, fb, self.wide[0], self.box, self.wide[1])
                better = wbest < self.wide_gain * best
                flow = torch.where(better, wflow, flow)
                best = torch.where(better, wbest, best)
        # Where leaving the pixel in place matches as well as the motion found (static or
        # featureless content), the motion is dropped: its sub-pixel noise would only blur.
        still = (fa - fb).abs().sum(1, keepdim=True)
        still = F.avg_pool2d(still, self.box, 1, self.box // 2, count_include_pad=False)
        keep = torch.sigmoid((still - best - self.snap) / (0.25 * self.snap))
        return flow * keep

    def forward(self, img0, img1, timestep):
        t = timestep.view(1, 1, 1, 1)
        _, _, hh, ww = img0.shape
        x = torch.cat([img0, img1], 0)
        y4 = F.avg_pool2d(F.conv2d(x, self.luma_w), 4, 4)  # [2,1,H/4,W/4]
        flows = self.bidirectional_flow(y4)
        f01, f10 = flows[0:1], flows[1:2]
        _, _, h, w = f01.shape
        grid = base_grid(1, h, w, f01)
        s2 = self.sigma * self.sigma

        # Reliability of each pixel's motion: does the other frame's flow lead back?
        back = warp(torch.cat([f10, f01], 0), flows, torch.cat([grid, grid], 0))
        err = flows + back
        conf = torch.exp(-(err * err).sum(1, keepdim=True) / s2)  # [2,1,h,w]

        # Forward splatting of both flows to time t. Where trajectories cross, the larger
        # motion wins (a moving object passes in front of what moves less).
        mag = (flows * flows).sum(1, keepdim=True).clamp(min=1e-8).sqrt().clamp(max=12.0)
        wgt = conf * torch.exp(mag / self.tau_m)
        s0 = splat(torch.cat([f01, conf[0:1]], 1), t * f01, wgt[0:1])
        s1 = splat(torch.cat([-f10, conf[1:2]], 1), (1.0 - t) * f10, wgt[1:2])
        den = s0[:, 3:4] + s1[:, 3:4]
        d_splat = (s0[:, 0:2] + s1[:, 0:2]) / den.clamp(min=1e-6)
        # Coverage by reliable points of either frame (occlusion reasoning below).
        cov0 = splat(conf[0:1], t * f01, torch.ones_like(conf[0:1]))[:, 0:1]
        cov1 = splat(conf[1:2], (1.0 - t) * f10, torch.ones_like(conf[1:2]))[:, 0:1]

        # Where nothing reliable lands (holes), the motion comes from the flows sampled
        # backwards, by fixed-point iteration d = F01(p - t d) and d = -F10(p + (1 - t) d).
        da = f01
        db = -f10
        for _ in range(2):
            da = warp(f01, -t * da, grid)
            db = -warp(f10, (1.0 - t) * db, grid)
        yl0, yl1 = y4[0:1], y4[1:2]

        def sym_err(d):
            e = (warp(yl0, -t * d, grid) - warp(yl1, (1.0 - t) * d, grid)).abs()
            return F.avg_pool2d(e, 3, 1, 1, count_include_pad=False)

        ea, eb = sym_err(da), sym_err(db)
        sel = torch.sigmoid((eb - ea) / 0.005)
        d_back = sel * da + (1.0 - sel) * db
        use = torch.sigmoid(((cov0 + cov1) - self.cover) / (0.25 * self.cover))
        d = use * d_splat + (1.0 - use) * d_back
        e_warp = sym_err(d)

        # Visibility in each frame: reliable points of that frame land here.
        v0 = cov0.clamp(0.0, 1.0) + 0.05
        v1 = cov1.clamp(0.0, 1.0) + 0.05
        k0 = (1.0 - t) * v0 / ((1.0 - t) * v0 + t * v1)

        # Trust in the warp: where it does not match the two frames better than leaving
        # them in place (static content), the plain blend is kept: it is exact there.
        e_still = F.avg_pool2d((yl0 - yl1).abs(), 3, 1, 1, count_include_pad=False)
        a = torch.sigmoid((e_still - e_warp - self.margin) / self.soft)
        # That test cannot see an object passing through a pixel between the frames (both
        # frames show the background there): where reliable motion of more than a couple
        # of pixels lands, the warp is trusted.
        speed = (d * d).sum(1, keepdim=True).clamp(min=1e-8).sqrt()
        a = torch.maximum(a, use * torch.sigmoid((speed - self.moving) / 0.1))

        # Sampling positions of both frames (normalised), and the four blend coefficients
        # of warped 0, warped 1, frame 0, frame 1, all at 1/4 resolution, then upsampled
        # together to full resolution.
        g = norm_grid(1, h, w, hh, ww, d)
        dn = torch.cat([d[:, 0:1] * (2.0 / (ww - 1)), d[:, 1:2] * (2.0 / (hh - 1))], 1) * 4.0
        coef = torch.cat([g - t * dn, g + (1.0 - t) * dn, a * k0, a * (1.0 - k0),
                          (1.0 - a) * (1.0 - t), (1.0 - a) * t], 1)
        if self.debug is not None:
            self.debug.update(d=d, d_splat=d_splat, d_back=d_back, use=use, cov0=cov0,
                              cov1=cov1, a=a, k0=k0, e_warp=e_warp, e_still=e_still,
                              conf=conf, flows=flows)
        coef = F.interpolate(coef, size=(hh, ww), mode="bilinear", align_corners=True)
        grids = torch.cat([coef[:, 0:2], coef[:, 2:4]], 0).permute(0, 2, 3, 1)
        warped = F.grid_sample(x, grids, mode="bilinear", padding_mode="border",
                               align_corners=True)
        out = (coef[:, 4:5] * warped[0:1] + coef[:, 5:6] * warped[1:2] + coef[:, 6:7] * img0 +
               coef[:, 7:8] * img1)
        return out.clamp(0.0, 1.0)
