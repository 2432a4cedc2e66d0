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


def shifted_stack(x, r):
    """All integer shifts of x within +-r: [N,K,C,h,w], K=(2r+1)^2, entry k = x(p + d_k)."""
    xp = F.pad(x, (r, r, r, r), mode="replicate")
    out = []
    for dy in range(-r, r + 1):
        for dx in range(-r, r + 1):
            ye = (dy - r) if dy < r else None
            xe = (dx - r) if dx < r else None
            out.append(xp[:, :, r + dy:ye, r + dx:xe])
    return torch.stack(out, 1)


def search(a, b, r, box):
    """Best displacement d (within +-r, sub-pixel) of each pixel of a into b.

    Returns flow [N,2,h,w] and the matching cost at d and at 0."""
    n, c, h, w = a.shape
    k = 2 * r + 1
    cost = (shifted_stack(b, r) - a.unsqueeze(1)).abs().sum(2)  # [N,K,h,w]
    if box > 1:
        cost = F.avg_pool2d(cost, box, 1, box // 2, count_include_pad=False)
    idx = torch.argmin(cost, 1, keepdim=True)
    best = torch.gather(cost, 1, idx)
    iy = torch.div(idx, k, rounding_mode="floor")
    ix = idx - iy * k
    # Parabola through the neighbours along x and y for the sub-pixel part; at the window's
    # edge the neighbour is missing and the integer result stands.
    left = torch.gather(cost, 1, (idx - 1).clamp(0, k * k - 1))
    right = torch.gather(cost, 1, (idx + 1).clamp(0, k * k - 1))
    up = torch.gather(cost, 1, (idx - k).clamp(0, k * k - 1))
    down = torch.gather(cost, 1, (idx + k).clamp(0, k * k - 1))

    def vertex(m, c0, p, inside):
        den = m - 2.0 * c0 + p
        off = 0.5 * (m - p) / den.clamp(min=1e-6)
        off = off.clamp(-0.5, 0.5)
        return torch.where(inside & (den > 1e-6), off, torch.zeros_like(off))

    sx = vertex(left, best, right, (ix > 0) & (ix < k - 1))
    sy = vertex(up, best, down, (iy > 0) & (iy < k - 1))
    fx = ix.to(a.dtype) - r + sx
    fy = iy.to(a.dtype) - r + sy
    zero = cost[:, (k * k) // 2:(k * k) // 2 + 1]
    return torch.cat([fx, fy], 1), best, zero


class Interpolator(torch.nn.Module):
    """img0, img1 [1,3,H,W] in [0,1], timestep [1] -> frame at that time [1,3,H,W].

    H and W must be multiples of 64 (the library pads frames to that)."""

    def __init__(self, levels=5, finest=2, radius=4, box=5):
        super().__init__()
        self.levels = levels  # number of pyramid levels searched, coarsest = finest + levels - 1
        self.finest = finest  # flow is estimated down to 1/2**finest resolution
        self.radius = radius
        self.box = box

    def bidirectional_flow(self, y0, y1):
        """Flows 0->1 and 1->0 at 1/2**finest resolution, stacked in the batch: [2,2,h,w]."""
        pyr = [torch.cat([y0, y1], 0)]
        for _ in range(self.finest + self.levels - 1):
            pyr.append(down2(pyr[-1]))
        flow = None
        for lev in range(self.finest + self.levels - 1, self.finest - 1, -1):
            y = pyr[lev]
            fa = features(y)
            fb = torch.cat([fa[1:2], fa[0:1]], 0)
            if flow is None:
                flow = torch.zeros_like(fa[:, 0:2])
                warped = fb
            else:
                flow = 2.0 * F.interpolate(flow, scale_factor=2.0, mode="bilinear",
                                           align_corners=False)
                warped = warp(fb, flow)
            inc, _, _ = search(fa, warped, self.radius, self.box)
            flow = flow + inc
        return flow, pyr[self.finest]

    def forward(self, img0, img1, timestep):
        t = timestep.view(1, 1, 1, 1)
        y0, y1 = luma(img0), luma(img1)
        flows, ylev = self.bidirectional_flow(y0, y1)
        f01, f10 = flows[0:1], flows[1:2]
        _, _, h, w = f01.shape
        grid = base_grid(1, h, w, f01)

        # Motion d (0 -> 1) of the point that is at p at time t, by fixed-point iteration
        # d = F01(p - t d) and d = -F10(p + (1 - t) d).
        da = f01
        db = -f10
        for _ in range(3):
            da = warp(f01, -t * da, grid)
            db = -warp(f10, (1.0 - t) * db, grid)

        yl0, yl1 = ylev[0:1], ylev[1:2]

        def sym_err(d):
            e = (warp(yl0, -t * d, grid) - warp(yl1, (1.0 - t) * d, grid)).abs()
            return F.avg_pool2d(e, 5, 1, 2, count_include_pad=False)

        ea, eb = sym_err(da), sym_err(db)
        sel = torch.sigmoid((eb - ea) / 0.005)
        d = sel * da + (1.0 - sel) * db

        # Visibility of the point in each frame from forward/backward consistency.
        c0 = warp(f01, -t * d, grid) - d
        c1 = -warp(f10, (1.0 - t) * d, grid) - d
        v0 = torch.exp(-(c0 * c0).sum(1, keepdim=True) / 1.0) + 0.05
        v1 = torch.exp(-(c1 * c1).sum(1, keepdim=True) / 1.0) + 0.05

        # To full resolution.
        s = float(2 ** self.finest)
        d_full = s * F.interpolate(d, scale_factor=s, mode="bilinear", align_corners=False)
        v = F.interpolate(torch.cat([v0, v1], 1), scale_factor=s, mode="bilinear",
                          align_corners=False)
        w0 = (1.0 - t) * v[:, 0:1]
        w1 = t * v[:, 1:2]
        _, _, hh, ww = img0.shape
        gfull = base_grid(1, hh, ww, img0)
        warped0 = warp(img0, -t * d_full, gfull)
        warped1 = warp(img1, (1.0 - t) * d_full, gfull)
        out = (w0 * warped0 + w1 * warped1) / (w0 + w1)

        # Where warping does not match the two frames better than leaving them in place
        # (static content), keep the plain blend: it is exact there and not resampled.
        blend = (1.0 - t) * img0 + t * img1
        e_warp = F.avg_pool2d((warped0 - warped1).abs().sum(1, keepdim=True), 4, 4)
        e_still = F.avg_pool2d((img0 - img1).abs().sum(1, keepdim=True), 4, 4)
        a = torch.sigmoid((e_still - e_warp - 0.01) / 0.005)
        a = F.interpolate(a, scale_factor=4.0, mode="bilinear", align_corners=False)
        out = blend + a * (out - blend)
        return out.clamp(0.0, 1.0)
