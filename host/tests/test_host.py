#!/usr/bin/python3
"""End-to-end tests of kestrune-interp through its command line.

Run with Debian's /usr/bin/python3 (numpy, PIL, onnx). The environment names the program
(KRI_HOST) and the folder of generated test models (KRI_TEST_MODELS); ctest sets both.
Clips are made on the fly with ffmpeg: flat grey frames whose levels are known, so what
the blend model (output = (1 - t) * A + t * B) must produce can be computed exactly.
"""
import os
import pty
import shutil
import subprocess
import sys
import tempfile
import unittest

import numpy as np
from PIL import Image

HOST = os.environ.get("KRI_HOST", "")
MODELS = os.environ.get("KRI_TEST_MODELS", "")
BLEND = os.path.join(MODELS, "blend")
TIMEOUT = 60
AUDIO_RATE = 8000  # the test clips' sound, samples per second
PCM_PACKET = 1024  # samples in each packet of PCM sound that ffmpeg writes


def run(args, env=None, **kw):
    return subprocess.run([HOST] + args, capture_output=True, text=True, timeout=TIMEOUT,
                          env=env, **kw)


def ffmpeg(*args, stdin=None):
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y"] + list(args), input=stdin,
                   check=True, timeout=TIMEOUT)


def grey_clip(path, levels, size=(64, 48), rate=10, audio=False):
    """A lossless clip whose frame i is flat grey at levels[i]."""
    w, h = size
    frames = np.concatenate([np.full((h, w, 3), v, np.uint8) for v in levels])
    args = ["-f", "rawvideo", "-pix_fmt", "rgb24", "-video_size", f"{w}x{h}",
            "-framerate", str(rate), "-i", "pipe:0"]
    if audio:
        args += ["-f", "lavfi", "-i", f"sine=frequency=440:sample_rate={AUDIO_RATE}",
                 "-shortest", "-c:a", "pcm_s16le"]
    ffmpeg(*args, "-c:v", "ffv1", "-pix_fmt", "bgr0", path, stdin=frames.tobytes())


def probe(path):
    out = subprocess.run(
        ["ffprobe", "-v", "error", "-count_frames", "-show_entries",
         "stream=codec_type,codec_name,width,height,r_frame_rate,nb_read_frames", "-of", "json",
         path],
        capture_output=True, text=True, check=True, timeout=TIMEOUT).stdout
    import json
    streams = json.loads(out)["streams"]
    video = [s for s in streams if s["codec_type"] == "video"][0]
    return {"width": video["width"], "height": video["height"],
            "rate": video["r_frame_rate"], "frames": int(video["nb_read_frames"]),
            "audio": [s["codec_name"] for s in streams if s["codec_type"] == "audio"]}


def decode(path):
    info = probe(path)
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-fps_mode", "passthrough",
                          "-f", "rawvideo",
                          "-pix_fmt", "rgb24", "-"], capture_output=True, check=True,
                         timeout=TIMEOUT).stdout
    return np.frombuffer(raw, np.uint8).reshape(-1, info["height"], info["width"], 3)


def levels_of(path):
    """Mean grey level of every frame of a video."""
    return [float(f.mean()) for f in decode(path)]


class HostTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kri-host-")
        self.addCleanup(shutil.rmtree, self.dir)

    def path(self, name):
        return os.path.join(self.dir, name)

    def assert_no_leftovers(self, expected):
        """The folder holds exactly the expected files: no OUT, no temporary files."""
        self.assertEqual(sorted(os.listdir(self.dir)), sorted(expected))

    def assert_one_line_error(self, result, code, *fragments):
        self.assertEqual(result.returncode, code, result.stderr)
        lines = result.stderr.strip().splitlines()
        self.assertEqual(len(lines), 1, result.stderr)
        self.assertTrue(lines[0].startswith("kestrune-interp: "), lines[0])
        for fragment in fragments:
            self.assertIn(fragment, lines[0])

    def video(self, src, out, *extra, code=0):
        """`video SRC -o OUT` with the blend model; the exit code must be `code`."""
        r = run(["video", self.path(src), "-o", self.path(out), "--model-dir", BLEND] +
                list(extra))
        self.assertEqual(r.returncode, code, r.stderr)
        return r

    def assert_levels(self, got, wanted, tolerance=2.0):
        self.assertEqual(len(got), len(wanted), f"{got} vs {wanted}")
        for i, (g, w) in enumerate(zip(got, wanted)):
            self.assertLessEqual(abs(g - w), tolerance, f"frame {i}: {got} vs {wanted}")


class Pair(HostTest):
    def setUp(self):
        super().setUp()
        rng = np.random.default_rng(7)
        self.a = rng.integers(0, 256, (37, 53, 3), dtype=np.uint8)
        self.b = rng.integers(0, 256, (37, 53, 3), dtype=np.uint8)
        Image.fromarray(self.a).save(self.path("a.png"))
        Image.fromarray(self.b).save(self.path("b.png"))

    def expected(self, t):
        return (1 - t) * self.a.astype(float) + t * self.b.astype(float)

    def assert_frame(self, name, t):
        got = np.asarray(Image.open(self.path(name)).convert("RGB")).astype(float)
        self.assertEqual(got.shape, self.a.shape)
        self.assertLessEqual(np.abs(got - self.expected(t)).max(), 1.0)

    def test_one_frame_at_the_middle_and_at_a_given_t(self):
        r = run(["pair", self.path("a.png"), self.path("b.png"), "-o", self.path("mid.png"),
                 "--model-dir", BLEND])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assert_frame("mid.png", 0.5)
        r = run(["pair", self.path("a.png"), self.path("b.png"), "-o", self.path("q.png"),
                 "-t", "0.25", "--model-dir", BLEND])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assert_frame("q.png", 0.25)
        self.assert_no_leftovers(["a.png", "b.png", "mid.png", "q.png"])

    def test_n_writes_numbered_frames_at_k_over_n(self):
        r = run(["pair", self.path("a.png"), self.path("b.png"), "-o", self.path("f.png"),
                 "-n", "4", "--model-dir", BLEND])
        self.assertEqual(r.returncode, 0, r.stderr)
        for k in (1, 2, 3):
            self.assert_frame(f"f_{k}.png", k / 4)
        self.assert_no_leftovers(["a.png", "b.png", "f_1.png", "f_2.png", "f_3.png"])
        # More than nine frames: the numbers are padded so that they sort.
        r = run(["pair", self.path("a.png"), self.path("b.png"), "-o", self.path("g.png"),
                 "-n", "12", "--model-dir", BLEND])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(os.path.exists(self.path("g_01.png")))
        self.assert_frame("g_11.png", 11 / 12)

    def test_sizes_that_differ_fail_and_keep_an_existing_out(self):
        Image.fromarray(self.b[:36]).save(self.path("short.png"))
        with open(self.path("mid.png"), "wb") as f:
            f.write(b"old")
        r = run(["pair", self.path("a.png"), self.path("short.png"), "-o", self.path("mid.png"),
                 "--model-dir", BLEND])
        self.assert_one_line_error(r, 1, "Frame dimensions mismatch")
        with open(self.path("mid.png"), "rb") as f:
            self.assertEqual(f.read(), b"old")
        self.assert_no_leftovers(["a.png", "b.png", "short.png", "mid.png"])

    def test_missing_or_undecodable_image(self):
        r = run(["pair", self.path("a.png"), self.path("nope.png"), "-o", self.path("o.png"),
                 "--model-dir", BLEND])
        self.assert_one_line_error(r, 1, "nope.png", "No such file")
        with open(self.path("text.png"), "w") as f:
            f.write("not an image\n")
        r = run(["pair", self.path("text.png"), self.path("b.png"), "-o", self.path("o.png"),
                 "--model-dir", BLEND])
        self.assert_one_line_error(r, 1, "Failed to load frame1")
        self.assert_no_leftovers(["a.png", "b.png", "text.png"])

    def test_bad_timestep_or_count_is_a_usage_error(self):
        for extra in (["-t", "1.5"], ["-t", "x"], ["-n", "1"], ["-t", "0.5", "-n", "3"]):
            r = run(["pair", self.path("a.png"), self.path("b.png"), "-o", self.path("o.png"),
                     "--model-dir", BLEND] + extra)
            self.assertEqual(r.returncode, 2, extra)
            self.assertIn("--help", r.stderr)
        self.assert_no_leftovers(["a.png", "b.png"])


class Video(HostTest):
    LEVELS = [30, 60, 90, 120, 150, 180]

    def setUp(self):
        super().setUp()
        grey_clip(self.path("in.mkv"), self.LEVELS, audio=True)

    def test_doubles_the_rate_keeps_size_and_audio(self):
        r = run(["video", self.path("in.mkv"), "-o", self.path("out.mkv"), "--model-dir", BLEND])
        self.assertEqual(r.returncode, 0, r.stderr)
        info = probe(self.path("out.mkv"))
        self.assertEqual((info["width"], info["height"]), (64, 48))
        self.assertEqual(info["rate"], "20/1")
        self.assertEqual(info["frames"], 12)
        self.assertEqual(info["audio"], ["pcm_s16le"])  # copied
        # Each computed frame is the blend of its neighbours; the last frame is held.
        self.assert_levels(levels_of(self.path("out.mkv")),
                           [30, 45, 60, 75, 90, 105, 120, 135, 150, 165, 180, 180])
        self.assertIn("12 frames at 20 fps from 6 frames, 0 scene cuts", r.stderr)
        self.assert_no_leftovers(["in.mkv", "out.mkv"])

    def test_audio_the_output_format_cannot_hold_is_encoded_again(self):
        r = run(["video", self.path("in.mkv"), "-o", self.path("out.mp4"), "--model-dir", BLEND])
        self.assertEqual(r.returncode, 0, r.stderr)
        info = probe(self.path("out.mp4"))
        self.assertEqual((info["frames"], info["audio"]), (12, ["aac"]))

    def test_factor_three(self):
        r = run(["video", self.path("in.mkv"), "-o", self.path("out.mkv"), "--factor", "3",
                 "--model-dir", BLEND, "--quiet"])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr, "")
        info = probe(self.path("out.mkv"))
        self.assertEqual((info["rate"], info["frames"]), ("30/1", 18))
        wanted = [v for a, b in zip(self.LEVELS, self.LEVELS[1:]) for v in (a, a + 10, a + 20)]
        self.assert_levels(levels_of(self.path("out.mkv")), wanted + [180, 180, 180])

    def test_part_of_the_input(self):
        r = run(["video", self.path("in.mkv"), "-o", self.path("out.mkv"), "--start", "0.2",
                 "--duration", "0.3", "--model-dir", BLEND])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assert_levels(levels_of(self.path("out.mkv")), [90, 105, 120, 135, 150, 150])


def stream_ends(path):
    """When the last packet of each kind of stream ends, in seconds."""
    out = subprocess.run(["ffprobe", "-v", "error", "-show_entries",
                          "packet=stream_index,pts_time,duration_time:stream=index,codec_type",
                          "-of", "json", path], capture_output=True, text=True, check=True,
                         timeout=TIMEOUT).stdout
    import json
    info = json.loads(out)
    kinds = {s["index"]: s["codec_type"] for s in info["streams"]}
    ends = {}
    for p in info["packets"]:
        end = float(p["pts_time"]) + float(p.get("duration_time") or 0)
        ends[kinds[p["stream_index"]]] = max(ends.get(kinds[p["stream_index"]], 0), end)
    return ends


def variable_rate_clip(path, levels, split, fast=30, slow=10):
    """levels[:split] at `fast` fps, then the rest at `slow` fps, with real timestamps."""
    w, h = 64, 48
    frames = np.concatenate([np.full((h, w, 3), v, np.uint8) for v in levels])
    ffmpeg("-f", "rawvideo", "-pix_fmt", "rgb24", "-video_size", f"{w}x{h}", "-framerate",
           str(fast), "-i", "pipe:0", "-vf",
           f"setpts='if(lt(N,{split}),N/{fast},{split}/{fast}+(N-{split})/{slow})/TB'",
           "-fps_mode", "passthrough", "-c:v", "ffv1", "-pix_fmt", "bgr0", path,
           stdin=frames.tobytes())


class Timeline(HostTest):
    """Output frames at exact times, placed by the input's real timestamps."""

    def test_ntsc_to_5994_keeps_audio_in_sync(self):
        grey_clip(self.path("in.mkv"), [2 * i for i in range(96)], rate="24000/1001",
                  audio=True)
        self.video("in.mkv", "out.mkv", "--fps", "60000/1001")
        self.assertEqual(probe(self.path("out.mkv"))["frames"], 240)  # its rate: ms rounded
        # 2.5 output frames per input frame: every fifth falls on an input frame.
        self.assert_levels(levels_of(self.path("out.mkv"))[:20], [0.8 * k for k in range(20)])
        before, after = stream_ends(self.path("in.mkv")), stream_ends(self.path("out.mkv"))
        drift = (after["video"] - after["audio"]) - (before["video"] - before["audio"])
        self.assertLess(abs(drift), 0.5 / 59.94, (before, after))

    def test_variable_rate_input_has_no_frozen_frames(self):
        # A stretch at the output rate, then one at a third of it: each slow frame is
        # followed by two computed ones, and the last lasts one fast frame (as the file says).
        fast, slow = 10, 10
        levels = [12 * i for i in range(fast + slow)]
        variable_rate_clip(self.path("in.mkv"), levels, fast)
        self.video("in.mkv", "out.mkv", "--fps", "30")
        got = levels_of(self.path("out.mkv"))
        expected = [12 * k if k < fast else 12 * fast + 4 * (k - fast)
                    for k in range(fast + 3 * (slow - 1) + 1)]
        self.assertEqual(len(got), len(expected))
        frozen = [k for k in range(len(got) - 1) if abs(got[k + 1] - got[k]) < 0.5]
        self.assertEqual(frozen, [])
        self.assert_levels(got, expected, tolerance=5)  # H.264 of flat frames


    def test_lower_rate_picks_and_blends(self):
        step, in_rate, out_rate = 20, 10, 4
        grey_clip(self.path("in.mkv"), [step * i for i in range(in_rate)], rate=in_rate)
        self.video("in.mkv", "out.mkv", "--fps", str(out_rate))
        # Each output frame is the input frame at its time, or the blend of the two around it.
        self.assert_levels(levels_of(self.path("out.mkv")),
                           [step * in_rate * k / out_rate for k in range(out_rate)])

    def test_dedup_interpolates_across_repeated_frames(self):
        # Motion stored at three times its rate by repeating frames; a frame one level off
        # its predecessor is no repeat and is kept.
        grey_clip(self.path("in.mkv"), [0, 0, 0, 60, 60, 60, 120, 120, 121, 180, 180, 180],
                  rate=30)
        r = self.video("in.mkv", "out.mkv", "--fps", "30", "--dedup")
        self.assertIn("12 frames at 30 fps from 12 frames", r.stderr)
        self.assertIn("7 repeated frames passed over", r.stderr)
        self.assert_levels(levels_of(self.path("out.mkv")),
                           [0, 20, 40, 60, 80, 100, 120, 120.5, 121, 180, 180, 180])
        # Without it the repeats stay.
        self.video("in.mkv", "out.mkv", "--fps", "1x")
        self.assert_levels(levels_of(self.path("out.mkv")),
                           [0, 0, 0, 60, 60, 60, 120, 120, 121, 180, 180, 180])


class Parts(HostTest):
    """--part I/N: parts that join into exactly the frames of one whole run."""

    def setUp(self):
        super().setUp()
        # A cut inside the second part, between its last frame and the one after it.
        grey_clip(self.path("in.mkv"), [10 * i for i in range(13)] +
                  [220 - 5 * i for i in range(7)], audio=True)

    def convert(self, out, *extra):
        r = run(["video", self.path("in.mkv"), "-o", self.path(out), "--model-dir", BLEND,
                 "--fps", "25"] + list(extra))
        self.assertEqual(r.returncode, 0, r.stderr)
        return r.stderr

    def test_three_parts_join_into_the_whole_run(self):
        self.convert("whole.mkv")
        parts = [self.path(f"p{i}.mkv") for i in (1, 2, 3)]
        for i in (1, 2, 3):
            stderr = self.convert(f"p{i}.mkv", "--part", f"{i}/3")
            self.assertIn(f"(part {i}/3: output frames", stderr)
            self.assertEqual(probe(parts[i - 1])["audio"], [])
        # concat joins them and takes IN's sound once.
        r = run(["concat"] + parts + ["-o", self.path("joined.mkv"), "--audio-from",
                                      self.path("in.mkv")])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(probe(self.path("joined.mkv"))["audio"], ["pcm_s16le"])
        whole, joined = decode(self.path("whole.mkv")), decode(self.path("joined.mkv"))
        self.assertEqual(len(whole), 50)
        self.assertEqual(len(joined), len(whole))
        for k, (a, b) in enumerate(zip(whole.astype(float), joined.astype(float))):
            mse = ((a - b) ** 2).mean()
            self.assertTrue(mse == 0 or 10 * np.log10(255 ** 2 / mse) >= 45, k)
        ends = stream_ends(self.path("joined.mkv"))
        self.assertAlmostEqual(ends["video"], stream_ends(self.path("whole.mkv"))["video"],
                               delta=0.002)
        # IN's sound once, copied in whole packets: it ends within one packet of the video.
        self.assertAlmostEqual(ends["audio"], ends["video"],
                               delta=PCM_PACKET / AUDIO_RATE + 0.002)
        # Into one folder, the parts' numbered images are the whole run's, exactly.
        self.convert("whole/")
        for i in (3, 1, 2):
            self.convert("parts/", "--part", f"{i}/3")
        (names, a), (names_b, b) = pngs(self.path("whole")), pngs(self.path("parts"))
        self.assertEqual(names, names_b)
        self.assertTrue(all(np.array_equal(x, y) for x, y in zip(a, b)))
        self.assertEqual(len(names), 50)


def pngs(folder):
    """The numbered PNG files of a folder, in order, as int arrays."""
    names = sorted(n for n in os.listdir(folder) if n[:-4].isdigit() and n.endswith(".png"))
    return names, [np.asarray(Image.open(os.path.join(folder, n))).astype(int) for n in names]


class Sequences(HostTest):
    """Numbered images in and out, through the same timeline as video."""

    def setUp(self):
        super().setUp()
        rng = np.random.default_rng(5)
        self.frames = [rng.integers(0, 256, (20, 30, 3), np.uint8) for _ in range(4)]
        os.mkdir(self.path("seq"))
        for i, frame in enumerate(self.frames):  # numbered from 7: not where ffmpeg looks
            Image.fromarray(frame).save(self.path(f"seq/img_{i + 7:04d}.png"))

    def test_sequence_to_sequence_is_exact(self):
        r = self.video("seq", "out/", code=1)
        self.assertIn("give its frame rate with --input-fps", r.stderr)
        # Made, as it ends in '/'. Random frames differ like shots: no cut detection.
        self.video("seq", "out/", "--input-fps", "10", "--no-scene-detect")
        names, got = pngs(self.path("out"))
        self.assertEqual(names, [f"{k:06d}.png" for k in range(1, 9)])
        a = [f.astype(int) for f in self.frames]
        wanted = [a[0], (a[0] + a[1]) / 2, a[1], (a[1] + a[2]) / 2, a[2], (a[2] + a[3]) / 2,
                  a[3], a[3]]
        for k, (g, w) in enumerate(zip(got, wanted)):
            self.assertLessEqual(np.abs(g - w).max(), 0.5, k)
        # Its names are taken now: refused, nothing changed, no temporaries left.
        before = os.listdir(self.path("out"))
        r = self.video("seq", "out", "--input-fps", "10", code=1)
        self.assertIn("holds 00000", r.stderr)
        self.assertEqual(os.listdir(self.path("out")), before)

    def test_sequence_to_video_and_video_to_sequence(self):
        self.video("seq/img_%04d.png", "out.mkv", "--input-fps", "10", "--fps", "30")
        self.assertEqual(probe(self.path("out.mkv"))["frames"], 12)
        grey_clip(self.path("in.mkv"), [30, 60, 90])
        os.mkdir(self.path("folder"))
        with open(self.path("folder/notes.txt"), "w") as f:
            f.write("mine\n")
        Image.fromarray(np.full((48, 64, 3), 7, np.uint8)).save(self.path("folder/000099.png"))
        r = self.video("in.mkv", "folder")
        self.assertIn("holds 1 other numbered images; they are left as they are", r.stderr)
        names, got = pngs(self.path("folder"))
        self.assertEqual(names, [f"{k:06d}.png" for k in range(1, 7)] + ["000099.png"])
        self.assertEqual([g.mean() for g in got], [30, 45, 60, 75, 90, 90, 7])
        self.assertEqual(sorted(n for n in os.listdir(self.path("folder")) if n[0] == "."), [])

    def test_gaps_and_missing_inputs_are_refused(self):
        os.remove(self.path("seq/img_0008.png"))
        r = self.video("seq", "out.mkv", "--input-fps", "10", code=1)
        self.assertIn("stop at 7 and go on at 9", r.stderr)
        r = self.video("seq/none_%03d.png", "out.mkv", "--input-fps", "10", code=1)
        self.assertIn("no files match", r.stderr)
        self.assert_no_leftovers(["seq"])


def stream_fields(path, fields):
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                          "stream=" + fields + ":stream_side_data=rotation", "-of",
                          "default=nw=1", path], capture_output=True, text=True, check=True,
                         timeout=TIMEOUT).stdout
    return dict(line.split("=", 1) for line in out.splitlines() if "=" in line)


def player_frames(path):
    """Frames as a player shows them: upright, in RGB with the matrix the file is tagged
    with, or when untagged BT.709 for HD and BT.601 otherwise."""
    f = stream_fields(path, "color_space,width,height")
    matrix = f.get("color_space", "unknown")
    if matrix == "unknown":
        matrix = "bt709" if int(f["width"]) >= 1280 or int(f["height"]) >= 720 else "bt601"
    matrix = {"smpte170m": "bt601", "bt470bg": "bt601"}.get(matrix, matrix)
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-vf",
                          f"scale=in_color_matrix={matrix},format=rgb24", "-f", "rawvideo",
                          "-"], capture_output=True, check=True, timeout=TIMEOUT).stdout
    w, h = int(f["width"]), int(f["height"])
    if abs(int(f.get("rotation", 0))) % 180 == 90:
        w, h = h, w
    return np.frombuffer(raw, np.uint8).reshape(-1, h, w, 3).astype(int)


class Formats(HostTest):
    def assert_same_picture(self, src, out, tolerance):
        a, b = player_frames(self.path(src)), player_frames(self.path(out))
        self.assertEqual(a.shape[1:], b.shape[1:])
        self.assertLess(np.abs(a[0] - b[0]).mean(), tolerance)

    def test_colour_matrix_is_kept_and_tagged(self):
        # Colour bars in BT.709 at SD size, and untagged at HD width (players take it as
        # BT.709; kept short to be quick).
        ffmpeg("-f", "lavfi", "-i", "smptehdbars=size=192x108:rate=10", "-frames:v", "3",
               "-vf", "scale=out_color_matrix=bt709:out_range=tv,format=yuv420p",
               "-colorspace", "bt709", "-color_primaries", "bt709", "-color_trc", "bt709",
               "-color_range", "tv", "-c:v", "libx264", "-qp", "0", self.path("709.mkv"))
        ffmpeg("-f", "lavfi", "-i", "smptehdbars=size=1280x72:rate=10", "-frames:v", "2",
               "-vf", "scale=out_color_matrix=bt709,format=yuv420p", "-c:v", "libx264",
               "-qp", "0", self.path("hd.mkv"))
        for src in ("709.mkv", "hd.mkv"):
            self.video(src, "out.mp4")
            f = stream_fields(self.path("out.mp4"), "color_space,color_primaries,color_transfer,"
                              "color_range")
            self.assertEqual(f, {"color_space": "bt709", "color_primaries": "bt709",
                                 "color_transfer": "bt709", "color_range": "tv"}, src)
            self.assert_same_picture(src, "out.mp4", 2.5)

    def test_rotation_is_carried_over(self):
        ffmpeg("-f", "lavfi", "-i", "testsrc=size=64x48:rate=10", "-frames:v", "3",
               "-pix_fmt", "yuv420p", "-c:v", "libx264", "-qp", "0", self.path("flat.mp4"))
        ffmpeg("-i", self.path("flat.mp4"), "-c", "copy", "-metadata:s:v:0", "rotate=90",
               self.path("turned.mp4"))
        self.video("turned.mp4", "out.mkv")
        self.assert_same_picture("turned.mp4", "out.mkv", 8)

    def test_420_everywhere_odd_sizes_and_depth(self):
        ffmpeg("-f", "lavfi", "-i", "testsrc=size=65x37:rate=25", "-frames:v", "5",
               "-c:v", "ffv1", self.path("odd.mkv"))
        self.video("odd.mkv", "out.mp4")
        f = stream_fields(self.path("out.mp4"), "width,height,pix_fmt,profile,r_frame_rate")
        # H.264 4:2:0 needs even sizes: one more column and row, copies of the last.
        self.assertEqual((f["width"], f["height"], f["pix_fmt"], f["profile"], f["r_frame_rate"]),
                         ("66", "38", "yuv420p", "High", "50/1"))
        self.assertEqual(probe(self.path("out.mp4"))["frames"], 10)
        frame = decode(self.path("out.mp4"))[0].astype(int)
        self.assertLess(np.abs(frame[:, 65] - frame[:, 64]).mean(), 4)
        self.assertLess(np.abs(frame[37] - frame[36]).mean(), 4)
        self.video("odd.mkv", "out.webm")
        f = stream_fields(self.path("out.webm"), "width,height,pix_fmt,profile")
        self.assertEqual(f, {"width": "65", "height": "37", "pix_fmt": "yuv420p",
                             "profile": "Profile 0"})
        # 10-bit input: the summary says the output has 8 bits.
        ffmpeg("-f", "lavfi", "-i", "testsrc=size=64x48:rate=10", "-frames:v", "3",
               "-pix_fmt", "yuv420p10le", "-c:v", "ffv1", self.path("deep.mkv"))
        r = self.video("deep.mkv", "out.mkv")
        self.assertIn("the input has 10 bits per sample, the output 8", r.stderr)
        self.assertEqual(stream_fields(self.path("out.mkv"), "pix_fmt")["pix_fmt"], "yuv420p")

    def test_gif_without_audio_and_at_most_50_fps(self):
        grey_clip(self.path("in.mkv"), [30, 60, 90, 120, 150, 180], rate=30, audio=True)
        r = self.video("in.mkv", "out.gif")
        self.assertIn("plays at most 50/1 fps", r.stderr)
        self.assertIn("written at 50", r.stderr)
        info = probe(self.path("out.gif"))
        self.assertEqual((info["rate"], info["audio"]), ("50/1", []))
        # Fewer frames than the 60 fps input had: the rate was lowered, not the duration.
        self.assertIn(info["frames"], (10, 11))


class SceneCuts(HostTest):
    # A hard cut between the fourth and the fifth frame.
    LEVELS = [30, 40, 50, 60, 220, 210, 200, 190]

    def setUp(self):
        super().setUp()
        grey_clip(self.path("cut.mkv"), self.LEVELS)

    def convert(self, *extra):
        r = run(["video", self.path("cut.mkv"), "-o", self.path("out.mkv"),
                 "--model-dir", BLEND] + list(extra))
        self.assertEqual(r.returncode, 0, r.stderr)
        return r.stderr, levels_of(self.path("out.mkv"))

    def test_cut_repeats_the_earlier_frame(self):
        stderr, got = self.convert()
        self.assertIn(" 1 scene cut ", stderr)
        self.assert_levels(got, [30, 35, 40, 45, 50, 55, 60, 60,
                                 220, 215, 210, 205, 200, 195, 190, 190])
        # On a grid that does not fall on the input's frames, neither side is blended.
        stderr, got = self.convert("--fps", "25")
        self.assertIn(" 1 scene cut ", stderr)
        self.assertEqual([v for v in got if 65 < v < 185], [], got)

    def test_detection_can_be_disabled_or_tuned(self):
        stderr, got = self.convert("--no-scene-detect")
        self.assertIn(" 0 scene cuts ", stderr)
        self.assertLessEqual(abs(got[7] - 140), 2)
        # Every step of 10 grey levels is above a threshold of 5.
        stderr, got = self.convert("--scene-threshold", "5")
        self.assertIn(" 7 scene cuts ", stderr)
        self.assert_levels(got, [v for v in self.LEVELS for _ in (0, 1)])

    def test_low_contrast_cuts_between_test_sources(self):
        # Four shots, dimmed to a quarter of their contrast: the cuts differ by 28 to 75,
        # steps inside a shot by up to 4.
        dim = "lutrgb=" + ":".join(f"{c}=val*0.25+90" for c in "rgb")
        sources = ["testsrc", "testsrc2", "smptebars", "mandelbrot"]
        args = []
        for name in sources:
            args += ["-f", "lavfi", "-i", f"{name}=size=96x64:rate=10,trim=duration=0.8,"
                                          "setpts=PTS-STARTPTS"]
        ffmpeg(*args, "-filter_complex", f"[0]{dim}[a];[1]{dim}[b];[2]{dim}[c];"
               "[a][b][c][3]concat=n=4", "-c:v", "ffv1", self.path("shots.mkv"))
        r = run(["video", self.path("shots.mkv"), "-o", self.path("out.mkv"),
                 "--model-dir", BLEND])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(" 3 scene cuts ", r.stderr)

    def test_project_clips_cut_only_where_the_shot_changes(self):
        clips = "/usr/share/pymecavideo/data/video"
        if not os.path.isdir(clips):
            self.skipTest("python3-mecavideo's clips are not installed")
        # A title shot, then the experiment; and a fast-moving shot of its own.
        for clip, cuts in (("Force_constante.avi", 1), ("g1.avi", 0)):
            r = run(["video", os.path.join(clips, clip), "-o", self.path("out.mkv"),
                     "--model-dir", BLEND])
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertIn(f" {cuts} scene cut", r.stderr, clip)

    def test_moving_picture_is_not_a_cut(self):
        ffmpeg("-f", "lavfi", "-i", "testsrc=size=96x64:rate=10", "-frames:v", "8",
               "-c:v", "ffv1", self.path("moving.mkv"))
        r = run(["video", self.path("moving.mkv"), "-o", self.path("out.mkv"),
                 "--model-dir", BLEND])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(" 0 scene cuts ", r.stderr)


class Errors(HostTest):
    def setUp(self):
        super().setUp()
        grey_clip(self.path("in.mkv"), [10, 20, 30])

    def video(self, *extra, env=None):
        return run(["video", self.path("in.mkv"), "-o", self.path("out.mp4")] + list(extra),
                   env=env)

    def test_missing_input_and_not_a_video(self):
        r = run(["video", self.path("missing.mp4"), "-o", self.path("out.mp4"),
                 "--model-dir", BLEND])
        self.assert_one_line_error(r, 1, "missing.mp4", "No such file")
        with open(self.path("notes.txt"), "w") as f:
            f.write("hello\n")
        r = run(["video", self.path("notes.txt"), "-o", self.path("out.mp4"),
                 "--model-dir", BLEND])
        self.assert_one_line_error(r, 1, "notes.txt", "not a video")
        Image.fromarray(np.zeros((8, 8, 3), np.uint8)).save(self.path("still.png"))
        r = run(["video", self.path("still.png"), "-o", self.path("out.mp4"),
                 "--model-dir", BLEND])
        self.assert_one_line_error(r, 1, "still.png", "an image, not a video")
        self.assert_no_leftovers(["in.mkv", "notes.txt", "still.png"])

    def test_missing_or_broken_model_quotes_the_library(self):
        empty = self.path("no-model")
        os.mkdir(empty)
        r = self.video("--model-dir", empty)
        self.assert_one_line_error(r, 1, "no model file", "rife49_ensemble.onnx",
                                   "CreateSession: ")
        r = self.video("--model-dir", os.path.join(MODELS, "not-a-model"))
        self.assert_one_line_error(r, 1, "cannot load the model", "CreateSession: ")
        self.assert_no_leftovers(["in.mkv", "no-model"])

    def test_library_failure_mid_run_leaves_no_output(self):
        # A model whose output is one pixel: the library refuses it at the first frame,
        # after the encoder has started writing.
        import onnx
        from onnx import TensorProto, helper
        image = [1, 3, "H", "W"]
        graph = helper.make_graph(
            [helper.make_node("ReduceMean", ["img0"], ["output"], axes=[2, 3], keepdims=1)],
            "tiny", [helper.make_tensor_value_info("img0", TensorProto.FLOAT, image),
                     helper.make_tensor_value_info("img1", TensorProto.FLOAT, image),
                     helper.make_tensor_value_info("timestep", TensorProto.FLOAT, [1])],
            [helper.make_tensor_value_info("output", TensorProto.FLOAT, [1, 3, 1, 1])])
        model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
        model.ir_version = 8
        os.mkdir(self.path("tiny"))
        onnx.save(model, self.path("tiny/rife49_ensemble.onnx"))
        with open(self.path("out.mp4"), "wb") as f:
            f.write(b"old")
        r = self.video("--model-dir", self.path("tiny"))
        self.assert_one_line_error(r, 1, "rife_interpolate failed", "Unexpected model output")
        with open(self.path("out.mp4"), "rb") as f:
            self.assertEqual(f.read(), b"old")
        self.assert_no_leftovers(["in.mkv", "out.mp4", "tiny"])

    def test_encoder_failure_leaves_no_output(self):
        # A device that is always full, as a node of our own: ffmpeg fails writing to it.
        import stat
        try:
            os.mknod(self.path("full.mp4"), 0o600 | stat.S_IFCHR, os.stat("/dev/full").st_rdev)
        except PermissionError:
            self.skipTest("no permission to make device nodes")
        r = run(["video", self.path("in.mkv"), "-o", self.path("full.mp4"), "--model-dir", BLEND])
        self.assert_one_line_error(r, 1, "ffmpeg could not encode", "full.mp4")
        self.assertTrue(stat.S_ISCHR(os.lstat(self.path("full.mp4")).st_mode))
        self.assert_no_leftovers(["in.mkv", "full.mp4"])

    def test_what_cannot_work_fails_before_the_model_loads(self):
        no_model = ["--model-dir", self.path("no-model")]
        r = run(["video", self.path("in.mkv"), "-o", self.path("out.nosuchformat")] + no_model)
        self.assert_one_line_error(r, 1, "out.nosuchformat", "no video format for the extension",
                                   ".mp4 ")
        r = self.video("--start", "9", *no_model)
        self.assert_one_line_error(r, 1, "--start 9 is past the end", "lasts 0.3 s")
        self.assert_no_leftovers(["in.mkv"])

    def test_options_of_the_other_command_are_refused(self):
        pair = ["pair", "a.png", "b.png", "-o", "m.png"]
        video = ["video", self.path("in.mkv"), "-o", self.path("out.mp4")]
        for args, fragment in ((video + ["-n", "2"], "-n is an option of pair, not of video"),
                               (video + ["-t", "0.3"], "-t is an option of pair"),
                               (pair + ["--factor", "3"], "--factor is an option of video"),
                               (pair + ["--no-scene-detect"], "--no-scene-detect is an option"),
                               (pair + ["--fps", "60"], "--fps is an option of video, not of"),
                               (["concat", "p.mkv", "-o", "o.mkv", "--part", "1/2"],
                                "--part is an option of video, not of concat"),
                               (video + ["--duration", "0"], "--duration needs more than 0"),
                               (video + ["--jobs", "0"], "--jobs needs a whole number from 1"),
                               (["concat", "p.mkv", "-o", "o.mkv", "--jobs", "2"],
                                "--jobs is an option of pair and video, not of concat")):
            self.assert_one_line_error(run(args), 2, fragment)
        self.assert_no_leftovers(["in.mkv"])

    def test_ffmpeg_missing(self):
        env = dict(os.environ, PATH=self.path("empty-path"))
        r = self.video("--model-dir", BLEND, env=env)
        self.assert_one_line_error(r, 1, "ffmpeg not found")
        self.assert_no_leftovers(["in.mkv"])

    def test_unloadable_library_and_bad_output_folder(self):
        r = self.video("--model-dir", BLEND, "--library", self.path("nope.so"))
        self.assert_one_line_error(r, 1, "cannot load the library", "nope.so")
        r = run(["video", self.path("in.mkv"), "-o", self.path("no/such/dir/out.mp4"),
                 "--model-dir", BLEND])
        self.assert_one_line_error(r, 1, "does not exist")
        r = run(["video", self.path("in.mkv"), "-o", self.path("in.mkv"), "--model-dir", BLEND])
        self.assert_one_line_error(r, 1, "replace the input")
        self.assert_no_leftovers(["in.mkv"])

    def test_usage_errors_exit_2(self):
        for args in ([], ["frobnicate"], ["video"], ["video", "a", "b", "-o", "x.mp4"],
                     ["video", self.path("in.mkv")], ["video", "a", "-o", "x", "--factor", "1"],
                     ["video", "a", "-o", "x", "--scene-threshold", "-3"],
                     ["video", "a", "-o", "x", "--fps", "0"],
                     ["video", "a", "-o", "x", "--fps", "65x"],
                     ["video", "a", "-o", "x", "--fps", "1/0"],
                     ["video", "a", "-o", "x", "--part", "4/3"],
                     ["video", "a", "-o", "x", "--part", "1/2", "--start", "1"],
                     ["pair", "a", "-o", "x.png"], ["video", "a", "-o", "x", "--bogus"]):
            r = run(args)
            self.assertEqual(r.returncode, 2, args)
            self.assertTrue(r.stderr.strip(), args)
        r = run(["--help"])
        self.assertEqual(r.returncode, 0)
        self.assertIn("kestrune-interp pair A B -o OUT", r.stdout)
        self.assertIn("--model-dir DIR", r.stdout)


class Progress(HostTest):
    def setUp(self):
        super().setUp()
        grey_clip(self.path("in.mkv"), [10, 20, 30, 40])

    def run_on_terminal(self, *extra):
        """Runs a conversion with stderr on a pseudo-terminal; returns what it showed."""
        master, slave = pty.openpty()
        try:
            p = subprocess.run([HOST, "video", self.path("in.mkv"), "-o", self.path("out.mp4"),
                                "--model-dir", BLEND] + list(extra),
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=slave,
                               timeout=TIMEOUT)
        finally:
            os.close(slave)
        shown = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            shown += chunk
        os.close(master)
        self.assertEqual(p.returncode, 0, shown)
        return shown.decode()

    def test_progress_only_on_a_terminal(self):
        shown = self.run_on_terminal()
        self.assertIn("\r", shown)
        self.assertIn("frames 8/8 (100%)", shown)
        self.assertIn("fps", shown)
        self.assertIn("ETA", shown)
        self.assertIn("0 scene cuts", shown)
        self.assertEqual(self.run_on_terminal("--quiet"), "")
        r = run(["video", self.path("in.mkv"), "-o", self.path("out.mp4"), "--model-dir", BLEND])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertNotIn("\r", r.stderr)
        self.assertNotIn("ETA", r.stderr)
        self.assertEqual(len(r.stderr.strip().splitlines()), 1, r.stderr)

    def test_stats_report_the_share_of_the_library(self):
        r = run(["video", self.path("in.mkv"), "-o", self.path("out.mp4"), "--model-dir", BLEND,
                 "--stats"])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertRegex(r.stderr, r"stats: library [0-9.]+ s \([0-9.]+%, [0-9.]+ s per "
                                   r"computed frame, 3 computed\)")
        self.assertIn("waiting for the decoder", r.stderr)
        self.assertIn("waiting for the encoder", r.stderr)


class Interrupt(HostTest):
    def test_terminated_run_leaves_nothing(self):
        ffmpeg("-f", "lavfi", "-i", "testsrc=size=320x240:rate=25", "-frames:v", "60",
               "-c:v", "libx264", "-preset", "ultrafast", self.path("long.mp4"))
        # The write end of this pipe is inherited by the program and by the ffmpeg processes
        # it starts: the read end sees its end only when all of them have exited.
        alive_r, alive_w = os.pipe()
        p = subprocess.Popen([HOST, "video", self.path("long.mp4"), "-o", self.path("out.mp4"),
                              "--model-dir", BLEND, "-v"], pass_fds=(alive_w,),
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        os.close(alive_w)
        # Terminated while the engine starts: ffmpeg is running but has no frame yet. An
        # encoder left behind would write an empty OUT once its input closes.
        first = p.stderr.readline()
        self.assertIn("model ", first)
        p.terminate()
        p.communicate(timeout=TIMEOUT)
        self.assertEqual(p.returncode, -15)
        self.assertEqual(os.read(alive_r, 1), b"")
        os.close(alive_r)
        self.assert_no_leftovers(["long.mp4"])


    def test_terminated_run_into_a_folder_leaves_no_images(self):
        ffmpeg("-f", "lavfi", "-i", "testsrc=size=320x240:rate=25", "-frames:v", "100",
               "-c:v", "libx264", "-preset", "ultrafast", self.path("long.mp4"))
        os.mkdir(self.path("out"))
        p = subprocess.Popen([HOST, "video", self.path("long.mp4"), "-o", self.path("out"),
                              "--model-dir", BLEND, "--fps", "4x"], stderr=subprocess.DEVNULL)
        partial = []
        while p.poll() is None and len(partial) < 20:
            partial = [n for n in os.listdir(self.path("out")) if n.startswith(".partial")]
        p.terminate()
        p.wait(TIMEOUT)
        self.assertGreaterEqual(len(partial), 20, "finished before it could be interrupted")
        self.assertEqual(os.listdir(self.path("out")), [])


class OutputTarget(HostTest):
    """-o naming something other than a regular file: a node is written in place and stays,
    a symbolic link stays and its target gets the result."""

    def setUp(self):
        super().setUp()
        grey_clip(self.path("in.mkv"), [30, 60, 90])
        Image.fromarray(np.full((20, 30, 3), 40, np.uint8)).save(self.path("a.png"))
        Image.fromarray(np.full((20, 30, 3), 80, np.uint8)).save(self.path("b.png"))

    def convert(self, command, out, *extra):
        inputs = ["video", self.path("in.mkv")] if command == "video" else \
            ["pair", self.path("a.png"), self.path("b.png")]
        return run(inputs + ["-o", out, "--model-dir", BLEND, "--quiet"] + list(extra))

    def read_fifo_while(self, fifo, command, *extra):
        """Converts into a FIFO while a thread drains it; returns the result and the bytes."""
        import threading
        got = []
        # A daemon: if the program replaced the FIFO, nothing ever opens it for writing.
        reader = threading.Thread(target=lambda: got.append(open(fifo, "rb").read()),
                                  daemon=True)
        reader.start()
        r = self.convert(command, fifo, *extra)
        reader.join(10)
        return r, got[0] if got else b""

    def test_fifo_and_device_node_are_written_in_place(self):
        import stat
        for command, name, magic in (("video", "fifo.mkv", b"\x1a\x45\xdf\xa3"),
                                     ("pair", "fifo.png", b"\x89PNG")):
            fifo = self.path(name)
            os.mkfifo(fifo)
            r, data = self.read_fifo_while(fifo, command)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertTrue(stat.S_ISFIFO(os.lstat(fifo).st_mode), name)
            self.assertEqual(data[:4], magic, name)
        # A device node of our own with /dev/null's numbers (never /dev itself).
        null = os.stat("/dev/null")
        try:
            for name in ("null.mkv", "null.png"):
                os.mknod(self.path(name), 0o600 | stat.S_IFCHR, null.st_rdev)
        except PermissionError:
            self.skipTest("no permission to make device nodes")
        for command, name in (("video", "null.mkv"), ("pair", "null.png")):
            r = self.convert(command, self.path(name))
            self.assertEqual(r.returncode, 0, r.stderr)
            st = os.lstat(self.path(name))
            self.assertTrue(stat.S_ISCHR(st.st_mode), name)
            self.assertEqual(st.st_rdev, null.st_rdev)
        # A failing encoder leaves the node where it was.
        r = self.convert("video", self.path("null.mkv"), "--factor", "2", "--start", "9")
        self.assertTrue(stat.S_ISCHR(os.lstat(self.path("null.mkv")).st_mode))
        self.assert_no_leftovers(["in.mkv", "a.png", "b.png", "fifo.mkv", "fifo.png",
                                  "null.mkv", "null.png"])

    def test_symlink_stays_and_its_target_gets_the_result(self):
        os.mkdir(self.path("real"))
        for command, name in (("video", "out.mkv"), ("pair", "out.png")):
            target = self.path("real/" + name)
            with open(target, "wb") as f:
                f.write(b"old")
            os.symlink("real/" + name, self.path(name))
            r = self.convert(command, self.path(name))
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(os.readlink(self.path(name)), "real/" + name)
            self.assertNotEqual(open(target, "rb").read(3), b"old")
        self.assertEqual(probe(self.path("real/out.mkv"))["frames"], 6)
        self.assertEqual(np.asarray(Image.open(self.path("real/out.png"))).mean(), 60)
        # A link to a file that does not exist yet: the file is made, the link stays.
        os.symlink("real/new.png", self.path("new.png"))
        r = self.convert("pair", self.path("new.png"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(os.path.islink(self.path("new.png")))
        self.assertEqual(sorted(os.listdir(self.path("real"))), ["new.png", "out.mkv", "out.png"])


    def interrupted_pair(self, size, frames, seed, wanted, count):
        """Runs pair -n FRAMES on two random images of SIZE (height, width) and sends it
        SIGTERM as soon as COUNT files whose names WANTED accepts are in the folder; returns
        the last list of them seen."""
        rng = np.random.default_rng(seed)
        for name in ("a.png", "b.png"):
            Image.fromarray(rng.integers(0, 256, size + (3,), np.uint8)).save(self.path(name))
        p = subprocess.Popen([HOST, "pair", self.path("a.png"), self.path("b.png"), "-o",
                              self.path("f.png"), "-n", str(frames), "--model-dir", BLEND],
                             stderr=subprocess.DEVNULL)
        seen = []
        while p.poll() is None and len(seen) < count:
            seen = [n for n in os.listdir(self.dir) if wanted(n)]
        p.terminate()
        p.wait(TIMEOUT)
        return seen

    def test_many_temporary_frames_all_removed(self):
        # pair -n 100 keeps 99 temporaries until the last frame is computed.
        partial = self.interrupted_pair((240, 320), 100, 3, lambda n: ".partial" in n, 80)
        self.assertGreaterEqual(len(partial), 80, "finished before it could be interrupted")
        self.assert_no_leftovers(["in.mkv", "a.png", "b.png"])

    def test_interrupted_while_the_library_writes_a_frame(self):
        # The library writes each frame under a hidden name of its own, then renames it:
        # a signal in between must not leave that file behind.
        writing = self.interrupted_pair((720, 1280), 20, 4, lambda n: n.endswith(".part"), 1)
        self.assertTrue(writing, "finished before it could be interrupted")
        self.assert_no_leftovers(["in.mkv", "a.png", "b.png"])


def random_images(folder, size, seed=5):
    rng = np.random.default_rng(seed)
    for name in ("a.png", "b.png"):
        Image.fromarray(rng.integers(0, 256, size + (3,), np.uint8)).save(
            os.path.join(folder, name))


def child_pids(pid):
    with open(f"/proc/{pid}/task/{pid}/children") as f:
        return [int(c) for c in f.read().split()]


class Jobs(HostTest):
    """--jobs: several engine processes compute the frames, which come back in order."""

    def pair(self, out, *extra):
        return run(["pair", self.path("a.png"), self.path("b.png"), "-o", self.path(out),
                    "--model-dir", BLEND] + list(extra))

    def test_pair_frames_are_the_same_bytes_with_one_or_three_jobs(self):
        random_images(self.dir, (37, 53))
        self.assertEqual(self.pair("one.png", "-n", "9", "--jobs", "1").returncode, 0)
        r = self.pair("three.png", "-n", "9", "--jobs", "3", "-v")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("3 engine processes", r.stderr)
        for k in range(1, 9):
            with open(self.path(f"one_{k}.png"), "rb") as one, \
                    open(self.path(f"three_{k}.png"), "rb") as three:
                self.assertEqual(one.read(), three.read(), k)
        # Frames that cannot start fail as with one engine.
        r = self.pair("x.png", "-n", "3", "--jobs", "2", "--library", self.path("nope.so"))
        self.assert_one_line_error(r, 1, "cannot load the library", "nope.so")
        r = self.pair("x.png", "-n", "3", "--jobs", "2", "--model-dir", self.path("none"))
        self.assert_one_line_error(r, 1, "no model file")
        self.assertEqual(len(os.listdir(self.dir)), 2 + 2 * 8)

    def test_a_worker_killed_mid_run_stops_the_run(self):
        random_images(self.dir, (480, 640))
        alive_r, alive_w = os.pipe()
        p = subprocess.Popen([HOST, "pair", self.path("a.png"), self.path("b.png"), "-o",
                              self.path("f.png"), "-n", "1000", "--jobs", "2", "--model-dir",
                              BLEND], pass_fds=(alive_w,), stderr=subprocess.PIPE, text=True)
        os.close(alive_w)
        workers = []
        while p.poll() is None and not (len(workers) == 2 and self.partial_files()):
            workers = child_pids(p.pid)
        self.assertEqual(len(workers), 2, "finished before a worker could be killed")
        os.kill(workers[1], 9)
        _, err = p.communicate(timeout=TIMEOUT)
        self.assertEqual(os.read(alive_r, 1), b"")  # the other worker is gone too
        os.close(alive_r)
        self.assert_one_line_error(subprocess.CompletedProcess([], p.returncode, "", err), 1,
                                   f"engine process 2 of 2 (pid {workers[1]}) stopped: "
                                   "killed by signal 9")
        self.assert_no_leftovers(["a.png", "b.png"])

    def partial_files(self):
        return [n for n in os.listdir(self.dir) if ".partial" in n]

    def test_video_frames_are_the_same_with_one_or_two_jobs(self):
        rng = np.random.default_rng(9)
        frames = rng.integers(0, 256, (7, 48, 64, 3), np.uint8)
        ffmpeg("-f", "rawvideo", "-pix_fmt", "rgb24", "-video_size", "64x48", "-framerate",
               "10", "-i", "pipe:0", "-c:v", "ffv1", "-pix_fmt", "bgr0", self.path("in.mkv"),
               stdin=frames.tobytes())
        outs = []
        for jobs in ("1", "2"):
            out = self.path(f"out{jobs}.mkv")
            r = run(["video", self.path("in.mkv"), "-o", out, "--model-dir", BLEND, "-v",
                     "--no-scene-detect", "--jobs", jobs])
            self.assertEqual(r.returncode, 0, r.stderr)
            outs.append(decode(out))
        self.assertIn("2 engine processes", r.stderr)
        self.assertEqual(outs[0].shape[0], 14)
        self.assertTrue(np.array_equal(outs[0], outs[1]))


class Concat(HostTest):
    """concat joins parts without encoding again; --audio-from takes the original's sound."""

    def setUp(self):
        super().setUp()
        frames = np.random.default_rng(4).integers(0, 256, (30, 48, 64, 3), np.uint8)
        ffmpeg("-f", "rawvideo", "-pix_fmt", "rgb24", "-video_size", "64x48", "-framerate",
               "10", "-i", "pipe:0", "-f", "lavfi", "-i",
               f"sine=frequency=440:sample_rate={AUDIO_RATE}:duration=4",
               "-map", "0:v", "-map", "1:a",
               "-c:v", "libx264", "-qp", "0", "-g", "1", "-pix_fmt", "yuv444p", "-c:a",
               "pcm_s16le", self.path("whole.mkv"), stdin=frames.tobytes())
        # Three parts of ten frames each, every frame a key frame: cut without loss.
        ffmpeg("-i", self.path("whole.mkv"), "-map", "0:v", "-c", "copy", "-f", "segment",
               "-segment_time", "1", "-reset_timestamps", "1", self.path("part%d.mkv"))
        self.parts = [self.path(f"part{i}.mkv") for i in range(3)]

    def audio_seconds(self, path):
        raw = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-map", "0:a", "-f", "s16le",
                              "-ac", "1", "-ar", str(AUDIO_RATE), "-"], capture_output=True,
                             check=True, timeout=TIMEOUT).stdout
        return len(raw) / 2 / AUDIO_RATE

    def test_parts_joined_are_the_whole_with_the_original_sound(self):
        r = run(["concat"] + self.parts + ["-o", self.path("joined.mkv")])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("3 parts joined", r.stderr)
        whole = decode(self.path("whole.mkv"))
        self.assertTrue(np.array_equal(decode(self.path("joined.mkv")), whole))
        self.assertEqual(probe(self.path("joined.mkv"))["audio"], [])
        for out, codec in (("sound.mkv", "pcm_s16le"), ("sound.mp4", "aac")):
            r = run(["concat"] + self.parts + ["-o", self.path(out), "--audio-from",
                                               self.path("whole.mkv")])
            self.assertEqual(r.returncode, 0, r.stderr)
            info = probe(self.path(out))
            self.assertEqual((info["frames"], info["audio"]), (30, [codec]))
            # The 4 s of sound are cut to the 3 s of video, give or take a frame.
            self.assertLessEqual(abs(self.audio_seconds(self.path(out)) - 3.0), 0.1, out)
        self.assertTrue(np.array_equal(decode(self.path("sound.mkv")), whole))

    def test_parts_that_cannot_be_joined(self):
        ffmpeg("-f", "lavfi", "-i", "testsrc2=size=32x48:rate=10", "-frames:v", "5", "-c:v",
               "ffv1", self.path("narrow.mkv"))
        out = ["-o", self.path("out.mkv")]
        r = run(["concat", self.parts[0], self.path("narrow.mkv")] + out)
        self.assert_one_line_error(r, 1, "narrow.mkv cannot be joined to", "width=32 instead of 64")
        r = run(["concat", self.parts[0], self.path("nope.mkv")] + out)
        self.assert_one_line_error(r, 1, "nope.mkv: No such file")
        # ffmpeg's refusal is quoted, naming OUT (never the temporary file).
        r = run(["concat"] + self.parts + ["-o", self.path("out.webm")])
        self.assert_one_line_error(r, 1, "could not join the parts into", "out.webm")
        self.assertNotIn("partial", r.stderr)
        self.assert_no_leftovers(["whole.mkv", "narrow.mkv"] +
                                 [os.path.basename(p) for p in self.parts])


class Install(HostTest):
    def test_installed_program_finds_its_library_and_model(self):
        prefix = self.path("prefix")
        subprocess.run([os.environ["KRI_CMAKE"], "--install", os.environ["KRI_BUILD_DIR"],
                        "--prefix", prefix], check=True, capture_output=True, timeout=TIMEOUT)
        host = os.path.join(prefix, "bin", "kestrune-interp")
        models = os.path.join(prefix, "share", "kestrune-rife-inference", "models")
        help_text = subprocess.run([host, "--help"], capture_output=True, text=True,
                                   check=True).stdout
        self.assertIn(f"(default: {models})", help_text)
        Image.fromarray(np.full((20, 30, 3), 40, np.uint8)).save(self.path("a.png"))
        Image.fromarray(np.full((20, 30, 3), 80, np.uint8)).save(self.path("b.png"))
        # Run through a symbolic link from elsewhere: the program still finds its own
        # folder, and the library there, without LD_LIBRARY_PATH.
        os.symlink(host, self.path("interp"))
        env = {k: v for k, v in os.environ.items() if k != "LD_LIBRARY_PATH"}
        r = subprocess.run([self.path("interp"), "pair", self.path("a.png"), self.path("b.png"),
                            "-o", self.path("m.png"), "--model-dir", BLEND, "-v"],
                           capture_output=True, text=True, env=env, timeout=TIMEOUT)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(f"library {prefix}/bin/", r.stderr)
        self.assertEqual(np.asarray(Image.open(self.path("m.png"))).mean(), 60)


if __name__ == "__main__":
    if not HOST or not MODELS:
        sys.exit("set KRI_HOST and KRI_TEST_MODELS (ctest does)")
    unittest.main()
