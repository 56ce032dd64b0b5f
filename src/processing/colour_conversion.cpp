#include "processing/colour_conversion.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "TaviSDK/GigeCamera.h"
#include "processing/cloud_frame.h"
#include "processing/colour_simd.h"
#include "processing/core_split.h"
#include "processing/image_frame.h"

namespace tavi {
namespace {

// ---- BayerRG8 demosaic -----------------------------------------------------------------------------

enum Channel { kRed = 0, kGreen = 1, kBlue = 2 };

int Avg2(int a, int b) { return (a + b) >> 1; }
int Avg3(int a, int b, int c) { return (a + b + c) / 3; }
int Avg4(int a, int b, int c, int d) { return (a + b + c + d) >> 2; }

// The raw mosaic. Reads are clamped to the image: the interior rule of an edge block reaches one
// sample past the edge, and every such value is replaced by the edge's own rule afterwards.
struct Mosaic {
    const uint8_t* raw;
    int width;
    int height;
    int operator()(int y, int x) const {
        y = y < 0 ? 0 : (y >= height ? height - 1 : y);
        x = x < 0 ? 0 : (x >= width ? width - 1 : x);
        return raw[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)];
    }
};

struct Picture {
    uint8_t* rgb;
    int width;
    uint8_t* Pixel(int y, int x) const {
        return rgb +
               (static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) * kRgbBytes;
    }
    void Set(int y, int x, int r, int g, int b) const {
        uint8_t* pixel = Pixel(y, x);
        pixel[kRed] = static_cast<uint8_t>(r);
        pixel[kGreen] = static_cast<uint8_t>(g);
        pixel[kBlue] = static_cast<uint8_t>(b);
    }
    void Set(int y, int x, Channel channel, int value) const {
        Pixel(y, x)[channel] = static_cast<uint8_t>(value);
    }
};

// The block whose red pixel is (j, i): red (j, i), greens (j, i+1) and (j+1, i), blue (j+1, i+1).
void InteriorRule(const Mosaic& D, const Picture& O, int j, int i) {
    O.Set(j, i, D(j, i), Avg4(D(j - 1, i), D(j + 1, i), D(j, i - 1), D(j, i + 1)),
          Avg4(D(j - 1, i - 1), D(j - 1, i + 1), D(j + 1, i - 1), D(j + 1, i + 1)));
    O.Set(j, i + 1, Avg2(D(j, i), D(j, i + 2)), D(j, i + 1), Avg2(D(j - 1, i + 1), D(j + 1, i + 1)));
    O.Set(j + 1, i, Avg2(D(j, i), D(j + 2, i)), D(j + 1, i), Avg2(D(j + 1, i - 1), D(j + 1, i + 1)));
    O.Set(j + 1, i + 1, Avg4(D(j, i), D(j, i + 2), D(j + 2, i), D(j + 2, i + 2)),
          Avg4(D(j, i + 1), D(j + 2, i + 1), D(j + 1, i), D(j + 1, i + 2)), D(j + 1, i + 1));
}

void TopEdgeRule(const Mosaic& D, const Picture& O, int i) {
    O.Set(0, i, kGreen, Avg3(D(0, i - 1), D(1, i), D(0, i + 1)));
    const int blue = Avg2(D(1, i - 1), D(1, i + 1));
    O.Set(0, i, kBlue, blue);
    O.Set(1, i, kBlue, blue);
    O.Set(0, i + 1, kBlue, D(1, i + 1));
}

void BottomEdgeRule(const Mosaic& D, const Picture& O, int i) {
    const int j = D.height - 2;
    O.Set(j + 1, i, kRed, D(j, i));
    const int red = Avg2(D(j, i), D(j, i + 2));
    O.Set(j, i + 1, kRed, red);
    O.Set(j + 1, i + 1, kRed, red);
    O.Set(j + 1, i + 1, kGreen, Avg3(D(j, i + 1), D(j + 1, i + 2), D(j + 1, i)));
    O.Set(j, i, kBlue, (D(j - 1, i - 1) + D(j + 1, i - 1) + 2 * D(j + 1, i + 1)) >> 2);
}

void LeftEdgeRule(const Mosaic& D, const Picture& O, int j) {
    O.Set(j, 0, kGreen, Avg3(D(j - 1, 0), D(j + 1, 0), D(j, 1)));
    const int blue = Avg2(D(j - 1, 1), D(j + 1, 1));
    O.Set(j, 0, kBlue, blue);
    O.Set(j, 1, kBlue, blue);
    O.Set(j + 1, 0, kBlue, D(j + 1, 1));
}

void RightEdgeRule(const Mosaic& D, const Picture& O, int j) {
    const int i = D.width - 2;
    O.Set(j, i + 1, kRed, D(j, i));
    const int red = Avg2(D(j, i), D(j + 2, i));
    O.Set(j + 1, i, kRed, red);
    O.Set(j + 1, i + 1, kRed, red);
    O.Set(j + 1, i + 1, kGreen, Avg3(D(j, i + 1), D(j + 2, i + 1), D(j + 1, i)));
}

bool IsCornerBlock(const Mosaic& D, int j, int i) {
    return (j == 0 || j == D.height - 2) && (i == 0 || i == D.width - 2);
}

// One block that is not a corner: the interior rule, then the rule of the edge it lies on.
void DemosaicBlock(const Mosaic& D, const Picture& O, int j, int i) {
    InteriorRule(D, O, j, i);
    if (j == 0) TopEdgeRule(D, O, i);
    if (j == D.height - 2) BottomEdgeRule(D, O, i);
    if (i == 0) LeftEdgeRule(D, O, j);
    if (i == D.width - 2) RightEdgeRule(D, O, j);
}

void FillBlockWith(const Picture& O, int j, int i, int source_y, int source_x) {
    uint8_t colour[kRgbBytes];
    std::memcpy(colour, O.Pixel(source_y, source_x), kRgbBytes);
    for (int y = j; y < j + 2; ++y)
        for (int x = i; x < i + 2; ++x) std::memcpy(O.Pixel(y, x), colour, kRgbBytes);
}

// Corner blocks have too few neighbours for any rule: each takes one nearby pixel, in this order.
void FillCornerBlocks(const Picture& O, int width, int height) {
    FillBlockWith(O, 0, 0, 2, 2);
    FillBlockWith(O, height - 2, 0, height - 1, 2);
    FillBlockWith(O, 0, width - 2, 2, width - 3);
    FillBlockWith(O, height - 2, width - 2, height - 3, width - 3);
}

// The interior rule for the blocks i = first ... width - 4 of row pair j (first even), straight from
// four raw rows.
void DemosaicInteriorBlocks(const uint8_t* raw, int width, int j, size_t first, uint8_t* rgb) {
    const size_t w = static_cast<size_t>(width);
    const uint8_t* a = raw + (static_cast<size_t>(j) - 1) * w;
    const uint8_t* b = a + w;
    const uint8_t* c = b + w;
    const uint8_t* d = c + w;
    uint8_t* top = rgb + static_cast<size_t>(j) * w * kRgbBytes;
    uint8_t* bottom = top + w * kRgbBytes;
    for (size_t i = first; i + 2 < w; i += 2) {
        uint8_t* p00 = top + i * kRgbBytes;
        uint8_t* p10 = bottom + i * kRgbBytes;
        p00[0] = b[i];
        p00[1] = static_cast<uint8_t>((a[i] + c[i] + b[i - 1] + b[i + 1]) >> 2);
        p00[2] = static_cast<uint8_t>((a[i - 1] + a[i + 1] + c[i - 1] + c[i + 1]) >> 2);
        p00[3] = static_cast<uint8_t>((b[i] + b[i + 2]) >> 1);
        p00[4] = b[i + 1];
        p00[5] = static_cast<uint8_t>((a[i + 1] + c[i + 1]) >> 1);
        p10[0] = static_cast<uint8_t>((b[i] + d[i]) >> 1);
        p10[1] = c[i];
        p10[2] = static_cast<uint8_t>((c[i - 1] + c[i + 1]) >> 1);
        p10[3] = static_cast<uint8_t>((b[i] + b[i + 2] + d[i] + d[i + 2]) >> 2);
        p10[4] = static_cast<uint8_t>((b[i + 1] + d[i + 1] + c[i] + c[i + 2]) >> 2);
        p10[5] = c[i + 1];
    }
}

// The blocks of row pairs [first, end) (j = 2 x pair): edge blocks by their rules, the interior
// sixteen columns per step on the vector units when `vectors`, the rest block by block.
void DemosaicRowPairs(const Mosaic& D, const Picture& O, size_t first, size_t end, bool vectors) {
    for (int j = static_cast<int>(2 * first); j < static_cast<int>(2 * end); j += 2) {
        const bool edge_row = j == 0 || j == D.height - 2;
        for (int i = 0; i < D.width; i += 2) {
            if (!edge_row && i == 2) {
                const size_t first_column =
                    vectors ? DemosaicInteriorRowPairVectors(D.raw, static_cast<size_t>(D.width),
                                                             static_cast<size_t>(j), O.rgb)
                            : 2;
                DemosaicInteriorBlocks(D.raw, D.width, j, first_column, O.rgb);
                i = D.width - 4;  // the next block is the right edge's
                continue;
            }
            if (!IsCornerBlock(D, j, i)) DemosaicBlock(D, O, j, i);
        }
    }
}

// Row pairs read only raw samples, so they may be done in any order and on any core; the corner
// blocks copy converted pixels and come last.
void Demosaic(const uint8_t* raw, uint32_t width, uint32_t height, uint8_t* rgb, bool vectors,
              bool both_cores) {
    const Mosaic D{raw, static_cast<int>(width), static_cast<int>(height)};
    const Picture O{rgb, D.width};
    const size_t pairs = height / 2;
    if (both_cores) {
        constexpr size_t kMinPixelsToSplit = 1 << 17;
        SplitAcrossCores(
            pairs, [&](size_t first, size_t end) { DemosaicRowPairs(D, O, first, end, vectors); },
            std::max<size_t>(1, kMinPixelsToSplit / (2 * size_t{width})));
    } else {
        DemosaicRowPairs(D, O, 0, pairs, vectors);
    }
    FillCornerBlocks(O, D.width, D.height);
}

// ---- YUV422_8 ----------------------------------------------------------------------------------------

uint8_t YuvChannel(double value) {
    float channel = static_cast<float>(value);
    if (channel < 0.0f) channel = 0.0f;
    if (channel > 255.0f) channel = 255.0f;
    return static_cast<uint8_t>(channel);
}

void YuvPixel(int y, int u, int v, uint8_t* rgb) {
    rgb[0] = YuvChannel(y + 1.401687 * v - 0.00093 * u);
    rgb[1] = YuvChannel(y - 0.3437 * u - 0.71417 * v);
    rgb[2] = YuvChannel(y + 1.77216 * u - 0.00099 * v);
}

// Per chroma pair (U, V), each channel is clamp(Y + offset) with offset the floor of the chroma
// term, as long as that term is not within 1e-4 of an integer: the double sum and its rounding to
// single precision (an error below 2^-15 for values under 512) then never cross an integer. The few
// pairs with a term that close to an integer take the exact formula.
struct ChromaTerms {
    int16_t offset[3];
    int16_t exact_only;
};

ChromaTerms TermsOf(int u, int v) {
    // Grey: every term is exactly 0 and Y comes through unchanged.
    if (u == 0 && v == 0) return ChromaTerms{};
    const double terms[3] = {1.401687 * v - 0.00093 * u, -0.3437 * u - 0.71417 * v,
                             1.77216 * u - 0.00099 * v};
    ChromaTerms result{};
    for (int channel = 0; channel < 3; ++channel) {
        const double floor = std::floor(terms[channel]);
        const double fraction = terms[channel] - floor;
        if (fraction < 1e-4 || fraction > 1.0 - 1e-4) result.exact_only = 1;
        result.offset[channel] = static_cast<int16_t>(floor);
    }
    return result;
}

struct YuvTables {
    std::array<ChromaTerms, 65536> chroma;  // by U << 8 | V
    std::array<uint8_t, 1024> clamp;        // clamp(x) at x + 512
};

// Null when the tables cannot be had; the exact formula then does all the work.
const YuvTables* Tables() {
    static const YuvTables* tables = []() -> const YuvTables* {
        auto* built = new (std::nothrow) YuvTables;
        if (built == nullptr) return nullptr;
        for (int u = 0; u < 256; ++u)
            for (int v = 0; v < 256; ++v)
                built->chroma[static_cast<size_t>(u << 8 | v)] = TermsOf(u - 128, v - 128);
        for (size_t slot = 0; slot < 1024; ++slot) {
            const int x = static_cast<int>(slot) - 512;
            built->clamp[slot] = static_cast<uint8_t>(x < 0 ? 0 : x > 255 ? 255 : x);
        }
        return built;
    }();
    return tables;
}

}  // namespace

bool BayerGeometryAccepted(uint32_t width, uint32_t height) {
    return width % 2 == 0 && height % 2 == 0 && width >= 6 && height >= 4 && width <= INT32_MAX &&
           height <= INT32_MAX;
}

void DemosaicBayerRG8Reference(const uint8_t* raw, uint32_t width, uint32_t height, uint8_t* rgb) {
    const Mosaic D{raw, static_cast<int>(width), static_cast<int>(height)};
    const Picture O{rgb, D.width};
    std::memset(rgb, 0, static_cast<size_t>(width) * height * kRgbBytes);
    for (int i = 0; i < D.width; i += 2) {
        for (int j = 0; j < D.height; j += 2) {
            if (!IsCornerBlock(D, j, i)) DemosaicBlock(D, O, j, i);
        }
    }
    FillCornerBlocks(O, D.width, D.height);
}

void DemosaicBayerRG8Portable(const uint8_t* raw, uint32_t width, uint32_t height, uint8_t* rgb) {
    Demosaic(raw, width, height, rgb, false, false);
}

void DemosaicBayerRG8OnThisCore(const uint8_t* raw, uint32_t width, uint32_t height, uint8_t* rgb) {
    Demosaic(raw, width, height, rgb, ColourVectorsAvailable(), false);
}

void DemosaicBayerRG8(const uint8_t* raw, uint32_t width, uint32_t height, uint8_t* rgb) {
    Demosaic(raw, width, height, rgb, ColourVectorsAvailable(), true);
}

void YuyvToRgbReference(const uint8_t* yuyv, size_t groups, uint8_t* rgb) {
    for (size_t g = 0; g < groups; ++g) {
        const uint8_t* in = yuyv + 4 * g;
        const int u = in[1] - 128, v = in[3] - 128;
        YuvPixel(in[0], u, v, rgb + 6 * g);
        YuvPixel(in[2], u, v, rgb + 6 * g + 3);
    }
}

void YuyvToRgbPortable(const uint8_t* yuyv, size_t groups, uint8_t* rgb) {
    const YuvTables* tables = Tables();
    if (tables == nullptr) return YuyvToRgbReference(yuyv, groups, rgb);
    const uint8_t* clamp = tables->clamp.data() + 512;
    for (size_t g = 0; g < groups; ++g) {
        const uint8_t* in = yuyv + 4 * g;
        uint8_t* out = rgb + 6 * g;
        const ChromaTerms& terms = tables->chroma[static_cast<size_t>(in[1] << 8 | in[3])];
        if (terms.exact_only) {
            YuvPixel(in[0], in[1] - 128, in[3] - 128, out);
            YuvPixel(in[2], in[1] - 128, in[3] - 128, out + 3);
            continue;
        }
        for (size_t pixel = 0; pixel < 2; ++pixel) {
            const int y = in[2 * pixel];
            for (size_t channel = 0; channel < 3; ++channel)
                out[3 * pixel + channel] = clamp[y + terms.offset[channel]];
        }
    }
}

void YuyvToRgbOnThisCore(const uint8_t* yuyv, size_t groups, uint8_t* rgb) {
    const size_t done = ColourVectorsAvailable() ? YuyvToRgbVectors(yuyv, groups, rgb) : 0;
    YuyvToRgbPortable(yuyv + 4 * done, groups - done, rgb + 6 * done);
}

void YuyvToRgb(const uint8_t* yuyv, size_t groups, uint8_t* rgb) {
    SplitAcrossCores(groups, [&](size_t first, size_t end) {
        YuyvToRgbOnThisCore(yuyv + 4 * first, end - first, rgb + 6 * first);
    });
}

int ConvertBayerFrame(cameralog* log, PhotoInfo* frame) {
    constexpr int kRejected = TAVI_ERR_INVALID_ARGUMENT;
    if (frame == nullptr || frame->data == nullptr) {
        TAVI_LOG_ERROR(log, "[function:BayerRG8ToRgb888] the incoming parameters error, error code: %d",
                       kRejected);
        return kRejected;
    }
    if (static_cast<int32_t>(frame->width) <= 0 || static_cast<int32_t>(frame->height) <= 0 ||
        static_cast<int32_t>(frame->payload_size) <= 0) {
        TAVI_LOG_ERROR(log,
                       "[function:BayerRG8ToRgb888] the data info (width or height or payload_size) error.");
        return kRejected;
    }
    if (!BayerGeometryAccepted(frame->width, frame->height) || !FitsPayloadSize(*frame, kRgbBytes)) {
        TAVI_LOG_ERROR(log,
                       "[function:BayerRG8ToRgb888] A %ux%u frame cannot be demosaiced (an even width of at "
                       "least 6 and an even height of at least 4 are needed), error code: %d",
                       frame->width, frame->height, kRejected);
        return kRejected;
    }
    if (!PayloadHoldsPixels(*frame, 1)) {
        TAVI_LOG_ERROR(log,
                       "[function:BayerRG8ToRgb888] The payload of %u bytes is smaller than the %ux%u frame "
                       "needs, error code: %d",
                       frame->payload_size, frame->width, frame->height, kRejected);
        return kRejected;
    }
    const size_t rgb_bytes = PixelCount(*frame) * kRgbBytes;
    auto* rgb = static_cast<uint8_t*>(std::malloc(rgb_bytes));
    if (rgb == nullptr) {
        TAVI_LOG_ERROR(log, "[function:BayerRG8ToRgb888] malloc rgb image failed, error code: %d", kRejected);
        return kRejected;
    }
    DemosaicBayerRG8(frame->data, frame->width, frame->height, rgb);
    // The caller's block came from the C heap; the converted frame gets a new one.
    std::free(frame->data);
    frame->data = rgb;
    frame->pixel_format = kPixelRGB8;
    frame->payload_size = static_cast<uint32_t>(rgb_bytes);
    return TAVI_OK;
}

int ConvertYuyvFrame(cameralog* log, PhotoInfo* frame) {
    constexpr int kRejected = TAVI_ERR_INVALID_ARGUMENT;
    if (frame == nullptr || frame->data == nullptr) {
        TAVI_LOG_ERROR(log, "[function:YuyvToRgb888] the incoming parameters error, error code: %d",
                       kRejected);
        return kRejected;
    }
    if (!PayloadHoldsPixels(*frame, 2) || !FitsPayloadSize(*frame, kRgbBytes)) {
        TAVI_LOG_ERROR(log,
                       "[function:YuyvToRgb888] The payload of %u bytes does not hold the %ux%u frame, error "
                       "code: %d",
                       frame->payload_size, frame->width, frame->height, kRejected);
        return kRejected;
    }
    const size_t rgb_bytes = PixelCount(*frame) * kRgbBytes;
    // The result is larger than the input it overwrites, so it is built aside first.
    auto* scratch = static_cast<uint8_t*>(std::calloc(rgb_bytes + 1, 1));
    if (scratch == nullptr) {
        TAVI_LOG_ERROR(log, "[function:YuyvToRgb888] malloc rgb image failed, error code: %d", kRejected);
        return kRejected;
    }
    YuyvToRgb(frame->data, PixelCount(*frame) / 2, scratch);
    std::memcpy(frame->data, scratch, rgb_bytes);
    std::free(scratch);
    frame->pixel_format = kPixelRGB8;
    frame->payload_size = static_cast<uint32_t>(rgb_bytes);
    return TAVI_OK;
}

}  // namespace tavi

void GigeCamera::RawdataToRgb888(PhotoInfo& frame) {
    PhotoInfo* checked = tavi::FrameAddress(frame);
    if (checked == nullptr || checked->data == nullptr) {
        TAVI_LOG_ERROR(&log, "[function:RawdataToRgb888] the incoming parameters error, error code: %d",
                       TAVI_ERR_INVALID_ARGUMENT);
        return;
    }
    if (checked->pixel_format == kPixelYUV422_8) {
        YuyvToRgb888(*checked);
    } else if (checked->pixel_format == kPixelBayerRG8) {
        BayerRG8ToRgb888(*checked);
    }
}

void GigeCamera::BayerRG8ToRgb888(PhotoInfo& frame) {
    tavi::ConvertBayerFrame(&log, tavi::FrameAddress(frame));
}

void GigeCamera::YuyvToRgb888(PhotoInfo& frame) { tavi::ConvertYuyvFrame(&log, tavi::FrameAddress(frame)); }
