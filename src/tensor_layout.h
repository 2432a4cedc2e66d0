// Tensor layout conversion between packed 8-bit RGB frames and the network's planar float
// tensors, padded to multiples of 64. Internal to the library (its benchmark compiles it
// too); nothing here is exported, and every definition has internal linkage.
//
// Both conversions are pure memory traffic, so they are written to run at memory speed:
// one pass over the frame, four pixels at a time with SSE2 (part of every x86-64 CPU),
// the rest of each row one pixel at a time. The SSE2 operations are the same IEEE single
// precision operations as the scalar code (a division, a multiply, an add, truncation),
// so the result is the same bit for bit whichever path a sample takes. Build with
// -ffp-contract=off so that no multiply-add is ever fused.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "model_contract.h"

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#    include <emmintrin.h>
#    define KRI_TENSOR_LAYOUT_SSE2 1
#endif

namespace {

// The smallest multiple of the model's padding (64) not below n (n >= 1), in size_t so
// that no int can overflow.
static_assert((kri_model::kPadMultiple & (kri_model::kPadMultiple - 1)) == 0,
              "the padding is a power of two");
inline size_t pad_to_64(int n) {
    return (static_cast<size_t>(n) + kri_model::kPadMultiple - 1) & ~(kri_model::kPadMultiple - 1);
}

// k / 255.0f for every byte value, computed by the compiler: a division (not a
// multiplication by the reciprocal, which differs for 126 of the 256 values), exactly as
// the network's input is defined.
constexpr std::array<float, 256> make_byte_to_unit() {
    std::array<float, 256> table{};
    for (int k = 0; k < 256; ++k) table[static_cast<size_t>(k)] = static_cast<float>(k) / 255.0f;
    return table;
}
constexpr std::array<float, 256> kByteToUnit = make_byte_to_unit();

// One byte -> its sample. With SSE2 the vector loop divides at run time, so the rest of
// the row does too (the two then agree under any rounding mode the caller has set);
// elsewhere the table saves the division.
inline float byte_to_unit(uint8_t k) {
#if defined(KRI_TENSOR_LAYOUT_SSE2)
    return static_cast<float>(k) / 255.0f;
#else
    return kByteToUnit[k];
#endif
}

#if defined(KRI_TENSOR_LAYOUT_SSE2)
// Four packed pixels at p (12 bytes; 14 are read, so a 5th pixel must follow) -> four
// 32-bit lanes holding R | G << 8 | B << 16. Each 8-byte load brings two pixels; the
// second pixel of each is moved up from bit 24 to bit 32.
inline __m128i load_4_pixels(const uint8_t* p) {
    const __m128i pairs =
        _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)),
                           _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 6)));
    const __m128i first = _mm_and_si128(pairs, _mm_set_epi32(0, 0xFFFFFF, 0, 0xFFFFFF));
    const __m128i second =
        _mm_and_si128(_mm_slli_epi64(pairs, 8), _mm_set_epi32(0xFFFFFF, 0, 0xFFFFFF, 0));
    return _mm_or_si128(first, second);
}

inline __m128 bytes_to_unit(__m128i k) {
    return _mm_div_ps(_mm_cvtepi32_ps(k), _mm_set1_ps(255.0f));
}
#endif

// Packed RGB -> planar R, G, B of padded_height x padded_width floats each, in one pass
// over the source that writes every sample once: the frame's samples and, right of and
// below the frame, black padding (0.0). Returns null when the allocation fails.
inline float* hwc_to_nchw(const uint8_t* src, int width, int height, int padded_width,
                          int padded_height) {
    const size_t w = static_cast<size_t>(width);
    const size_t h = static_cast<size_t>(height);
    const size_t pw = static_cast<size_t>(padded_width);
    const size_t ph = static_cast<size_t>(padded_height);
    const size_t plane = pw * ph;
    // Not calloc: every sample is written below, and a recycled block would otherwise be
    // cleared once by calloc and written again here.
    float* planar = static_cast<float*>(std::malloc(3 * plane * sizeof(float)));
    if (planar == nullptr) return nullptr;
    for (size_t y = 0; y < h; ++y) {
        const uint8_t* row = src + y * w * 3;
        float* r = planar + y * pw;
        float* g = r + plane;
        float* b = g + plane;
        size_t x = 0;
#if defined(KRI_TENSOR_LAYOUT_SSE2)
        const __m128i low_byte = _mm_set1_epi32(0xFF);
        for (; x + 4 < w; x += 4) {
            const __m128i pixels = load_4_pixels(row + 3 * x);
            _mm_storeu_ps(r + x, bytes_to_unit(_mm_and_si128(pixels, low_byte)));
            _mm_storeu_ps(g + x, bytes_to_unit(_mm_and_si128(_mm_srli_epi32(pixels, 8), low_byte)));
            _mm_storeu_ps(b + x, bytes_to_unit(_mm_srli_epi32(pixels, 16)));
        }
#endif
        for (; x < w; ++x) {
            r[x] = byte_to_unit(row[3 * x + 0]);
            g[x] = byte_to_unit(row[3 * x + 1]);
            b[x] = byte_to_unit(row[3 * x + 2]);
        }
        if (pw > w) {
            const size_t right = (pw - w) * sizeof(float);
            std::memset(r + w, 0, right);
            std::memset(g + w, 0, right);
            std::memset(b + w, 0, right);
        }
    }
    if (ph > h)
        for (size_t c = 0; c < 3; ++c)
            std::memset(planar + c * plane + h * pw, 0, (ph - h) * pw * sizeof(float));
    return planar;
}

// One output sample -> byte: negative and NaN give 0, above 1 is clamped to 1, then
// v * 255 + 0.5 truncated (halves round up). `v > 0` is false for NaN, which therefore
// maps to 0 like the negative values. The SSE2 loop below is the same arithmetic: MAXPS
// and MINPS return their second operand when the comparison fails, as these selects do.
inline uint8_t unit_to_byte(float v) {
    const float low = v > 0.0f ? v : 0.0f;
    const float m = low < 1.0f ? low : 1.0f;
    return static_cast<uint8_t>(static_cast<int>(m * 255.0f + 0.5f));
}

#if defined(KRI_TENSOR_LAYOUT_SSE2)
inline __m128i units_to_bytes(__m128 v) {
    const __m128 m = _mm_min_ps(_mm_max_ps(v, _mm_setzero_ps()), _mm_set1_ps(1.0f));
    return _mm_cvttps_epi32(_mm_add_ps(_mm_mul_ps(m, _mm_set1_ps(255.0f)), _mm_set1_ps(0.5f)));
}
#endif

// Planar padded output -> packed RGB of the frame's own size; the padding is never read.
inline void nchw_to_hwc(const float* planar, int width, int height, int padded_width,
                        int padded_height, uint8_t* dst) {
    const size_t w = static_cast<size_t>(width);
    const size_t h = static_cast<size_t>(height);
    const size_t pw = static_cast<size_t>(padded_width);
    const size_t plane = pw * static_cast<size_t>(padded_height);
    for (size_t y = 0; y < h; ++y) {
        const float* r = planar + y * pw;
        const float* g = r + plane;
        const float* b = g + plane;
        uint8_t* row = dst + y * w * 3;
        size_t x = 0;
#if defined(KRI_TENSOR_LAYOUT_SSE2)
        // Four pixels become four lanes of R | G << 8 | B << 16, then two 64-bit lanes of
        // two pixels each (6 bytes), stored 8 bytes at a time: the 2 extra bytes land on
        // the next pixel, which is written afterwards, so a 5th pixel must follow.
        const __m128i first_of_pair = _mm_set_epi32(0, -1, 0, -1);
        const __m128i second_of_pair =
            _mm_set_epi32(-1, static_cast<int>(0xFF000000u), -1, static_cast<int>(0xFF000000u));
        for (; x + 4 < w; x += 4) {
            const __m128i pixels =
                _mm_or_si128(_mm_or_si128(units_to_bytes(_mm_loadu_ps(r + x)),
                                          _mm_slli_epi32(units_to_bytes(_mm_loadu_ps(g + x)), 8)),
                             _mm_slli_epi32(units_to_bytes(_mm_loadu_ps(b + x)), 16));
            const __m128i pairs =
                _mm_or_si128(_mm_and_si128(pixels, first_of_pair),
                             _mm_and_si128(_mm_srli_epi64(pixels, 8), second_of_pair));
            uint8_t* out = row + 3 * x;
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out), pairs);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 6), _mm_unpackhi_epi64(pairs, pairs));
        }
#endif
        for (; x < w; ++x) {
            row[3 * x + 0] = unit_to_byte(r[x]);
            row[3 * x + 1] = unit_to_byte(g[x]);
            row[3 * x + 2] = unit_to_byte(b[x]);
        }
    }
}

}  // namespace
