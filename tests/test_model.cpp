// The shipped model (models/rife49_ensemble.onnx) through the library, on a synthetic scene
// with known motion: a textured plane translated by whole pixels, so the true frames at any
// timestep are exact crops of the same texture. A blend of the two inputs, a copy of one of
// them, a model that ignores the timestep or one with swapped inputs all fail these checks.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <utility>
#include <vector>

#include "test_support.h"

namespace {

constexpr int kWidth = 384;
constexpr int kHeight = 256;
// Motion from frame 0 to frame 1, in pixels: a multiple of 4, so that t = 1/4 and 1/2 land
// on whole pixels too.
constexpr int kMoveX = 12;
constexpr int kMoveY = -8;
constexpr int kMargin = 16;  // pixels near the border (content entering the view) not scored

// A texture larger than the frames: smooth random blobs, a few sharp-edged rectangles and
// fine stripes, in colour.
struct Texture {
    int width, height;
    std::vector<float> rgb;

    Texture(int w, int h, uint32_t seed)
        : width(w), height(h), rgb(static_cast<size_t>(w) * h * 3) {
        std::mt19937 rng(seed);
        std::uniform_real_distribution<float> unit(0.0f, 1.0f);
        // Smooth part: bilinear interpolation of a coarse random grid (8 px cells), mostly
        // brightness with some colour, as in natural images.
        const int cw = w / 8 + 2, ch = h / 8 + 2;
        std::vector<float> coarse(static_cast<size_t>(cw) * ch * 3);
        for (size_t i = 0; i < coarse.size(); i += 3) {
            const float grey = unit(rng);
            for (int c = 0; c < 3; ++c) coarse[i + c] = 0.8f * grey + 0.2f * unit(rng);
        }
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const float fx = x / 8.0f, fy = y / 8.0f;
                const int ix = static_cast<int>(fx), iy = static_cast<int>(fy);
                const float ax = fx - ix, ay = fy - iy;
                for (int c = 0; c < 3; ++c) {
                    auto at = [&](int xx, int yy) {
                        return coarse[(static_cast<size_t>(yy) * cw + xx) * 3 + c];
                    };
                    const float top = at(ix, iy) * (1 - ax) + at(ix + 1, iy) * ax;
                    const float bot = at(ix, iy + 1) * (1 - ax) + at(ix + 1, iy + 1) * ax;
                    rgb[(static_cast<size_t>(y) * w + x) * 3 + c] =
                        0.1f + 0.8f * (top * (1 - ay) + bot * ay);
                }
            }
        // Sharp edges and stripes.
        for (int k = 0; k < 12; ++k) {
            const int x0 = static_cast<int>(unit(rng) * (w - 30)),
                      y0 = static_cast<int>(unit(rng) * (h - 30));
            const int rw = 8 + static_cast<int>(unit(rng) * 20),
                      rh = 8 + static_cast<int>(unit(rng) * 20);
            const float col[3] = {unit(rng), unit(rng), unit(rng)};
            const bool striped = k % 3 == 0;
            for (int y = y0; y < y0 + rh; ++y)
                for (int x = x0; x < x0 + rw; ++x)
                    for (int c = 0; c < 3; ++c) {
                        const float s = striped && ((x / 2) % 2) ? 0.5f : 1.0f;
                        rgb[(static_cast<size_t>(y) * w + x) * 3 + c] = col[c] * s;
                    }
        }
    }

    // The frame whose top-left corner sits at (ox, oy) in the texture.
    std::vector<uint8_t> frame(int ox, int oy) const {
        std::vector<uint8_t> out(static_cast<size_t>(kWidth) * kHeight * 3);
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
                for (int c = 0; c < 3; ++c) {
                    const float v = rgb[(static_cast<size_t>(y + oy) * width + (x + ox)) * 3 + c];
                    out[(static_cast<size_t>(y) * kWidth + x) * 3 + c] =
                        static_cast<uint8_t>(std::lround(std::clamp(v, 0.0f, 1.0f) * 255.0f));
                }
        return out;
    }
};

// Pixels x0 <= x < x1, y0 <= y < y1.
struct Region {
    int x0, y0, x1, y1;
};

// PSNR in dB over a region of the frames.
double psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, const Region& r) {
    double sum = 0;
    size_t n = 0;
    for (int y = r.y0; y < r.y1; ++y)
        for (int x = r.x0; x < r.x1; ++x)
            for (int c = 0; c < 3; ++c) {
                const size_t i = (static_cast<size_t>(y) * kWidth + x) * 3 + c;
                const double d = static_cast<double>(a[i]) - b[i];
                sum += d * d;
                ++n;
            }
    const double mse = sum / static_cast<double>(n);
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

// PSNR in dB over the frame without a margin of `margin` pixels.
double psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, int margin) {
    return psnr(a, b, Region{margin, margin, kWidth - margin, kHeight - margin});
}

// Sets pixel (x, y) of a frame to grey `value`.
void paint(std::vector<uint8_t>& img, int x, int y, uint8_t value) {
    std::fill_n(&img[(static_cast<size_t>(y) * kWidth + x) * 3], 3, value);
}

std::vector<uint8_t> blend(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, float t) {
    std::vector<uint8_t> out(a.size());
    for (size_t i = 0; i < a.size(); ++i)
        out[i] = static_cast<uint8_t>(std::lround((1.0f - t) * a[i] + t * b[i]));
    return out;
}

class ShippedModel : public ::testing::Test {
  protected:
    // Frame at time t of the scene: the view moves by (move_x, move_y) * t across the texture.
    static std::vector<uint8_t> at(const Texture& tex, float t, int move_x = kMoveX,
                                   int move_y = kMoveY) {
        return tex.frame(32 + static_cast<int>(std::lround(move_x * t)),
                         32 + static_cast<int>(std::lround(move_y * t)));
    }

    std::vector<uint8_t> interpolate(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b,
                                     float t) {
        std::vector<uint8_t> out(a.size());
        EXPECT_EQ(rife_interpolate(a.data(), b.data(), kWidth, kHeight, out.data(), t), 0)
            << rife_get_error();
        return out;
    }

    void SetUp() override { ASSERT_EQ(rife_init(KRI_SHIPPED_MODEL_DIR), 0) << rife_get_error(); }
    void TearDown() override { rife_shutdown(); }

    Texture tex{kWidth + 64, kHeight + 64, 20240611u};
};

// The endpoints return the inputs, and a still frame comes back unchanged at any size: frames
// up to 64 pixels across have single-pixel coarse levels, where a warp is undefined.
TEST_F(ShippedModel, EndpointsAndStillFramesReproduceTheInputs) {
    const auto f0 = at(tex, 0.0f), f1 = at(tex, 1.0f);
    EXPECT_GE(psnr(interpolate(f0, f1, 0.0f), f0, 0), 45.0);
    EXPECT_GE(psnr(interpolate(f0, f1, 1.0f), f1, 0), 45.0);
    for (const auto& [w, h] : {std::pair{1, 1}, {8, 6}, {63, 1}, {65, 65}, {130, 70}}) {
        std::vector<uint8_t> still(static_cast<size_t>(w) * h * 3), out(still.size());
        for (size_t i = 0; i < still.size(); ++i) still[i] = static_cast<uint8_t>(i * 7 % 251);
        ASSERT_EQ(rife_interpolate(still.data(), still.data(), w, h, out.data(), 0.5f), 0)
            << rife_get_error();
        EXPECT_EQ(out, still) << w << "x" << h;
    }
}

TEST_F(ShippedModel, MiddleFrameIsMotionCompensated) {
    const auto f0 = at(tex, 0.0f), f1 = at(tex, 1.0f), truth = at(tex, 0.5f);
    const double model = psnr(interpolate(f0, f1, 0.5f), truth, kMargin);
    const double mixed = psnr(blend(f0, f1, 0.5f), truth, kMargin);
    const double copy = psnr(f0, truth, kMargin);
    std::printf("middle frame: model %.2f dB, blend %.2f dB, copy of frame 0 %.2f dB\n", model,
                mixed, copy);
    EXPECT_GE(model, mixed + 8.0) << "blend " << mixed << " dB, copy of frame 0 " << copy << " dB";
    EXPECT_GE(model, copy + 8.0);
    EXPECT_GE(model, 32.0);
}

TEST_F(ShippedModel, QuarterTimestepMovesAQuarterOfTheWay) {
    const auto f0 = at(tex, 0.0f), f1 = at(tex, 1.0f);
    const auto quarter = at(tex, 0.25f), middle = at(tex, 0.5f);
    const auto out = interpolate(f0, f1, 0.25f);
    const double model = psnr(out, quarter, kMargin);
    EXPECT_GE(model, psnr(blend(f0, f1, 0.25f), quarter, kMargin) + 8.0);
    // Closer to the true quarter-way frame than to the middle one or to frame 0.
    EXPECT_GE(model, psnr(out, middle, kMargin) + 6.0);
    EXPECT_GE(model, psnr(out, f0, kMargin) + 6.0);
    // And the same motion in the other order: (frame 1, frame 0, 3/4) is that frame too.
    EXPECT_GE(psnr(interpolate(f1, f0, 0.75f), quarter, kMargin), model - 1.0);
}

// A larger pan, as a camera sweeping over a scene. The middle frame lies on whole pixels,
// so motion found exactly reproduces it almost exactly; motion found to within a fraction
// of a pixel (as by earlier versions of the model) stays well below. The same pan with
// frame 1 a fifth darker (old film flickers, cameras change exposure) must still be
// followed: grey values that no longer matched pulled the motion astray.
TEST_F(ShippedModel, LargePanIsFollowedExactlyAndThroughAFlicker) {
    const auto f0 = at(tex, 0.0f, 24, 12), f1 = at(tex, 1.0f, 24, 12);
    const auto middle = at(tex, 0.5f, 24, 12);
    const double model = psnr(interpolate(f0, f1, 0.5f), middle, 2 * kMargin);
    const auto darker = [](std::vector<uint8_t> img, float gain) {
        for (auto& v : img) v = static_cast<uint8_t>(std::lround(v * gain));
        return img;
    };
    const double flicker =
        psnr(interpolate(f0, darker(f1, 0.8f), 0.5f), darker(middle, 0.9f), 2 * kMargin);
    std::printf("24x12 px pan, middle frame: model %.2f dB; frame 1 darker: %.2f dB\n", model,
                flicker);
    EXPECT_GE(model, 55.0);
    EXPECT_GE(flicker, 50.0);
}

// A pan by a fraction of a pixel, as a camera sees it: frames are 4x4 area averages of a finer
// texture, so shifts by quarter pixels are exact. Motion of (3.5, 1.5) px puts the middle frame
// between pixels, where a bilinear sample of either frame is a blur of the fine detail: a model
// that samples bilinearly stays below the threshold.
TEST_F(ShippedModel, SubPixelPanKeepsFineDetail) {
    const Texture fine{4 * (kWidth + 16), 4 * (kHeight + 16), 20240611u};
    const auto texel = [&fine](int x, int y, int c) {
        return fine.rgb[(static_cast<size_t>(y) * fine.width + x) * 3 + c];
    };
    const auto frame = [&texel](int qx, int qy) {  // offset in quarter pixels
        std::vector<uint8_t> out(static_cast<size_t>(kWidth) * kHeight * 3);
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
                for (int c = 0; c < 3; ++c) {
                    float sum = 0.0f;
                    for (int v = 0; v < 4; ++v)
                        for (int u = 0; u < 4; ++u) sum += texel(4 * x + qx + u, 4 * y + qy + v, c);
                    out[(static_cast<size_t>(y) * kWidth + x) * 3 + c] = static_cast<uint8_t>(
                        std::lround(std::clamp(sum / 16.0f, 0.0f, 1.0f) * 255.0f));
                }
        return out;
    };
    const auto f0 = frame(0, 0), f1 = frame(14, 6), middle = frame(7, 3);
    const double model = psnr(interpolate(f0, f1, 0.5f), middle, kMargin);
    std::printf("3.5x1.5 px pan, middle frame: model %.2f dB, blend %.2f dB\n", model,
                psnr(blend(f0, f1, 0.5f), middle, kMargin));
    EXPECT_GE(model, 37.0);
}

// A small object over still texture: an 8x8 square moving 2 px per frame, with frames 0 and 2
// as the inputs and frame 1 as the truth. Motion windows larger than the square smear its
// motion into the still background around it, and the blend leaves half a square in each
// of two places.
TEST_F(ShippedModel, SmallMovingSquareIsFollowed) {
    constexpr int kSide = 8, kStep = 2, kX = 180, kY = 120;
    const auto frame = [this](int n) {
        auto img = at(tex, 0.0f);
        for (int y = kY; y < kY + kSide; ++y)
            for (int x = kX + n * kStep; x < kX + n * kStep + kSide; ++x) {
                uint8_t* px = &img[(static_cast<size_t>(y) * kWidth + x) * 3];
                px[0] = 240, px[1] = 30, px[2] = 30;
            }
        return img;
    };
    const auto f0 = frame(0), f1 = frame(2), truth = frame(1);
    const auto out = interpolate(f0, f1, 0.5f);
    const Region square{kX + kStep, kY, kX + kStep + kSide, kY + kSide};
    const Region around{kX - kSide, kY - kSide, kX + 2 * kStep + 2 * kSide, kY + 2 * kSide};
    const auto mixed = blend(f0, f1, 0.5f);
    const double model = psnr(out, truth, around), model_on = psnr(out, truth, square);
    const double mixed_around = psnr(mixed, truth, around), mixed_on = psnr(mixed, truth, square);
    std::printf(
        "8x8 square, 2 px per frame, model / blend: around it %.2f / %.2f dB, on it "
        "%.2f / %.2f dB\n",
        model, mixed_around, model_on, mixed_on);
    EXPECT_GE(model, mixed_around + 3.0);
    EXPECT_GE(model_on, mixed_on + 3.0);
}

// The same pan inside black bars on the left and above (pillarbox and letterbox): content
// entering the picture next to a bar must come from the frame that shows it, not be smeared
// with the bar's black. Scored up to the bars' edges.
TEST_F(ShippedModel, PanBetweenBlackBarsKeepsTheBarsOut) {
    constexpr int kLeft = 48, kTop = 32;
    const auto barred = [](std::vector<uint8_t> img) {
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
                if (x < kLeft || y < kTop) paint(img, x, y, 0);
        return img;
    };
    const auto f0 = barred(at(tex, 0.0f)), f1 = barred(at(tex, 1.0f));
    const auto out = interpolate(f0, f1, 0.5f), truth = barred(at(tex, 0.5f));
    const double picture = psnr(out, truth, Region{kLeft, kTop, kWidth - kMargin, kHeight});
    std::printf("pan between black bars, middle frame: %.2f dB\n", picture);
    EXPECT_GE(picture, 40.0);
    // The bars stay black.
    EXPECT_EQ(psnr(out, truth, Region{0, 0, kWidth, kTop}), 99.0);
    EXPECT_EQ(psnr(out, truth, Region{0, 0, kLeft, kHeight}), 99.0);
}

// A static overlay (burned-in subtitles, a channel's logo) over the panning scene: a light bar
// with dark strokes, drawn at the same place in every frame. It must stay where it is, sharp,
// not be torn along with the background moving under it; and along its edges each pixel must
// take either the bar's motion or the background's, not a blend of the two (a smeared border).
TEST_F(ShippedModel, StaticOverlayOverAPanStaysPut) {
    const Region bar{96, 200, 288, 230};
    const auto overlaid = [&bar](std::vector<uint8_t> img) {
        for (int y = bar.y0; y < bar.y1; ++y)
            for (int x = bar.x0; x < bar.x1; ++x) {
                const bool stroke = y >= bar.y0 + 6 && y < bar.y1 - 6 && (x - bar.x0) % 12 < 4;
                paint(img, x, y, stroke ? 20 : 235);
            }
        return img;
    };
    // A sideways pan: along the strokes' period, the background's motion matches the bar too.
    const auto f0 = overlaid(at(tex, 0.0f, 8, 0)), f1 = overlaid(at(tex, 1.0f, 8, 0));
    const auto out = interpolate(f0, f1, 0.5f), truth = overlaid(at(tex, 0.5f, 8, 0));
    const double on = psnr(out, truth, bar), all = psnr(out, truth, kMargin);
    std::printf("static overlay over a pan: on it %.2f dB, whole frame %.2f dB\n", on, all);
    EXPECT_GE(on, 35.0);
    EXPECT_GE(all, 44.0);
}

// Thin bright lines crossing a smooth scene at a shallow slant, panned nearly along them and
// exactly along them: any motion along a line matches it, so the motion estimated there
// drifts along the lines, each direction its own way, or stops (a line moving along itself
// looks still). The pan of the scene around them must carry them, exactly: a box-downsampled
// coarse level tells motions along a line apart only to within a pixel or so.
TEST_F(ShippedModel, ThinLinesAlongAPanMoveWithIt) {
    for (const float slope : {0.25f, 0.5f}) {
        Texture lined = tex;  // for its size: every texel is replaced
        for (int y = 0; y < lined.height; ++y)
            for (int x = 0; x < lined.width; ++x) {
                float v = 0.4f + 0.15f * std::sin(x / 23.0f) + 0.15f * std::cos(y / 31.0f);
                for (int k = 0, c0 = -lined.width; c0 < lined.height; c0 += 9 + (k++ * 7) % 13) {
                    const float d = std::abs(y + slope * x - c0) / std::sqrt(1 + slope * slope);
                    v = std::max(v, 0.95f * (1.0f - d));
                }
                float* px = &lined.rgb[(static_cast<size_t>(y) * lined.width + x) * 3];
                px[0] = v, px[1] = 0.8f * v, px[2] = 0.5f * v;
            }
        const auto f0 = at(lined, 0.0f, -4, 2), f1 = at(lined, 1.0f, -4, 2);
        const double model = psnr(interpolate(f0, f1, 0.5f), at(lined, 0.5f, -4, 2), kMargin);
        std::printf("thin lines of slope %.2f along a pan, middle frame: %.2f dB\n", slope, model);
        EXPECT_GE(model, 58.0) << "slope " << slope;
    }
}

// A scene cut to fine random detail (snow, static): whatever motion is found between the
// scenes is noise, and the middle frame is their blend, not one torn along that noise.
TEST_F(ShippedModel, SceneCutGivesTheBlend) {
    const auto f0 = at(tex, 0.0f);
    std::vector<uint8_t> f1(f0.size());
    std::mt19937 rng(5);
    for (auto& v : f1) v = static_cast<uint8_t>(rng() & 255);
    const double model = psnr(interpolate(f0, f1, 0.5f), blend(f0, f1, 0.5f), 0);
    std::printf("scene cut: model against the blend %.2f dB\n", model);
    EXPECT_GE(model, 45.0);
}

}  // namespace
