"""Training-free motion-compensated frame interpolation, written for ONNX export.

See model/README.md for the method. Everything here is plain tensor arithmetic with fixed
parameters (no learned weights), so the exported graph is small and deterministic.
"""
import torch
import torch.nn.functional as F


def down2(x):
    return F.avg_pool2d(x, 2, 2)


def both(mask):
    """A [N,1,h,w] mask for both flow channels. Spelled out: ONNX Runtime's layout
    optimiser can move a Where onto [N,h,w,2] data, where broadcasting the innermost
    axis is very slow."""
    return torch.cat([mask, mask], 1)


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


def bilinear(pixels, sx, sy, h, w, first):
    """Bilinear samples of images stored pixel by pixel: pixels [P,C] holds N images of h x w
    (image n's pixels start at row first[n]), sx, sy [N,K] the positions (x, y) to sample,
    clamped to the image as by border padding. Returns [C,N,K].

    The same as warp()'s GridSample, written out for the full-resolution frames, where it
    costs about half: ONNX Runtime's GridSample works channel by channel at some 30 ns a
    sample, while here one gather fetches all four corners of every sample with all their
    channels and the lerps run on whole planes."""
    c = pixels.shape[1]
    n = sx.shape[0]
    sx = sx.clamp(0.0, w - 1.0)
    sy = sy.clamp(0.0, h - 1.0)
    x0 = torch.floor(sx).clamp(max=w - 2.0)  # the last column lerps with weight 1
    y0 = torch.floor(sy).clamp(max=h - 2.0)
    fx = sx - x0
    fy = sy - y0
    # 32-bit indices: half the index traffic; the library keeps frames below 2^31 samples.
    i00 = (y0 * w + x0).to(torch.int32) + first
    corners = torch.index_select(pixels, 0, torch.cat([i00, i00 + 1, i00 + w, i00 + w + 1],
                                                      0).reshape(-1))
    v = corners.t().reshape(c, 4, n, -1)
    top = v[:, 0] + fx * (v[:, 1] - v[:, 0])
    bottom = v[:, 2] + fx * (v[:, 3] - v[:, 2])
    return top + fy * (bottom - top)


def pixel_major(img):
    """[N,C,h,w] -> [N*h*w, C] and the first row of each image, for bilinear()."""
    n, c, h, w = img.shape
    first = (torch.arange(n, dtype=torch.int32) * (h * w)).view(n, 1)
    return img.permute(0, 2, 3, 1).reshape(n * h * w, c), first


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


def box_filter(x, box):
    """Mean over box x box windows (fewer at the borders), as two 1-D passes."""
    x = F.avg_pool2d(x, (box, 1), 1, (box // 2, 0), count_include_pad=False)
    return F.avg_pool2d(x, (1, box), 1, (0, box // 2), count_include_pad=False)


def search(a, b, r, box, step=1, penalty=0.0, stride=1):
    """Best displacement d (within +-r steps, sub-pixel) of each pixel of a into b, with
    the costs box-filtered over box x box pixels.

    Returns the flow [N,2,h,w] and the matching cost at d [N,1,h,w]."""
    k = 2 * r + 1
    cost = (shifted_stack(b, r, step) - a.unsqueeze(1)).abs().sum(2)  # [N,K,h,w]
    if stride > 1:
        # Filtered and decided on a coarser grid (one motion per stride x stride block).
        cost = F.avg_pool2d(cost, box, stride, box // 2, count_include_pad=False)
    elif box > 1:
        cost = box_filter(cost, box)
    if penalty > 0:
        # A small price per pixel of displacement: where the costs are flat (uniform or
        # repetitive content) the smallest motion wins instead of an arbitrary one.
        dist = [float(abs(i - r) + abs(j - r)) * step for j in range(k) for i in range(k)]
        cost = cost + penalty * torch.tensor(dist).view(1, k * k, 1, 1)
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


def splat(src, offset):
    """Forward splatting: adds src [N,C,h,w] of every pixel p of batch entry n to the pixels
    around p + offset[n] (bilinear footprint). Returns the sums [1,N*C,h,w]: batch entry
    n's sums in channels n*C..n*C+C-1."""
    n, c, h, w = src.shape
    hw = h * w
    grid = base_grid(n, h, w, src)
    pos = grid + offset
    x0 = torch.floor(pos[:, 0:1])
    y0 = torch.floor(pos[:, 1:2])
    ax = pos[:, 0:1] - x0
    ay = pos[:, 1:2] - y0
    idxs, srcs = [], []
    for dx, dy in ((0, 0), (1, 0), (0, 1), (1, 1)):
        xi = x0 + dx
        yi = y0 + dy
        bw = (ax if dx else 1.0 - ax) * (ay if dy else 1.0 - ay)
        inside = (xi >= 0) & (xi <= w - 1) & (yi >= 0) & (yi <= h - 1)
        bw = torch.where(inside, bw, torch.zeros_like(bw))
        idx = (yi.clamp(0, h - 1) * w + xi.clamp(0, w - 1)).to(torch.int64)  # [N,1,h,w]
        idxs.append(idx.reshape(n, 1, hw).expand(n, c, hw))
        srcs.append((src * bw).reshape(n, c, hw))
    idx = torch.cat(idxs, 2).reshape(n * c, 4 * hw)
    val = torch.cat(srcs, 2).reshape(n * c, 4 * hw)
    acc = torch.zeros_like(src.reshape(n * c, hw)).scatter_add(1, idx, val)
    return acc.reshape(1, n * c, h, w)


def upsample_weights():
    """[16, 9]: bilinear 4x upsampling (half-pixel centres) of one cell from its 3x3
    neighbourhood; row v*4+u is the full-resolution pixel (u, v) of the cell."""
    one = []
    for u in range(4):
        o = (u - 1.5) / 4.0
        one.append([-o, 1.0 + o, 0.0] if o < 0 else [0.0, 1.0 - o, o])
    wts = torch.tensor(one)
    return torch.einsum("vj,ui->vuji", wts, wts).reshape(16, 9)


class Interpolator(torch.nn.Module):
    """img0, img1 [1,3,H,W] in [0,1], timestep [1] -> frame at that time [1,3,H,W].

    H and W must be multiples of 64 (the library pads frames to that)."""

    def __init__(self, coarsest=5, radii=(2, 2, 3, 1), box=5, margin=0.004, soft=0.002,
                 sigma=1.0, snap=0.002, tau_m=1.0, cover=0.3, wide=(8, 2), wide_levels=(3,),
                 wide_gain=0.9, moving=0.5, wide_ch=1, fixed_iters=2, lk_iters=0, lk_box=5,
                 lk_reg=1e-4, lk_max=0.5, penalty=0.002, zero_levels=(4, 3), prop_steps=(3,),
                 prop_margin=0.003, wide_stride=2, chroma=1.5):
        super().__init__()
        self.prop_steps = prop_steps  # neighbour distances tried by propagate(), in turn
        self.prop_margin = prop_margin
        self.chroma = chroma  # weight of the colour-difference features at 1/4
        self.coarsest = coarsest  # log2 of the coarsest level's scale (5: 1/32)
        self.radii = radii  # search radius per level, coarsest first, ending at 1/4
        self.box = box
        self.margin = margin
        self.soft = soft
        self.sigma = sigma
        self.snap = snap
        self.tau_m = tau_m
        self.cover = cover
        self.wide = wide  # (radius, step) of the searches around zero at wide_levels
        self.wide_levels = wide_levels
        self.wide_gain = wide_gain
        self.wide_ch = wide_ch  # feature channels the wide search compares
        # The wide search decides one motion per wide_stride^2 block (its costs are
        # filtered on that grid); each pixel then checks it with all features.
        self.wide_stride = wide_stride
        self.fixed_iters = fixed_iters
        self.zero_levels = zero_levels  # levels that also search around zero motion
        self.penalty = penalty  # cost per pixel of displacement in the searches
        self.lk_iters = lk_iters  # Lucas-Kanade refinements of the motion at time t
        self.lk_box = lk_box
        self.lk_reg = lk_reg
        self.lk_max = lk_max
        self.moving = moving  # motion (1/4-resolution pixels) that is trusted as such
        self.cell_floor = 0.003  # trust below which a cell keeps the plain blend
        self.register_buffer("up_w_t", upsample_weights().t().contiguous(), persistent=False)
        self.debug = None  # a dict to receive intermediate results (development only)
        lw = torch.tensor([0.299, 0.587, 0.114]).view(1, 3, 1, 1)
        self.register_buffer("luma_w", lw, persistent=False)

    def bidirectional_flow(self, y4, c4=None):
        """Flows 0->1 and 1->0 at 1/4 resolution, stacked in the batch: [2,2,h,w]."""
        pyr = [y4]
        for _ in range(self.coarsest - 2):
            pyr.append(down2(pyr[-1]))
        flow = None
        for i, lev in enumerate(range(len(pyr) - 1, -1, -1)):
            fa = features(pyr[lev])
            if lev == 0 and c4 is not None and self.chroma > 0:
                # At the finest level colour counts too: objects that differ from their
                # surroundings in hue more than in brightness.
                fa = torch.cat([fa, self.chroma * c4], 1)
            fb = torch.cat([fa[1:2], fa[0:1]], 0)
            if flow is None:
                flow = torch.zeros_like(fa[:, 0:2])
                warped = fb
            else:
                flow = 2.0 * F.interpolate(flow, scale_factor=2.0, mode="bilinear",
                                           align_corners=False)
                warped = warp(fb, flow)
            r = self.radii[max(0, len(self.radii) - len(pyr) + i)]
            inc, best = search(fa, warped, r, self.box, 1, self.penalty)
            flow = flow + inc
            if lev + 2 in self.zero_levels:
                # Aliased coarse levels can hand down a wrong motion; a search around zero
                # motion at this level replaces it where that matches better.
                zflow, zbest = search(fa, fb, r, self.box, 1, self.penalty)
                better = zbest <= best
                flow = torch.where(both(better), zflow, flow)
                best = torch.where(better, zbest, best)
            if lev + 2 in self.wide_levels:
                # Small fast objects vanish at the coarse levels: a second, wide search
                # around zero motion wins where it matches clearly better.
                wflow, wbest = search(fa[:, 0:self.wide_ch], fb[:, 0:self.wide_ch], self.wide[0],
                                      self.box, self.wide[1], self.penalty, self.wide_stride)
                if self.wide_stride > 1:
                    wflow = F.interpolate(wflow, scale_factor=float(self.wide_stride),
                                          mode="nearest")
                if self.wide_ch != fa.shape[1] or self.wide_stride > 1:
                    # The same measure as the other search: all features at that motion.
                    wbest = box_filter((fa - warp(fb, wflow)).abs().sum(1, keepdim=True),
                                       self.box)
                better = wbest < self.wide_gain * best
                flow = torch.where(both(better), wflow, flow)
                best = torch.where(better, wbest, best)
        # Where leaving the pixel in place matches as well as the motion found (static or
        # featureless content), the motion is dropped: its sub-pixel noise would only blur.
        still = (fa - fb).abs().sum(1, keepdim=True)
        still = F.avg_pool2d(still, self.box, 1, self.box // 2, count_include_pad=False)
        keep = ((still - best - self.snap) / self.snap).clamp(0.0, 1.0)
        flow = flow * keep
        if self.prop_steps:
            flow = self.propagate(fa, fb, flow)
        return flow

    def propagate(self, fa, fb, flow):
        """Motion boundaries: with box-filtered costs a strong static edge next to a small
        moving object pulls the object's border pixels to the edge's motion. Each pixel
        tries its neighbours' motions (at distances prop_steps, in turn) by its own
        matching cost and takes one that matches clearly better."""
        _, _, h, w = flow.shape

        def cost(f):
            # Per pixel, no window: the window is what lets the edge win. Only the grey
            # value is resampled (a third of the work); its gradients are taken after.
            return (fa[:, 0:3] - features(warp(fb[:, 0:1], f))).abs().sum(1, keepdim=True)

        best = cost(flow)
        for s in self.prop_steps:
            fp = F.pad(flow, (s, s, s, s), mode="replicate")
            for dy, dx in ((0, -s), (0, s), (-s, 0), (s, 0)):
                cand = fp[:, :, s + dy:s + dy + h, s + dx:s + dx + w]
                c = cost(cand)
                better = c < best - self.prop_margin
                flow = torch.where(both(better), cand, flow)
                best = torch.where(better, c, best)
        return flow

    def forward(self, img0, img1, timestep):
        t = timestep.view(1, 1, 1, 1)
        _, _, hh, ww = img0.shape
        x = torch.cat([img0, img1], 0)
        x4 = F.avg_pool2d(x, 4, 4)
        y4 = F.conv2d(x4, self.luma_w)  # [2,1,H/4,W/4], pooled first: cheaper
        c4 = torch.cat([x4[:, 0:1] - y4, x4[:, 2:3] - y4], 1)  # red and blue minus luma
        flows = self.bidirectional_flow(y4, c4)
        f01, f10 = flows[0:1], flows[1:2]
        _, _, h, w = f01.shape
        grid = base_grid(1, h, w, f01)
        grid2 = torch.cat([grid, grid], 0)
        s2 = self.sigma * self.sigma

        # Reliability of each pixel's motion: does the other frame's flow lead back?
        back = warp(torch.cat([f10, f01], 0), flows, grid2)
        err = flows + back
        conf = torch.exp(-(err * err).sum(1, keepdim=True) / s2)  # [2,1,h,w]

        # Forward splatting of both flows to time t. Where trajectories cross, the larger
        # motion wins (a moving object passes in front of what moves less). The last
        # channel counts the reliable points of each frame that land on a pixel.
        mag = (flows * flows).sum(1, keepdim=True).clamp(min=1e-8).sqrt().clamp(max=12.0)
        wgt = conf * torch.exp(mag / self.tau_m)
        sign = torch.tensor([1.0, -1.0]).view(2, 1, 1, 1)
        tt = torch.cat([t, 1.0 - t], 0)
        s = splat(torch.cat([sign * flows * wgt, wgt, conf], 1), tt * flows)
        den = s[:, 2:3] + s[:, 6:7]
        d_splat = (s[:, 0:2] + s[:, 4:6]) / den.clamp(min=1e-6)
        cov0, cov1 = s[:, 3:4], s[:, 7:8]

        # Where nothing reliable lands (holes), the motion comes from the flows sampled
        # backwards, by fixed-point iteration d = F01(p - t d) and d = -F10(p + (1 - t) d).
        ttn = torch.cat([-t, 1.0 - t], 0)
        dd = sign * flows
        for _ in range(self.fixed_iters):
            dd = sign * warp(flows, ttn * dd, grid2)
        # The backward estimates from both frames compete: the better-matching one wins.
        cand = dd
        n = cand.shape[0]

        def sym_err(cand):
            # cand [N,2,h,w] motions; error between frame 0 sampled at p - t d and frame 1
            # at p + (1 - t) d, box-filtered.
            n = cand.shape[0]
            y01 = torch.cat([y4[0:1].expand(n, 1, h, w), y4[1:2].expand(n, 1, h, w)], 0)
            gridn = grid.expand(2 * n, 2, h, w)
            sm = warp(y01, torch.cat([-t * cand, (1.0 - t) * cand], 0), gridn)
            e = (sm[:n] - sm[n:]).abs()
            return F.avg_pool2d(e, 3, 1, 1, count_include_pad=False)

        en = sym_err(cand)  # [n,1,h,w]
        pick = torch.softmax(-en / 0.002, 0)
        d_back = (pick * cand).sum(0, keepdim=True)
        use = torch.sigmoid(((cov0 + cov1) - self.cover) / (0.25 * self.cover))
        d = use * d_splat + (1.0 - use) * d_back
        for _ in range(self.lk_iters):
            d = self.refine(y4, d, t, grid)
        e_warp = sym_err(d)

        # Visibility in each frame: reliable points of that frame land here.
        v0 = cov0.clamp(0.0, 1.0) + 0.05
        v1 = cov1.clamp(0.0, 1.0) + 0.05
        k0 = (1.0 - t) * v0 / ((1.0 - t) * v0 + t * v1)

        # Trust in the warp: where it does not match the two frames better than leaving
        # them in place (static content), the plain blend is kept: it is exact there.
        yl0, yl1 = y4[0:1], y4[1:2]
        e_still = F.avg_pool2d((yl0 - yl1).abs(), 3, 1, 1, count_include_pad=False)
        a = ((e_still - e_warp - self.margin) / self.soft).clamp(0.0, 1.0)
        a_err = a
        # That test cannot see an object passing through a pixel between the frames (both
        # frames show the background there): where reliable motion of more than a couple
        # of pixels lands, the warp is trusted.
        speed = (d * d).sum(1, keepdim=True).clamp(min=1e-8).sqrt()
        a = torch.maximum(a, use * ((speed - self.moving) / 0.2 + 0.5).clamp(0.0, 1.0))
        if self.debug is not None:
            self.debug.update(d=d, d_splat=d_splat, d_back=d_back, use=use, cov0=cov0,
                              cov1=cov1, a=a, k0=k0, e_warp=e_warp, e_still=e_still,
                              conf=conf, flows=flows, a_err=a_err)
        return self.compose(img0, img1, x, t, d, a, k0)

    def refine(self, y4, d, t, grid):
        """One Lucas-Kanade step on the symmetric matching at time t: the correction that
        best aligns frame 0 at p - t d with frame 1 at p + (1 - t) d over a window."""
        _, _, h, w = d.shape
        y01 = torch.cat([y4[0:1], y4[1:2]], 0)
        sm = warp(y01, torch.cat([-t * d, (1.0 - t) * d], 0), torch.cat([grid, grid], 0))
        w0, w1 = sm[0:1], sm[1:2]
        r = w1 - w0
        gx = F.pad((sm[:, :, :, 2:] - sm[:, :, :, :-2]) * 0.5, (1, 1, 0, 0), mode="replicate")
        gy = F.pad((sm[:, :, 2:, :] - sm[:, :, :-2, :]) * 0.5, (0, 0, 1, 1), mode="replicate")
        # d(r)/d(delta) = (1 - t) grad w1 + t grad w0
        ax = (1.0 - t) * gx[1:2] + t * gx[0:1]
        ay = (1.0 - t) * gy[1:2] + t * gy[0:1]
        m = box_filter(torch.cat([ax * ax, ax * ay, ay * ay, ax * r, ay * r], 1), self.lk_box)
        sxx, sxy, syy, sxr, syr = m[:, 0:1], m[:, 1:2], m[:, 2:3], m[:, 3:4], m[:, 4:5]
        reg = self.lk_reg
        det = (sxx + reg) * (syy + reg) - sxy * sxy
        ddx = -((syy + reg) * sxr - sxy * syr) / det
        ddy = -((sxx + reg) * syr - sxy * sxr) / det
        delta = torch.cat([ddx, ddy], 1).clamp(-self.lk_max, self.lk_max)
        return d + delta

    def compose(self, img0, img1, x, t, d, a, k0):
        """The full-resolution frame: the blend of the two frames, replaced by the motion-
        compensated result in the 4x4 cells where the warp is trusted (and their
        neighbours). Only those cells are resampled, so static content costs nothing."""
        _, _, hh, ww = img0.shape
        _, _, h, w = d.shape
        blend = ((1.0 - t) * img0 + t * img1).reshape(3, hh * ww)

        # Cells to compute; cell 0 always, so that the set is never empty.
        near = F.max_pool2d(a, 3, 1, 1).reshape(h * w)
        first = torch.arange(h * w) == 0
        cells = torch.nonzero((near > self.cell_floor) | first).reshape(-1)  # [M]

        # Their upsampled motion, trust and visibility weight, from 3x3 neighbourhoods.
        lowres = torch.cat([d, a, k0], 1)  # [1,4,h,w]
        lp = F.pad(lowres, (1, 1, 1, 1), mode="replicate")
        nb = torch.stack([lp[:, :, j:j + h, i:i + w] for j in range(3) for i in range(3)], 2)
        nb = torch.index_select(nb.reshape(4 * 9, h * w), 1, cells).reshape(4, 9, -1)
        up = torch.matmul(nb.permute(0, 2, 1), self.up_w_t)  # [4,M,16]

        # Pixel coordinates of the 16 pixels of each cell, cell by cell (memory order).
        cy = torch.div(cells, w, rounding_mode="floor")
        cx = cells - cy * w
        u = torch.arange(4).repeat(4).view(1, 16)
        v = torch.arange(4).repeat_interleave(4).view(1, 16)
        px = cx.view(-1, 1) * 4 + u  # [M,16]
        py = cy.view(-1, 1) * 4 + v
        pix = (py * ww + px).reshape(-1)  # [16M]
        pxf = px.to(d.dtype)
        pyf = py.to(d.dtype)
        dx = up[0] * 4.0
        dy = up[1] * 4.0
        t1 = t.view(1, 1)
        # Frame 0 at p - t d and frame 1 at p + (1 - t) d.
        pixels, first = pixel_major(x)
        sxy = torch.stack([pxf - t1 * dx, pxf + (1.0 - t1) * dx], 0).reshape(2, -1)
        syy = torch.stack([pyf - t1 * dy, pyf + (1.0 - t1) * dy], 0).reshape(2, -1)
        warped = bilinear(pixels, sxy, syy, hh, ww, first).reshape(3, 2, -1, 16)
        kk = up[3:4]
        mixed = kk * warped[:, 0] + (1.0 - kk) * warped[:, 1]  # [3,M,16]
        b = torch.index_select(blend, 1, pix).reshape(3, -1, 16)
        res = b + up[2:3] * (mixed - b)
        out = blend.scatter(1, pix.view(1, -1).expand(3, pix.shape[0]), res.reshape(3, -1))
        return out.reshape(1, 3, hh, ww).clamp(0.0, 1.0)
