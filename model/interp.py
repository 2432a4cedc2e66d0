"""Training-free motion-compensated frame interpolation, written for ONNX export.

See model/README.md for the method. Everything here is plain tensor arithmetic with fixed
parameters (no learned weights), so the exported graph is small and deterministic.
"""
import torch
import torch.nn.functional as F


def down2(x):
    """x [N,1,h,w] halved through the [1 3 3 1] / 8 filter. A 2x2 mean leaves much of a fine
    periodic texture (a fence, lines of text) aliased into a coarse pattern that moves
    another way; the coarse levels' searches then follow that pattern."""
    return separable(x, [1.0, 3.0, 3.0, 1.0], stride=2)


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


def bilinear(img, x, y):
    """Bilinear samples [N,C,*S] of the image img [N,C,H,W] at pixel positions x, y [N,*S]
    inside it. Zero padding without corner alignment is the variant ONNX Runtime computes
    fastest; positions inside the image never reach the padding."""
    _, _, h, w = img.shape
    g = torch.stack([x * (2.0 / w) + (1.0 / w - 1.0), y * (2.0 / h) + (1.0 / h - 1.0)], -1)
    return F.grid_sample(img, g, mode="bilinear", padding_mode="zeros", align_corners=False)


def warp(img, flow, grid=None):
    """Samples img at (pixel + flow), flow [N,2,h,w] in pixels (x, y), border clamped."""
    n, _, h, w = img.shape
    if grid is None:
        grid = base_grid(n, h, w, img)
    pos = grid + flow
    x = pos[:, 0].clamp(0.0, w - 1.0)
    y = pos[:, 1].clamp(0.0, h - 1.0)
    return bilinear(img, x, y)


def curvature(y):
    """Second differences along x and along y of a full-resolution grey image [1,1,H,W],
    edges repeated: [1,2,H,W]. Element-wise: written as a convolution or a pooling, it took
    ONNX Runtime much more memory."""
    px = F.pad(y, (1, 1, 0, 0), mode="replicate")
    dxx = px[:, :, :, :-2] + px[:, :, :, 2:] - 2.0 * y
    py = F.pad(y, (0, 0, 1, 1), mode="replicate")
    dyy = py[:, :, :-2, :] + py[:, :, 2:, :] - 2.0 * y
    return torch.cat([dxx, dyy], 1)


def sharp_sample(planes, sx, sy, extent):
    """Cubic (Catmull-Rom) samples [3, *S] of a full-resolution image, given as planes
    [1,5,H,W]: its three channels and its curvature(), at positions sx, sy (equal shapes S,
    two dimensions) clamped to the content (extent, see content_extent()) as by border
    padding.

    A bilinear sample between pixels is a blur, and nearly every moving pixel falls between
    pixels: moving content came out softer than the frames. Along one axis, Catmull-Rom is
    the linear sample minus f (1 - f) / 2 times the linearly interpolated second difference;
    here the grey image's second differences stand in for every channel's and the small
    cross term is dropped, so that a sample is one bilinear lookup (GridSample) of five
    planes instead of sixteen taps. One lookup of all five: ONNX Runtime prepares the
    positions of each lookup on one thread, and that costs more than sampling the planes."""
    first_row, first_col, last_row, last_col = extent
    sx = torch.minimum(torch.maximum(sx, first_col), last_col)
    sy = torch.minimum(torch.maximum(sy, first_row), last_row)
    x0 = torch.floor(sx)
    y0 = torch.floor(sy)
    fx = sx - x0
    fy = sy - y0
    # The content's outermost rows and columns have padding or a bar beside them (the
    # frame's own edges repeat theirs): samples next to them stay linear.
    inside_x = (x0 + 1.0 < last_col) & ((x0 > first_col) | (first_col <= 0.0))
    inside_y = (y0 + 1.0 < last_row) & ((y0 > first_row) | (first_row <= 0.0))
    gx = 0.5 * fx * (1.0 - fx) * inside_x.to(fx.dtype)
    gy = 0.5 * fy * (1.0 - fy) * inside_y.to(fy.dtype)
    s = bilinear(planes, sx.unsqueeze(0), sy.unsqueeze(0))[0]
    return s[0:3] - gx * s[3] - gy * s[4]


def shifted_columns(xp, m, step):
    """Columns of xp (padded by m on each side) shifted by -m..m in steps: [N,K,C,h+2m,w]."""
    cols = []
    for dx in range(-m, m + 1, step):
        xe = (dx - m) if dx < m else None
        cols.append(xp[:, :, :, m + dx:xe])
    return torch.stack(cols, 1)


def shifted_rows(cols, m, step):
    """The rows of shifted_columns() shifted by -m..m in steps, each [N,K,C,h,w]."""
    for dy in range(-m, m + 1, step):
        ye = (dy - m) if dy < m else None
        yield cols[:, :, :, m + dy:ye]


def separable(x, taps, stride=1):
    """x [N,1,h,w] filtered along x and then y by the normalised taps (3 or 4 of them),
    borders repeated by one pixel; with stride 2 one output per 2x2 pixels."""
    k = torch.tensor(taps) / sum(taps)
    n = len(taps)
    x = F.pad(x, (1, 1, 1, 1), mode="replicate")
    x = F.conv2d(x, k.view(1, 1, 1, n), stride=(1, stride))
    return F.conv2d(x, k.view(1, 1, n, 1), stride=(stride, 1))


def binomial_blur(x, passes):
    """x [N,1,h,w] smoothed by `passes` passes of the 3x3 binomial filter."""
    for _ in range(passes):
        x = separable(x, [1.0, 2.0, 1.0])
    return x


def box_filter(x, box, stride=1):
    """Mean over box x box windows (fewer at the borders), as two 1-D passes. With stride 2
    (and an even box) one mean per 2x2 pixels, over the window centred on their corner."""
    pad = box // 2 if stride == 1 else box // 2 - 1
    x = F.avg_pool2d(x, (box, 1), (stride, 1), (pad, 0), count_include_pad=False)
    return F.avg_pool2d(x, (1, box), (1, stride), (0, pad), count_include_pad=False)


def swapped(x):
    """The batch's two entries exchanged: frame 1's data against frame 0's and back."""
    return torch.cat([x[1:2], x[0:1]], 0)


def window_cost(fa, fb, box):
    """How badly fb matches fa: absolute feature differences summed over channels and
    box-filtered."""
    return box_filter((fa - fb).abs().sum(1, keepdim=True), box)


def matching_cost(fa, fb, flow, box):
    """window_cost() of fb warped by flow."""
    return window_cost(fa, warp(fb, flow), box)


def better_of(fa, fb, flow, cand, gain, box):
    """cand where its matching_cost() is under gain times flow's, flow elsewhere."""
    better = matching_cost(fa, fb, cand, box) < gain * matching_cost(fa, fb, flow, box)
    return torch.where(both(better), cand, flow)


def content_span(lit):
    """The first and last index (float scalars) where the [N] mask lit is set; 0 and 0 when
    it is set nowhere."""
    n = lit.shape[0]
    index = torch.arange(n, dtype=torch.float32)
    last = (lit.to(torch.float32) * index).max()
    first = torch.minimum((index + n * (~lit).to(torch.float32)).min(), last)
    return first, last


def content_extent(img0, img1):
    """The first row, first column, last row and last column (float scalars) that are not
    black in either frame. The library pads frames with black on the right and below, and
    letterbox and pillarbox bars, on any side, are no content either."""
    rows = torch.maximum(img0.amax(dim=(0, 1, 3)), img1.amax(dim=(0, 1, 3))) > 0
    cols = torch.maximum(img0.amax(dim=(0, 1, 2)), img1.amax(dim=(0, 1, 2))) > 0
    first_row, last_row = content_span(rows)
    first_col, last_col = content_span(cols)
    return first_row, first_col, last_row, last_col


def in_picture(x, y, extent, scale=1.0):
    """Whether positions (x, y), in pixels of a level scale times the frame's size, lie in
    the picture, whose content_extent() at full resolution extent gives."""
    first_row, first_col, last_row, last_col = extent
    return ((x >= first_col * scale - 0.5) & (x <= (last_col + 1.0) * scale - 0.5) &
            (y >= first_row * scale - 0.5) & (y <= (last_row + 1.0) * scale - 0.5))


def black_outside(img, extent):
    """img [1,3,H,W] clamped to [0, 1] and black outside the content: samples are clamped
    to the content, so cells that reach into a black bar (or the padding) bring the picture
    into it, where both frames, and so the blend, are black."""
    first_row, first_col, last_row, last_col = extent
    _, _, hh, ww = img.shape
    rows = torch.arange(hh, dtype=img.dtype)
    cols = torch.arange(ww, dtype=img.dtype)
    rows = ((rows >= first_row) & (rows <= last_row)).to(img.dtype).view(1, 1, hh, 1)
    cols = ((cols >= first_col) & (cols <= last_col)).to(img.dtype).view(1, 1, 1, ww)
    # The masks are 1 inside and 0 outside: the upper bounds.
    return torch.minimum(torch.minimum(img.clamp(min=0.0), rows), cols)


def halved_extent(extent):
    """The content's extent at half resolution, leaving out an outermost pixel that is half
    content and half padding or bar."""
    first_row, first_col, last_row, last_col = extent
    last_row, last_col = ((torch.floor((e + 1.0) * 0.5) - 1.0).clamp(min=0.0)
                          for e in (last_row, last_col))
    first_row = torch.minimum(torch.ceil(first_row * 0.5), last_row)
    first_col = torch.minimum(torch.ceil(first_col * 0.5), last_col)
    return first_row, first_col, last_row, last_col


def fill_padding(x, extent):
    """Repeats the outermost content rows and columns over the padding and bars, so that
    motion near the picture's edges is estimated as if it went on, not against a black
    band."""
    first_row, first_col, last_row, last_col = extent
    _, _, hh, ww = x.shape
    rows = torch.arange(hh, dtype=x.dtype)
    cols = torch.arange(ww, dtype=x.dtype)
    rows = torch.minimum(torch.maximum(rows, first_row), last_row).to(torch.int64)
    cols = torch.minimum(torch.maximum(cols, first_col), last_col).to(torch.int64)
    return torch.index_select(torch.index_select(x, 2, rows), 3, cols)


def gradients(y):
    """Central differences of a grey image [N,1,h,w] along x and y."""
    gx = F.pad((y[:, :, :, 2:] - y[:, :, :, :-2]) * 0.5, (1, 1, 0, 0), mode="replicate")
    gy = F.pad((y[:, :, 2:, :] - y[:, :, :-2, :]) * 0.5, (0, 0, 1, 1), mode="replicate")
    return gx, gy


def lk_template(ta, box, stride=1, reg=1e-6):
    """What window Lucas-Kanade needs of the template ta (grey [N,1,h,w]) over box x box
    windows (one per stride x stride pixels), computed once for all passes: its gradients,
    their mean-normalised 2x2 system (with a small regularisation) and the sums that do not
    depend on the motion."""
    gx, gy = gradients(ta)
    m = box_filter(torch.cat([gx * gx, gx * gy, gy * gy, gx, gy, ta, gx * ta, gy * ta], 1), box,
                   stride)
    mgx, mgy, mt = m[:, 3:4], m[:, 4:5], m[:, 5:6]
    hxx = m[:, 0:1] - mgx * mgx + reg
    hxy = m[:, 1:2] - mgx * mgy
    hyy = m[:, 2:3] - mgy * mgy + reg
    return dict(g=torch.cat([gx, gy, torch.ones_like(gx)], 1), mgx=mgx, mgy=mgy,
                hxx=hxx, hxy=hxy, hyy=hyy, det=hxx * hyy - hxy * hxy,
                bx0=m[:, 6:7] - mgx * mt, by0=m[:, 7:8] - mgy * mt)


def inside_level(pos, h, w):
    """1 where positions pos [N,2,*] (pixels, x then y) lie on an h x w level, else 0:
    [N,1,*]."""
    x, y = pos[:, 0:1], pos[:, 1:2]
    return ((x >= 0) & (x <= w - 1) & (y >= 0) & (y <= h - 1)).to(pos.dtype)


def window_lk(tb, flow, tpl, box, smooth, stride=1):
    """Sub-pixel refinement of flow [N,2,h,w] from the template (see lk_template) into tb
    (grey, this level's pixels) by one inverse-compositional Lucas-Kanade step over box x box
    windows, one displacement per window.

    tb is warped by the motion averaged over each window (not rounded to whole pixels:
    where it lies near a half pixel, rounding splits a window between two shifts a pixel
    apart and the passes drift off the true motion). Sums are mean-normalised (brightness
    changes do not count). Windows without texture in some direction say little about
    their motion: the result is smoothed with weights from the window's smaller curvature
    (smooth x smooth).

    With stride 2 the windows are taken one per 2x2 pixels of tb: flow and the result are
    on that coarser grid (in tb's pixels)."""
    if stride == 1:
        n0 = box_filter(flow, box)
    else:
        n0 = F.interpolate(flow, scale_factor=float(stride), mode="bilinear",
                           align_corners=False)
    tw = warp(tb, n0)
    n, _, h, w = tw.shape
    sums = box_filter(tpl["g"] * tw, box, stride)  # gradient x, gradient y and 1 times tw
    bx = sums[:, 0:1] - tpl["mgx"] * sums[:, 2:3] - tpl["bx0"]
    by = sums[:, 1:2] - tpl["mgy"] * sums[:, 2:3] - tpl["by0"]
    ux = (tpl["hyy"] * bx - tpl["hxy"] * by) / tpl["det"]
    uy = (tpl["hxx"] * by - tpl["hxy"] * bx) / tpl["det"]
    # Inverse compositional: the template moved by u, so the motion moves by -u.
    d = (-torch.cat([ux, uy], 1)).clamp(-1.0, 1.0)
    # Windows that reach outside the picture in tb match against repeated border pixels:
    # they keep the motion handed in, in proportion, and weigh nothing in the smoothing.
    valid = box_filter(inside_level(base_grid(n, h, w, tw) + n0, h, w), box, stride)
    valid = valid * valid
    if stride > 1:
        n0 = box_filter(n0, box, stride)
    out = flow + valid * (n0 + d - flow)
    conf = valid * tpl["det"] / (tpl["hxx"] + tpl["hyy"])
    return box_filter(out * conf, smooth) / box_filter(conf, smooth).clamp(min=1e-12)


def dominant_motion(ya, motion, iters, counts, step=1):
    """One translation per direction [N,2,h,w] (expanded) that moves the grey level ya
    [N,1,h,w] onto its other direction's frame best overall: inverse-compositional
    Lucas-Kanade over the whole level, from motion [N,2,1,1]. counts(grid, pos) says which
    pixels count, from where they are and where the motion carries them; with step > 1 only
    every step-th pixel of every step-th row does (one translation needs few)."""
    yb = swapped(ya)
    n, _, h, w = ya.shape
    gx, gy = gradients(ya)
    grid = base_grid(n, h, w, ya)
    if step > 1:
        ya, gx, gy, grid = (v[:, :, ::step, ::step] for v in (ya, gx, gy, grid))
    hxx, hxy, hyy = (gx * gx).sum((2, 3)), (gx * gy).sum((2, 3)), (gy * gy).sum((2, 3))
    for _ in range(iters):
        full = motion.expand_as(grid)
        r = (warp(yb, full, grid) - ya) * counts(grid, grid + full)
        bx, by = (gx * r).sum((2, 3)), (gy * r).sum((2, 3))
        det = (hxx * hyy - hxy * hxy).clamp(min=1e-12)
        u = torch.stack([hyy * bx - hxy * by, hxx * by - hxy * bx], 1) / det.unsqueeze(1)
        motion = motion - u.view(n, 2, 1, 1).clamp(-1.0, 1.0)
    return motion.expand(n, 2, h, w)


def search(a, b, r, box, step=1, penalty=0.0, stride=1):
    """Best displacement d (within +-r steps, sub-pixel) of each pixel of a into b, with
    the costs box-filtered over box x box pixels.

    Returns the flow [N,2,h,w] and the matching cost at d [N,1,h,w]."""
    k = 2 * r + 1
    # One row of displacements at a time: the differences of all channels at all
    # displacements at once would be the model's largest tensor.
    m = r * step
    cols = shifted_columns(F.pad(b, (m, m, m, m), mode="replicate"), m, step)
    rows = [(row - a.unsqueeze(1)).abs().sum(2) for row in shifted_rows(cols, m, step)]
    if stride > 1:
        # Filtered and decided on a coarser grid (one motion per stride x stride block).
        rows = [F.avg_pool2d(c, box, stride, box // 2, count_include_pad=False) for c in rows]
    cost = torch.cat(rows, 1)  # [N,K,h,w]
    if stride == 1 and box > 1:
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


def search_each(a, b, r, box, penalty):
    """search() for the two directions one after the other, so that where the cost volume is
    large (at 1/4) only one direction's exists at a time."""
    found = [search(a[i:i + 1], b[i:i + 1], r, box, 1, penalty) for i in range(2)]
    flow, best = (torch.cat(parts, 0) for parts in zip(*found))
    return flow, best


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


def symmetric_error(y, grid, t, d):
    """How badly motions d [N,2,h,w] at time t explain the grey frames y [2,1,h,w]: frame 0
    sampled at p - t d against frame 1 at p + (1 - t) d, absolute difference box-filtered
    over 3x3. Returns [N,1,h,w]."""
    n, _, h, w = d.shape
    y01 = torch.cat([y[0:1].expand(n, 1, h, w), y[1:2].expand(n, 1, h, w)], 0)
    sm = warp(y01, torch.cat([-t * d, (1.0 - t) * d], 0), grid.expand(2 * n, 2, h, w))
    return F.avg_pool2d((sm[:n] - sm[n:]).abs(), 3, 1, 1, count_include_pad=False)


def cell_pixels(cells, w, ww):
    """Full-resolution coordinates px, py [M,16] of the 16 pixels of each of the 4x4 cells
    (indices into a 1/4-resolution grid w wide; frames ww wide), cell by cell in memory
    order, and their flat indices [16M]."""
    cy = torch.div(cells, w, rounding_mode="floor")
    cx = cells - cy * w
    u = torch.arange(4).repeat(4).view(1, 16)
    v = torch.arange(4).repeat_interleave(4).view(1, 16)
    px = cx.view(-1, 1) * 4 + u
    py = cy.view(-1, 1) * 4 + v
    return px, py, (py * ww + px).reshape(-1)


def warped_mix(frames, px, py, dx, dy, kk, t, extent):
    """Frame 0 sampled at p - t d and frame 1 at p + (1 - t) d for pixels p = (px, py) and
    motions d = (dx, dy) [M,16] (full-resolution pixels), weighted by kk and 1 - kk: [3,M,16].
    A sample that falls outside the picture (content entering or leaving at an edge) leaves
    the pixel to the other frame; where neither lies in the picture, the weights stand."""
    s0, s1 = -t.view(1, 1), 1.0 - t.view(1, 1)
    sx0, sy0, sx1, sy1 = px + s0 * dx, py + s0 * dy, px + s1 * dx, py + s1 * dy
    k0 = kk * in_picture(sx0, sy0, extent).to(t.dtype)
    k1 = (1.0 - kk) * in_picture(sx1, sy1, extent).to(t.dtype)
    k_sum = k0 + k1
    some = k_sum > 0
    norm = 1.0 / k_sum.clamp(min=1e-6)
    k0 = torch.where(some, k0 * norm, kk)
    k1 = torch.where(some, k1 * norm, 1.0 - kk)
    # One frame after the other, so that only one frame's samples are alive at a time.
    mixed = k0 * sharp_sample(frames[0], sx0, sy0, extent)
    return mixed + k1 * sharp_sample(frames[1], sx1, sy1, extent)


def put_cells(out, blend, pix, trust, mixed):
    """out [3,H*W] with the pixels pix [16M] set to the blend moved towards mixed [3,M,16] by
    trust [M,16]."""
    b = torch.index_select(blend, 1, pix).reshape(3, -1, 16)
    res = b + trust * (mixed - b)
    return out.scatter(1, pix.view(1, -1).expand(3, pix.shape[0]), res.reshape(3, -1))


def halves(cells):
    """cells in two halves, to be taken one after the other, so that the first half's
    full-resolution temporaries are gone before the second's exist. The halves share a cell
    when there are an odd number (computed twice, the same values)."""
    m = cells.shape[0]
    half = torch.div(m + 1, 2, rounding_mode="floor")
    return cells[:half], cells[m - half:]


def quarter_means(x):
    """[M,16] values of the 4x4 pixels of M cells -> [M,4]: the mean of each 2x2 quarter."""
    return x.reshape(-1, 2, 2, 2, 2).mean((2, 4)).reshape(-1, 4)


def motion_spread(nb):
    """How far the motions of each cell's 3x3 neighbourhood (nb, see compose()) reach from
    its own: the largest |dx| + |dy| of the differences, in 1/4-resolution pixels [h*w]."""
    dx, dy = nb[0:9], nb[9:18]
    return ((dx - dx[4:5]).abs() + (dy - dy[4:5]).abs()).amax(0)


def half_error(y2, px, py, dx, dy, t, extent, outside):
    """How differently the grey half-resolution frames y2 [2,1,H/2,W/2] look along motions
    d = (dx, dy) at full-resolution pixels p = (px, py) [M,16]: |frame 0 at p - t d minus
    frame 1 at p + (1 - t) d|, or `outside` where a sample leaves the picture."""
    _, _, h2, w2 = y2.shape
    values, inside = [], None
    for frame, s in ((0, -t.view(1, 1)), (1, 1.0 - t.view(1, 1))):
        x, y = px + s * dx, py + s * dy
        here = in_picture(x, y, extent)
        inside = here if inside is None else inside & here
        hx = ((x + 0.5) * 0.5 - 0.5).clamp(0.0, w2 - 1.0)
        hy = ((y + 0.5) * 0.5 - 0.5).clamp(0.0, h2 - 1.0)
        values.append(bilinear(y2[frame:frame + 1], hx.unsqueeze(0), hy.unsqueeze(0))[0, 0])
    return torch.where(inside, (values[0] - values[1]).abs(), torch.full_like(values[0], outside))


def upsample_weights():
    """[16, 9]: bilinear 4x upsampling (half-pixel centres) of one cell from its 3x3
    neighbourhood; row v*4+u is the full-resolution pixel (u, v) of the cell."""
    one = []
    for u in range(4):
        o = (u - 1.5) / 4.0
        one.append([-o, 1.0 + o, 0.0] if o < 0 else [0.0, 1.0 - o, o])
    wts = torch.tensor(one)
    return torch.einsum("vj,ui->vuji", wts, wts).reshape(16, 9)


def reliable_weight(conf):
    """The weight of each pixel's motion in a mean of reliable motion: its reliability where
    that is over 1/2, none elsewhere."""
    return (conf > 0.5).to(conf.dtype) * conf


def reliable_mean(flows, reliable, scale, box, mode):
    """The mean of flows weighted by reliable over box x box windows of scale x scale blocks,
    upsampled back (mode "nearest" or "bilinear"), and the weight it had there."""
    num, den = flows * reliable, reliable
    if scale > 1:
        num, den = F.avg_pool2d(num, scale, scale), F.avg_pool2d(den, scale, scale)
    num, den = box_filter(num, box), box_filter(den, box)
    if scale > 1:
        up = dict(mode=mode) if mode == "nearest" else dict(mode=mode, align_corners=False)
        num = F.interpolate(num, scale_factor=float(scale), **up)
        den = F.interpolate(den, scale_factor=float(scale), **up)
    return num / den.clamp(min=1e-6), den


# Levels that also search around zero motion: (radius, gain, box) of each. At 1/4 the search
# is wide enough for a thin structure whose motion the aliased levels above lost, and its
# result must match clearly better over a large window.
ZERO_LEVELS = {4: (2, 1.0, 5), 3: (1, 1.0, 5), 2: (3, 0.85, 13)}


class Interpolator(torch.nn.Module):
    """img0, img1 [1,3,H,W] in [0,1], timestep [1] -> frame at that time [1,3,H,W].

    H and W must be multiples of 64 (the library pads frames to that)."""

    def __init__(self, coarsest=6, search_to=4, radius=2, box=5, penalty=0.002,
                 lk_levels=(3, 2, 1), lk_boxes=(7, 9, 6), lk_smooths=(5, 7, 7),
                 lk_passes=(6, 5, 5), lk_blurs=(1, 1, 0), wide=(8, 2),
                 wide_stride=2, wide_gain=0.9, chroma=1.5,
                 prop_steps=(3,), prop_margin=0.003, margin=0.004, soft=0.002, sigma=0.7,
                 tau_m=1.0, cover=0.3, moving=0.5, fixed_iters=2, zero_levels=None,
                 leave_box=9, leave_conf=1.0, leave_reach=2.0,
                 near=(3, 3, 0.7), keep_gain=0.6, keep_box=3,
                 exchange_levels=(6, 5, 4, 3, 2), exchange_gain=0.8, light_slack=0.02,
                 still=(0.05, 3), mend=(1.5, 5), surround=(16, 9, 3),
                 split=(1.0, 0.1), dominant=(3, 3), snap=(0.25, 1.05, 0.6, 6, 10, 4)):
        super().__init__()
        # Motion, coarse to fine over levels 2^-coarsest .. 1/2 (level k is scale 2^-k). The
        # library pads frames to multiples of 64, so every frame has a 1/64 level; searches
        # from there reach a fast pan's motion.
        self.coarsest = coarsest
        self.search_to = search_to  # levels coarsest..search_to search a local cost volume
        self.radius = radius
        self.box = box
        self.penalty = penalty  # cost per pixel of displacement in the searches
        self.zero_levels = ZERO_LEVELS if zero_levels is None else zero_levels
        # Levels refined by window Lucas-Kanade, with their window and smoothing sizes.
        self.lk_levels = lk_levels
        self.lk_boxes = lk_boxes
        self.lk_smooths = lk_smooths
        self.lk_passes = lk_passes
        self.lk_blurs = lk_blurs
        # Small fast objects: a wide, sparse search around zero at 1/8 ((radius, step); one
        # motion per wide_stride^2 block, checked per pixel with all features).
        self.wide = wide
        self.wide_stride = wide_stride
        self.wide_gain = wide_gain
        self.dominant = dominant  # (level, iterations) of follow_dominant(), or None
        # (reach, near gain, gain, box, iterations, step) of snap_to_dominant(), or None
        self.snap = snap
        self.chroma = chroma  # weight of the colour-difference features at 1/4
        self.prop_steps = prop_steps  # neighbour distances tried by propagate(), in turn
        self.prop_margin = prop_margin
        self.near = near  # (radius, box, gain) of the per-pixel search at 1/4
        self.keep_gain = keep_gain  # how much better the coarser motion must match to stay
        self.keep_box = keep_box
        self.still = still  # (gain, box) of keep_still(), or None
        self.mend = mend  # (gain, box) of mend_unreliable(), or None
        self.surround = surround  # (scale, box, cost box) of follow_surroundings(), or None
        self.split = split  # (spread, scale) of split_cells(), or None
        # Levels where each direction may take the other's reversed motion (exchange()).
        self.exchange_levels = exchange_levels
        self.exchange_gain = exchange_gain
        self.light_slack = light_slack  # brightness difference left as it is (light_balance())
        # Motion at time t, occlusion and trust.
        self.margin = margin
        self.soft = soft
        self.sigma = sigma  # flow disagreement (1/4 px) where reliability falls to 1/e
        self.tau_m = tau_m
        self.cover = cover
        self.moving = moving  # motion (1/4-resolution pixels) that is trusted as such
        self.fixed_iters = fixed_iters
        self.leave_box = leave_box  # neighbourhood whose motion leaving content takes
        self.leave_conf = leave_conf
        self.leave_reach = leave_reach  # how far (in motions) from the edge that is
        self.cell_floor = 0.003  # trust below which a cell keeps the plain blend
        self.cut_conf = (0.1, 0.2)  # mean reliability: surely a scene cut, surely none
        self.register_buffer("up_w_t", upsample_weights().t().contiguous(), persistent=False)
        self.debug = None  # a dict to receive intermediate results (development only)
        lw = torch.tensor([0.299, 0.587, 0.114]).view(1, 3, 1, 1)
        self.register_buffer("luma_w", lw, persistent=False)

    def bidirectional_flow(self, y2, y4, c4):
        """Flows 0->1 and 1->0 at 1/4 resolution, stacked in the batch: [2,2,h,w].

        Coarse to fine from 2^-coarsest to 1/2: the coarse levels search a local cost volume
        around the motion handed down (robust to large motion), the finer ones refine it by
        window Lucas-Kanade (sub-pixel precision); at 1/8 a wide search catches small fast
        objects, at 1/4 each pixel searches around its motion (objects a few pixels across)
        and may take a neighbour's motion (motion boundaries). From the coarsest level to 1/4
        the two directions mend each other (exchange())."""
        pyramid = {1: y2, 2: y4}
        for level in range(3, self.coarsest + 1):
            pyramid[level] = down2(pyramid[level - 1])
        flow = colour = None  # colour: what the 1/4 level matched with (keep_small())
        for level in range(self.coarsest, 0, -1):
            ya = pyramid[level]
            yb = swapped(ya)
            if level == 1:
                # The finest level refines the motion with windows of its pixels, one per
                # pixel of the level above, where the motion stays.
                fine = 0.5 * self.refine(ya, yb, 2.0 * flow, level, stride=2)
                return self.keep_small(colour, flow, fine)
            if flow is not None:
                flow = 2.0 * F.interpolate(flow, scale_factor=2.0, mode="bilinear",
                                           align_corners=False)
            if level >= self.search_to:
                flow = self.search_level(ya, flow)
            if level in self.zero_levels:
                flow = self.zero_search(ya, flow, *self.zero_levels[level])
            if level in self.lk_levels:
                flow = self.refine(ya, yb, flow, level)
            if level == 3 and self.wide[0] > 0:
                flow = self.wide_search(ya, flow)
            if level in self.exchange_levels:
                flow = self.exchange(ya, flow, level)
            if self.dominant is not None and level == self.dominant[0]:
                flow = self.follow_dominant(ya, flow)
            if level == 2:
                flow, colour = self.at_quarter(ya, c4, flow)
        return flow

    def at_quarter(self, ya, c4, flow):
        """At 1/4: the per-pixel search for small objects, motion boundaries, static overlays.
        Returns the flow and the grey-and-colour image it used (keep_small() needs it after
        the finest level)."""
        colour = torch.cat([ya, self.chroma * c4], 1)
        if self.near[0] > 0:
            flow = self.near_search(colour, swapped(colour), flow)
        if self.prop_steps:
            fa = self.quarter_features(ya, c4)
            flow = self.propagate(fa, swapped(fa), flow)
        if self.still is not None:
            flow = self.keep_still(colour, flow)
        return flow, colour

    def quarter_features(self, y4, c4):
        """features() of the 1/4 level and its colour differences, weighted by chroma: colour
        counts too, for objects that differ from their surroundings in hue more than in
        brightness."""
        fa = features(y4)
        if self.chroma > 0:
            fa = torch.cat([fa, self.chroma * c4], 1)
        return fa

    def keep_still(self, colour, flow):
        """Static overlays (a channel's logo, burned-in subtitles, a game's display) over a
        moving background: thinner than the windows above, they take the background's motion
        and are torn along with it. Where no motion at all explains a pixel's small
        neighbourhood (grey value and colour) far better, by still[0], it stays. Far: a thin
        line that moves along itself looks still too, and its true motion, a fraction of a
        pixel here, is blurred by the bilinear warp, so it costs several times more."""
        gain, box = self.still
        return better_of(colour, swapped(colour), flow, torch.zeros_like(flow), gain, box)

    def exchange(self, ya, flow, level):
        """The two directions' motions are each other's reversed, but each is estimated on its
        own: where one went astray (a repetitive texture matched a period off, a search that
        jumped to an aliased match) the other often did not. Each pixel tries the other
        direction's motion, reversed: at the coarse levels from the same place, at 1/4 from
        where its own motion leads (finer motion is less smooth), and takes it where it
        matches better (at 1/4, clearly better)."""
        fa = features(ya)
        other, gain = -swapped(flow), 1.0
        if level == 2:
            other, gain = warp(other, flow), self.exchange_gain
        return better_of(fa, swapped(fa), flow, other, gain, self.box)

    def search_level(self, ya, flow):
        """The motion handed down (none at the coarsest level) corrected by the best match
        within +-radius pixels of it."""
        fa = features(ya)
        fb = swapped(fa)
        if flow is None:
            flow, warped = torch.zeros_like(fa[:, 0:2]), fb
        else:
            warped = warp(fb, flow)
        inc, _ = search(fa, warped, self.radius, self.box, 1, self.penalty)
        return flow + inc

    def zero_search(self, ya, flow, radius, gain, box):
        """Coarse levels of small frames are tiny, and aliased levels hand down a wrong
        motion (a fence a few pixels apart is a blur or a false pattern there): a search
        around zero motion replaces it where that matches at least as well (or, with gain
        under 1, clearly better), by box x box windows. One direction at a time: at 1/4 the
        cost volume is large."""
        fa = features(ya)
        fb = swapped(fa)
        best = matching_cost(fa, fb, flow, box)
        zflow, zbest = search_each(fa, fb, radius, box, self.penalty)
        return torch.where(both(zbest <= gain * best), zflow, flow)

    def refine(self, ya, yb, flow, level, stride=1):
        """Window Lucas-Kanade passes at a level of lk_levels. With stride 2 the windows are
        taken one per 2x2 pixels, and flow and the result are on that coarser grid, in this
        level's pixels.

        The windows blur motion boundaries; the neighbour test at 1/4 (propagate) mends
        them. A per-pixel choice between the motion handed in and the refined one, without
        a clear margin, cost more than it gave on the tune half (it hands the coarser motion
        back at every other pixel of a pan)."""
        i = self.lk_levels.index(level)
        box, smooth = self.lk_boxes[i], self.lk_smooths[i]
        if self.lk_blurs[i] > 0:
            # Box-filtered levels keep edges sharp to the pixel, and the iterations
            # interpolate the image bilinearly: at fractional motion that is biased, most
            # where a window's texture runs in one direction. A light blur evens it out.
            ya = binomial_blur(ya, self.lk_blurs[i])
            yb = swapped(ya)
        template = lk_template(ya, box, stride)
        for _ in range(self.lk_passes[i]):
            flow = window_lk(yb, flow, template, box, smooth, stride)
        return flow

    def wide_search(self, ya, flow):
        """Small fast objects vanish at the coarse levels: a wide search around zero motion
        (grey value only, one motion per block) wins where it matches clearly better."""
        fa = features(ya)
        fb = swapped(fa)
        wflow, _ = search(fa[:, 0:1], fb[:, 0:1], self.wide[0], self.box, self.wide[1],
                          self.penalty, self.wide_stride)
        wflow = F.interpolate(wflow, scale_factor=float(self.wide_stride), mode="nearest")
        return better_of(fa, fb, flow, wflow, self.wide_gain, self.box)

    def follow_dominant(self, ya, flow):
        """A camera pan moves the whole picture alike, yet each window estimates it on its
        own and errs a little its own way (along lines and edges it sees only the motion
        across them). The picture's dominant motion (dominant_motion()) replaces a pixel's
        where it matches its neighbourhood better."""
        _, _, h, w = ya.shape
        cand = dominant_motion(ya, flow.mean((2, 3), keepdim=True), self.dominant[1],
                               lambda grid, pos: inside_level(pos, h, w))
        fa = features(ya)
        return better_of(fa, swapped(fa), flow, cand, 1.0, self.box)

    def near_search(self, fa, fb, flow):
        """Objects a few pixels across are lost in the windows of the levels above: each pixel
        searches +-near[0] pixels around its motion, by a small window of its grey value and
        colour (fa, fb), and takes the best match where it is clearly better."""
        radius, box, gain = self.near
        warped = warp(fb, flow)
        here = window_cost(fa, warped, box)
        inc, best = search_each(fa, warped, radius, box, self.penalty)
        return torch.where(both(best < gain * here), flow + inc, flow)

    def keep_small(self, fa, coarse, fine):
        """The finest level's windows smear the motion of objects smaller than them into
        their surroundings: where the motion handed to that level explains a pixel's
        neighbourhood (at 1/4, grey value and colour) clearly better, it stays."""
        if self.keep_gain <= 0:
            return fine
        return better_of(fa, swapped(fa), fine, coarse, self.keep_gain, self.keep_box)

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

    def fill_leaving(self, flows, conf, grid, extent):
        """Content that leaves the picture between the frames has nothing to match, so its
        flow is wrong (often none at all), fails the consistency check and, through the
        estimation's windows, spoils the motion of its neighbours too. Unreliable pixels
        near the edge take the motion of the reliable pixels around them where that motion
        carries them out of the picture or close to its edge: a pan's edges move with the
        pan."""
        cand, found = self.reliable_nearby(flows, conf)
        pos = grid + self.leave_reach * cand
        near_edge = ~in_picture(pos[:, 0:1], pos[:, 1:2], extent, 0.25)
        replace = near_edge & (conf < 0.5) & found
        flows = torch.where(both(replace), cand, flows)
        conf = torch.where(replace, torch.full_like(conf, self.leave_conf), conf)
        return flows, conf

    def reliable_nearby(self, flows, conf):
        """The nearest reliable motion of each pixel: the mean over a neighbourhood at 1/4,
        1/16 or 1/64, the finest that holds any, and where one was found."""
        reliable = reliable_weight(conf)
        cand, found = None, None
        for scale in (16, 4, 1):
            motion, weight = reliable_mean(flows, reliable, scale, self.leave_box, "nearest")
            here = weight > 0.05
            cand = motion if cand is None else torch.where(both(here), motion, cand)
            found = here if found is None else found | here
        return cand, found

    def mend_unreliable(self, flows, conf, fa, grid2):
        """Along a thin line or an edge any motion along it matches, and the two directions
        may each drift along it differently: the check fails and the blend would show the
        line twice. Unreliable pixels take the reliable motion around them where that
        matches about as well (mend[0] times their own cost, mend[1] box)."""
        gain, box = self.mend
        cand, found = self.reliable_nearby(flows, conf)
        mended = better_of(fa, swapped(fa), flows, cand, gain, box)
        flows = torch.where(both(found & (conf < 0.5)), mended, flows)
        return flows, self.consistency(flows, grid2)

    def follow_surroundings(self, flows, conf, fa, grid2):
        """Along an edge, a line or a soft gradient the searches and the Lucas-Kanade windows
        fix the motion only across it; along it the estimate drifts, and where both
        directions drift alike the consistency check passes. A pixel takes the reliable
        motion of its wide surroundings (the mean over surround[1] x surround[1] blocks of
        surround[0] x surround[0] pixels) where that matches its neighbourhood better
        (surround[2] box), unless that makes the two directions disagree more than before:
        a moving object whose motion matches poorly (a blur, a change of shape) is not
        handed the motion of the background around it."""
        scale, box, cost_box = self.surround
        wide, weight = reliable_mean(flows, reliable_weight(conf), scale, box, "bilinear")
        better = better_of(fa, swapped(fa), flows, wide, 1.0, cost_box)
        taken = torch.where(both(weight > 0.05), better, flows)
        agree = self.consistency(taken, grid2) >= conf
        flows = torch.where(both(agree), taken, flows)
        return flows, self.consistency(flows, grid2)

    def snap_to_dominant(self, flows, conf, y2, extent):
        """At 1/4 a box-downsampled streak or thin line looks alike under any motion along
        it, give or take how the bilinear warp blurs it, and the choices made there settle
        a pixel or more off along it: a pan along long beaded streaks came out torn in
        patches. The picture's dominant motion, refined at 1/2 from the flows' reliable mean
        (snap[4] steps over every snap[5]-th pixel), is tried at every pixel by the grey
        values of the 1/2 level, which keep what the 1/4 level blurs away, and taken where
        it matches clearly better (under snap[2] times the cost, over snap[3] x snap[3]
        pixels of 1/2) or, where it lies within snap[0] pixels (of 1/4) of the pixel's own
        motion, about as well (snap[1])."""
        reach, near_gain, gain, box, iters, step = self.snap
        n, _, h, w = y2.shape
        grid = base_grid(n, h, w, y2)

        def inside(pos):
            return in_picture(pos[:, 0:1], pos[:, 1:2], extent, 0.5).to(y2.dtype)

        weight = conf * F.avg_pool2d(inside(grid), 2)
        start = 2.0 * (flows * weight).sum((2, 3), keepdim=True) / \
            weight.sum((2, 3), keepdim=True).clamp(min=1e-6)
        ya = binomial_blur(y2, 1)
        motion = dominant_motion(ya, start, iters, lambda at, pos: inside(at) * inside(pos), step)
        dom = 0.5 * motion[:, :, 0:1, 0:1].expand_as(flows)
        other = swapped(y2)

        def cost(f2):
            # Of a motion at 1/2 (each 2x2 pixels take their 1/4 pixel's): one cost per 1/4
            # pixel, over the box x box window of 1/2 centred on it.
            return box_filter((y2 - warp(other, f2, grid)).abs(), box, 2)

        c_dom = cost(motion)
        c_own = cost(2.0 * F.interpolate(flows, scale_factor=2.0, mode="nearest"))
        near = ((flows - dom) ** 2).sum(1, keepdim=True) < reach * reach
        take = (c_dom < gain * c_own) | (near & (c_dom < near_gain * c_own))
        return torch.where(both(take), dom, flows)

    def consistency(self, flows, grid2):
        """Reliability of each pixel's motion: does the other frame's flow lead back?"""
        back = warp(swapped(flows), flows, grid2)
        err = flows + back
        return torch.exp(-(err * err).sum(1, keepdim=True) / (self.sigma * self.sigma))

    def forward(self, img0, img1, timestep):
        t = timestep.view(1, 1, 1, 1)
        extent = content_extent(img0, img1)
        # Halved before anything else: full-resolution tensors cost the most memory.
        x2 = torch.cat([F.avg_pool2d(img0, 2, 2), F.avg_pool2d(img1, 2, 2)], 0)
        x2 = fill_padding(x2, halved_extent(extent))
        y2 = F.conv2d(x2, self.luma_w)  # [2,1,H/2,W/2], pooled first: cheaper
        balance = self.light_balance(y2, extent)
        x2, y2 = x2 * balance, y2 * balance  # luma is linear: no second pass over x2
        x4 = F.avg_pool2d(x2, 2, 2)
        y4 = F.conv2d(x4, self.luma_w)
        c4 = torch.cat([x4[:, 0:1] - y4, x4[:, 2:3] - y4], 1)  # red and blue minus luma
        flows = self.bidirectional_flow(y2, y4, c4)
        _, _, h, w = flows.shape
        grid = base_grid(1, h, w, flows)
        grid2 = torch.cat([grid, grid], 0)

        conf = self.consistency(flows, grid2)
        # A scene cut: the two frames show different things, the motion found between them
        # is noise that fails the consistency check nearly everywhere (before any mending),
        # yet it matches here and there better than leaving the frames in place. Then the
        # output is the blend, not the frames torn along that noise.
        scene = (conf.mean() - self.cut_conf[0]) / (self.cut_conf[1] - self.cut_conf[0])
        fa = self.quarter_features(y4, c4)
        if self.mend is not None:
            flows, conf = self.mend_unreliable(flows, conf, fa, grid2)
        if self.surround is not None:
            flows, conf = self.follow_surroundings(flows, conf, fa, grid2)
        if self.leave_box > 0:
            flows, conf = self.fill_leaving(flows, conf, grid2, extent)
        if self.snap is not None:
            flows = self.snap_to_dominant(flows, conf, y2, extent)
        d, use, cov0, cov1 = self.motion_at(t, flows, conf, y4, grid2)

        # Visibility in each frame: reliable points of that frame land here. It only tilts
        # the weights, to at most 3.5:1: the counts are noisy (zoom, rotation, the
        # consistency check), and weighting by them fully cost more on the tune half than it
        # saved at occlusions.
        v0 = cov0.clamp(0.0, 1.0) + 0.4
        v1 = cov1.clamp(0.0, 1.0) + 0.4
        k0 = (1.0 - t) * v0 / ((1.0 - t) * v0 + t * v1)
        a = self.trust(t, d, use, y4, grid) * scene.clamp(0.0, 1.0)
        if self.debug is not None:
            self.debug.update(d=d, use=use, cov0=cov0, cov1=cov1, a=a, k0=k0, conf=conf,
                              flows=flows)
        return self.compose(img0, img1, t, d, a, k0, extent, y2)

    def light_balance(self, y2, extent):
        """[2,1,1,1] factors that bring frame 1's brightness to frame 0's, for the motion
        estimation: old film flickers and cameras change exposure, and the matching costs
        compare grey values. The ratio is taken over the content the coarsest level's
        motion matches, so that content entering or leaving the picture does not count. A
        frame 64 pixels wide or high has a single pixel across there, too few to warp: it
        keeps its brightness."""
        y = y2
        for _ in range(self.coarsest - 1):
            y = down2(y)
        flow = self.search_level(y, None)[0:1]
        _, _, h, w = y.shape
        grid = base_grid(1, h, w, y)
        pos = grid + flow
        scale = 2.0 ** -self.coarsest
        inside = (in_picture(pos[:, 0:1], pos[:, 1:2], extent, scale) &
                  in_picture(grid[:, 0:1], grid[:, 1:2], extent, scale)).to(y.dtype)
        matched = warp(y[1:2], flow)
        ratio = (inside * y[0:1]).sum().view(1) / (inside * matched).sum().clamp(min=1e-6).view(1)
        # More than one pixel across, as tensors (the graph is made for any size).
        across = (torch.ones_like(y[0:1, 0:1, 0:1]).sum() > 1.5) & \
            (torch.ones_like(y[0:1, 0:1, :, 0:1]).sum() > 1.5)
        ratio = torch.where(across, ratio, torch.ones_like(ratio))
        # Small differences stand: they are as often content that changed as the light.
        excess = ((ratio - 1.0).abs() - self.light_slack).clamp(min=0.0)
        ratio = 1.0 + torch.sign(ratio - 1.0) * excess
        return torch.cat([torch.ones_like(ratio), ratio.clamp(0.5, 2.0)]).view(2, 1, 1, 1)

    def motion_at(self, t, flows, conf, y4, grid2):
        """The motion d of each pixel at time t (frame 0 at p - t d, frame 1 at
        p + (1 - t) d), how much of it comes from splatting, and how many reliable points
        of each frame land on each pixel."""
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
        cand = sign * flows
        for _ in range(self.fixed_iters):
            cand = sign * warp(flows, ttn * cand, grid2)
        # The backward estimates from both frames compete: the better-matching one wins.
        pick = torch.softmax(-symmetric_error(y4, grid2[0:1], t, cand) / 0.002, 0)
        d_back = (pick * cand).sum(0, keepdim=True)
        use = torch.sigmoid(((cov0 + cov1) - self.cover) / (0.25 * self.cover))
        return use * d_splat + (1.0 - use) * d_back, use, cov0, cov1

    def trust(self, t, d, use, y4, grid):
        """Trust in the warp, per pixel of 1/4: where it does not match the two frames better
        than leaving them in place (static content), the plain blend is kept: it is exact
        there."""
        e_warp = symmetric_error(y4, grid, t, d)
        e_still = F.avg_pool2d((y4[0:1] - y4[1:2]).abs(), 3, 1, 1, count_include_pad=False)
        a = ((e_still - e_warp - self.margin) / self.soft).clamp(0.0, 1.0)
        # That test cannot see an object passing through a pixel between the frames (both
        # frames show the background there): where reliable motion of more than a couple
        # of pixels lands, the warp is trusted.
        speed = (d * d).sum(1, keepdim=True).clamp(min=1e-8).sqrt()
        return torch.maximum(a, use * ((speed - self.moving) / 0.2 + 0.5).clamp(0.0, 1.0))

    def compose(self, img0, img1, t, d, a, k0, extent, y2):
        """The full-resolution frame: the blend of the two frames, replaced by the motion-
        compensated result in the 4x4 cells where the warp is trusted (and their
        neighbours). Only those cells are resampled, so static content costs nothing."""
        _, _, hh, ww = img0.shape
        _, _, h, w = d.shape

        # Each cell's 3x3 neighbourhood of motion, trust and visibility weight.
        lowres = torch.cat([d, a, k0], 1)  # [1,4,h,w]
        lp = F.pad(lowres, (1, 1, 1, 1), mode="replicate")
        nb = torch.stack([lp[:, :, j:j + h, i:i + w] for j in range(3) for i in range(3)], 2)
        nb = nb.reshape(4 * 9, h * w)

        # Cells to compute; cell 0 always in each pass, so that no set is ever empty. Cells at
        # a motion boundary go to split_cells() instead of compose_cells().
        near = F.max_pool2d(a, 3, 1, 1).reshape(h * w)
        first = torch.arange(h * w) == 0
        moving = near > self.cell_floor
        edge = None
        if self.split is not None:
            edge = moving & (motion_spread(nb) > self.split[0])
            moving = moving & ~edge

        blend = ((1.0 - t) * img0 + t * img1).reshape(3, hh * ww)
        frames = []  # each frame's colour and second differences, as sharp_sample() takes them
        for img in (img0, img1):
            planes = img.reshape(3, hh * ww)
            grey = torch.matmul(self.luma_w.view(1, 3), planes)  # not a Conv: see curvature()
            frames.append(torch.cat([img, curvature(grey.reshape(1, 1, hh, ww))], 1))
        out = blend
        for part in halves(torch.nonzero(moving | first).reshape(-1)):
            out = self.compose_cells(out, blend, frames, part, nb, t, extent, (ww, w))
        if edge is not None:
            for part in halves(torch.nonzero(edge | first).reshape(-1)):
                out = self.split_cells(out, blend, frames, y2, part, nb, t, extent, (ww, w))
        return black_outside(out.reshape(1, 3, hh, ww), extent)

    def cells_motion(self, nb, cells, size, dtype):
        """Of the given cells: their 3x3 neighbourhoods [4,9,M] (see compose()), the upsampled
        motion, trust and visibility weight of their pixels (bilinear, [4,M,16]), and the
        pixels' coordinates px, py [M,16] and flat indices [16M] (see cell_pixels())."""
        ww, w = size
        nb = torch.index_select(nb, 1, cells).reshape(4, 9, -1)
        up = torch.matmul(nb.permute(0, 2, 1), self.up_w_t)
        px, py, pix = cell_pixels(cells, w, ww)
        return nb, up, px.to(dtype), py.to(dtype), pix

    def compose_cells(self, out, blend, frames, cells, nb, t, extent, size):
        """out [3, H*W] with the given cells replaced by the motion-compensated result."""
        _, up, px, py, pix = self.cells_motion(nb, cells, size, t.dtype)
        mixed = warped_mix(frames, px, py, up[0] * 4.0, up[1] * 4.0, up[3], t, extent)
        return put_cells(out, blend, pix, up[2], mixed)

    def split_cells(self, out, blend, frames, y2, cells, nb, t, extent, size):
        """compose_cells() for cells at a motion boundary (their neighbours' motions differ):
        the upsampled motion blends the two motions there, and a thin structure's pixels
        take the motion of what lies around it. Each 2x2 pixels also try the cell's own
        motion and its four neighbours' by how alike the two frames look along them (grey,
        at half resolution) and mix the best one's result in, the more the better it
        explains the two frames than the upsampled motion (split[1] is the scale of that
        difference; a sample outside the picture counts as that much)."""
        nb, up, px, py, pix = self.cells_motion(nb, cells, size, t.dtype)
        dx, dy = up[0] * 4.0, up[1] * 4.0
        scale = self.split[1]
        # Judged per 2x2 pixels (one pixel of the half-resolution frames).
        bpx, bpy = quarter_means(px), quarter_means(py)
        here = half_error(y2, bpx, bpy, quarter_means(dx), quarter_means(dy), t, extent, scale)

        def own_motion(j):  # of neighbour j (4: the cell itself), in full-resolution pixels
            return [(4.0 * nb[c, j]).view(-1, 1).expand_as(here) for c in (0, 1)]

        bx, by = own_motion(4)
        best = half_error(y2, bpx, bpy, bx, by, t, extent, scale)
        for j in (1, 3, 5, 7):  # one at a time: only the best so far is kept
            cx, cy = own_motion(j)
            e = half_error(y2, bpx, bpy, cx, cy, t, extent, scale)
            better = e < best
            best, bx, by = torch.minimum(e, best), torch.where(better, cx, bx), \
                torch.where(better, cy, by)
        # Back to the cell's 16 pixels.
        idx = torch.tensor([0, 0, 1, 1, 0, 0, 1, 1, 2, 2, 3, 3, 2, 2, 3, 3])
        here, best, bx, by = (x[:, idx] for x in (here, best, bx, by))
        share = torch.sigmoid((here - best) / scale)
        mixed = warped_mix(frames, px, py, dx, dy, up[3], t, extent)
        mixed = mixed + share * (warped_mix(frames, px, py, bx, by, up[3], t, extent) - mixed)
        return put_cells(out, blend, pix, up[2], mixed)
