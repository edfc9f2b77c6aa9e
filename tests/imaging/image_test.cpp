// The imaging core on tiny synthetic pictures.

#include <array>
#include <cmath>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "engine/imaging/colour/point_curves.h"
#include "engine/imaging/image.h"

using namespace Imaging;

namespace {

// A picture whose pixel at picture position (x, y) is (x, y, x + y, 1) / 100.
Image ramp(int width, int height) {
    return generate(Rect{0, 0, width, height}, [](int x, int y) {
        return Pixel{x / 100.0f, y / 100.0f, (x + y) / 100.0f, 1};
    });
}

// A picture through the engine's row kernels for colour curves and cubes.
Image throughCurves(const Image& image, const std::array<std::vector<float>, 3>& tables) {
    const Curves::ColourCurveRows rows(tables);
    return mapRows(Image(image), [&rows](const Pixel* in, Pixel* out, int count) { rows.apply(in, out, count); });
}

Image throughCube(const Image& image, int dimension, const std::vector<float>& rgbaEntries) {
    const CubeLookup lookup(dimension, rgbaEntries.data());
    return mapRows(Image(image), [&lookup](const Pixel* in, Pixel* out, int count) { lookup.applyRow(in, out, count); });
}

double maxDifference(const Image& a, const Image& b) {
    EXPECT_EQ(a.extent(), b.extent());
    if (a.extent() != b.extent()) return INFINITY;
    return cv::norm(a.mat(), b.mat(), cv::NORM_INF);
}

}  // namespace

TEST(ImageModel, ExtentIsBottomUpAndRowsTopDown) {
    const Image image = ramp(4, 3);
    EXPECT_FLOAT_EQ(image.at(0, 0).g, 0.02f) << "stored row 0 is the top row, y = 2";
    EXPECT_FLOAT_EQ(image.at(3, 2).r, 0.03f);
    EXPECT_FLOAT_EQ(sample(image, -5, 10).g, 0.02f) << "samples clamp to the extent";
    EXPECT_EQ(Rect::fromTopLeft(1, 0, 2, 1, 3), (Rect{1, 2, 2, 1}));
    const Image part = crop(image, Rect{1, 1, 2, 5});
    EXPECT_EQ(part.extent(), (Rect{1, 1, 2, 2}));
    EXPECT_FLOAT_EQ(sample(part, 1, 1).r, 0.01f);
    EXPECT_TRUE(crop(image, Rect{10, 10, 2, 2}).empty());
}

TEST(ImageFilters, ConstantPicturesStayConstant) {
    const Pixel grey{0.3f, 0.5f, 0.7f, 1};
    const Image flat = Image::filled(Rect{0, 0, 37, 23}, grey);
    struct Case {
        const char* name;
        Image result;
        int width, height;
    };
    const Case cases[] = {
        {"blur", gaussianBlur(flat, 4.5), 37, 23},
        {"lanczos shrink", lanczosScale(flat, 0.3), 11, 7},
        {"lanczos enlarge", lanczosScale(flat, 2.5), 93, 58},
        {"lanczos aspect", lanczosScale(flat, 0.5, 2.0), 37, 12},
        {"rotation", transform(flat, Affine::rotation(0.3, 18, 11), flat.extent()), 37, 23},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.result.width(), c.width);
        EXPECT_EQ(c.result.height(), c.height);
        EXPECT_LT(maxDifference(c.result, Image::filled(c.result.extent(), grey)), 1e-5);
    }
}

// The wide blur: three box blurs with edges repeated whose widths give the
// Gaussian's variance, on planes and on pixels, whole or as a view.
TEST(ImageFilters, BoxGaussianBlurIsThreeBoxesOfTheGaussiansVariance) {
    cv::Mat noise(61, 83, CV_32FC4);
    cv::theRNG().state = 11;
    cv::randu(noise, cv::Scalar::all(0), cv::Scalar::all(1));
    struct Case {
        const char* name;
        double sigma;
        int channels;
        std::array<int, 3> widths;  // the three boxes
    };
    const Case cases[] = {
        {"sigma 4, pixels", 4, 4, {7, 7, 9}},
        {"sigma 6.5, plane", 6.5, 1, {13, 13, 13}},
        {"sigma 24, boxes almost as tall as the picture", 24, 1, {47, 47, 49}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // The boxes' variances add up to the Gaussian's, as closely as odd widths allow.
        double variance = 0;
        for (const int k : c.widths) variance += (k * k - 1) / 12.0;
        EXPECT_NEAR(variance, c.sigma * c.sigma, 0.1 * c.sigma * c.sigma);
        cv::Mat input;
        if (c.channels == 1) cv::extractChannel(noise, input, 2);
        else input = noise.clone();
        cv::Mat expected = input.clone();
        for (const int k : c.widths) cv::blur(expected, expected, cv::Size(k, k), cv::Point(-1, -1), cv::BORDER_REPLICATE);
        cv::Mat got = input.clone();
        boxGaussianBlur(got, c.sigma);
        EXPECT_LT(cv::norm(got, expected, cv::NORM_INF), 1e-5);
        // A view of a larger picture is blurred on its own, edges repeated.
        cv::Mat outer(input.rows + 10, input.cols + 10, input.type(), cv::Scalar::all(5));
        cv::Mat view = outer(cv::Rect(5, 5, input.cols, input.rows));
        input.copyTo(view);
        boxGaussianBlur(view, c.sigma);
        EXPECT_LT(cv::norm(view, expected, cv::NORM_INF), 1e-5);
        EXPECT_EQ(outer.at<float>(0, 0), 5.0f);
    }
}

TEST(ImageFilters, GeometryKeepsPixelsWhereTheyBelong) {
    const Image image = ramp(20, 10);
    EXPECT_LT(maxDifference(transform(image, Affine{}, image.extent()), image), 1e-6) << "identity";
    // A shift by whole pixels moves the content.
    const Image shifted = transform(image, Affine{1, 0, 0, 1, 3, 0}, image.extent());
    EXPECT_FLOAT_EQ(sample(shifted, 10, 4).r, 0.07f);
    // A quarter turn about the centre, then back, gives the inside back.
    const Image turned = transform(transform(image, Affine::rotation(M_PI / 2, 10, 5), image.extent()),
                                   Affine::rotation(-M_PI / 2, 10, 5), image.extent());
    EXPECT_NEAR(sample(turned, 10, 5).r, 0.10f, 1e-4);
    // Lanczos at scale 1 is the picture itself; a linear ramp survives a shrink
    // in the interior.
    EXPECT_LT(maxDifference(lanczosScale(image, 1.0), image), 1e-7);
    const Image half = lanczosScale(ramp(40, 40), 0.5);
    EXPECT_NEAR(sample(half, 10, 10).r, 0.205f, 2e-3);
}

TEST(ImageColour, TransferCurvesAndLookUps) {
    for (float v : {-0.5f, 0.0f, 0.002f, 0.04f, 0.18f, 0.5f, 1.0f, 2.5f})
        EXPECT_NEAR(sRGBDecode(sRGBEncode(v)), v, 1e-5f + 1e-5f * std::fabs(v)) << v;
    EXPECT_NEAR(sRGBEncode(0.18f), 0.4614f, 1e-3);
    const Image image = ramp(8, 8);
    const Image encoded = map(image, [](const Pixel& p) { return Pixel{sRGBEncode(p.r), sRGBEncode(p.g), sRGBEncode(p.b), p.a}; });
    EXPECT_LT(maxDifference(sRGBToLinear(encoded), image), 1e-5);
    EXPECT_LT(maxDifference(exposure(exposure(image, 1.5), -1.5), image), 1e-6);
    EXPECT_FLOAT_EQ(sample(exposure(image, 1), 3, 0).r, 0.06f);

    std::vector<float> identity(256), inverse(256);
    for (int i = 0; i < 256; ++i) identity[std::size_t(i)] = i / 255.0f, inverse[std::size_t(i)] = 1 - i / 255.0f;
    EXPECT_LT(maxDifference(throughCurves(image, {identity, identity, identity}), image), 1e-6);
    EXPECT_NEAR(sample(throughCurves(image, {inverse, identity, identity}), 5, 0).r, 0.95f, 1e-5);

    std::vector<float> cube;
    const int n = 5;
    for (int b = 0; b < n; ++b)
        for (int g = 0; g < n; ++g)
            for (int r = 0; r < n; ++r) cube.insert(cube.end(), {r / 4.0f, g / 4.0f, b / 4.0f, 1});
    EXPECT_LT(maxDifference(throughCube(image, n, cube), image), 1e-5);
}

TEST(ImageColour, CompositingAndReductions) {
    const Image a = Image::filled(Rect{0, 0, 4, 4}, {0.2f, 0.4f, 0.6f, 1});
    const Image b = Image::filled(Rect{0, 0, 4, 4}, {0.5f, 0.5f, 0.1f, 0.5f});
    EXPECT_FLOAT_EQ(sample(multiply(a, b), 1, 1).r, 0.1f);
    EXPECT_FLOAT_EQ(sample(add(a, b), 1, 1).b, 0.7f);
    EXPECT_FLOAT_EQ(sample(maximum(a, b), 1, 1).b, 0.6f);

    Image spot = Image::filled(Rect{0, 0, 9, 9}, {0, 0, 0, 1});
    spot.at(4, 4) = {1, 1, 1, 1};
    EXPECT_NEAR(areaAverage(spot, spot.extent()).r, 1.0f / 81, 1e-6);
    EXPECT_FLOAT_EQ(areaAverage(spot, Rect{0, 0, 3, 3}).r, 0.0f);
}

TEST(ImageRendering, ClampsAndRounds) {
    Image image(Rect{0, 0, 3, 1});
    image.at(0, 0) = {-0.5f, 0.5f, 2.0f, 1};
    image.at(1, 0) = {NAN, 1.0f / 255, 0.998f, 0.5f};
    image.at(2, 0) = {1, 1, 1, 1};
    const Bitmap rgba = renderRGBA8(image);
    EXPECT_EQ(std::vector<int>(rgba.pixels.begin(), rgba.pixels.begin() + 8), (std::vector<int>{0, 128, 255, 255, 0, 1, 254, 128}));
    EXPECT_EQ(renderGrey8(image).pixels[2], 255);
    const Image back = fromBitmap(rgba);
    EXPECT_FLOAT_EQ(back.at(0, 0).g, 128 / 255.0f);
    EXPECT_LT(maxDifference(fromHalf(renderHalf(ramp(5, 5))), ramp(5, 5)), 1e-3);
}

TEST(ImageColour, TransferTablesFollowTheFormula) {
    const auto encode = [](double v) { return v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055; };
    const auto decode = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    double encodeError = 0, decodeError = 0;
    for (int i = 0; i <= 300000; ++i) {
        const double v = i / 200000.0;  // 0…1.5, between and beyond the table's steps
        encodeError = std::max(encodeError, std::fabs(sRGBEncode(float(v)) - encode(double(float(v)))));
        decodeError = std::max(decodeError, std::fabs(sRGBDecode(float(v)) - decode(double(float(v)))));
        EXPECT_EQ(sRGBEncode(-float(v)), -sRGBEncode(float(v)));
    }
    EXPECT_LT(encodeError, 1e-6);
    EXPECT_LT(decodeError, 1e-6);
    EXPECT_TRUE(std::isnan(sRGBEncode(NAN)));
}

TEST(ImageColour, CubeInterpolatesTrilinearly) {
    // A curved cube, so that every interpolation weight matters.
    const int n = 6;
    std::vector<float> cube;
    for (int b = 0; b < n; ++b)
        for (int g = 0; g < n; ++g)
            for (int r = 0; r < n; ++r) {
                const float x = r / 5.0f, y = g / 5.0f, z = b / 5.0f;
                cube.insert(cube.end(), {x * x + 0.1f * z, y * z + 0.3f * x, std::sqrt(z) * (1 - 0.5f * y), 1});
            }
    const auto reference = [&](const Pixel& p) {
        float rgb[3] = {p.r, p.g, p.b}, f[3];
        int i0[3];
        for (int c = 0; c < 3; ++c) {
            const float v = std::clamp(rgb[c], 0.0f, 1.0f) * (n - 1);
            i0[c] = std::min(int(v), n - 2);
            f[c] = v - float(i0[c]);
        }
        Pixel out{0, 0, 0, p.a};
        for (int corner = 0; corner < 8; ++corner) {
            const int d[3] = {corner & 1, (corner >> 1) & 1, (corner >> 2) & 1};
            float w = 1;
            for (int c = 0; c < 3; ++c) w *= d[c] ? f[c] : 1 - f[c];
            const float* e = &cube[std::size_t((((i0[2] + d[2]) * n + i0[1] + d[1]) * n + i0[0] + d[0]) * 4)];
            out.r += w * e[0], out.g += w * e[1], out.b += w * e[2];
        }
        return out;
    };
    const Image input = generate(Rect{0, 0, 37, 23}, [](int x, int y) {
        return Pixel{x / 30.0f - 0.1f, y / 20.0f, float((x * 7 + y * 13) % 17) / 16.0f, 0.5f};
    });
    const Image looked = throughCube(input, n, cube);
    for (int row = 0; row < input.height(); ++row)
        for (int col = 0; col < input.width(); ++col) {
            const Pixel want = reference(input.at(col, row)), got = looked.at(col, row);
            ASSERT_NEAR(got.r, want.r, 1e-6) << col << "," << row;
            ASSERT_NEAR(got.g, want.g, 1e-6) << col << "," << row;
            ASSERT_NEAR(got.b, want.b, 1e-6) << col << "," << row;
            ASSERT_EQ(got.a, 0.5f);
        }
}

// A row kernel against its scalar lookup, exactly, over rows of odd and
// even length of values across and beyond 0…1 (and NaN where the lookup
// takes it), converted in place and not.
template <class Row, class PixelLookup>
void expectRowsGiveThePixelLookup(Row&& row, PixelLookup&& pixel, bool withNaN) {
    for (const int count : {1, 2, 7, 64, 301}) {
        std::vector<Pixel> in;
        for (int i = 0; i < count; ++i) {
            const float t = float(i * 37 % 101) / 90.0f - 0.05f;
            in.push_back({t, 1 - t, t * t, float(i) / 64});
        }
        if (withNaN) in[std::size_t(count / 2)].g = NAN;
        std::vector<Pixel> out(in.size()), inPlace = in;
        row(in.data(), out.data(), count);
        row(inPlace.data(), inPlace.data(), count);
        for (int i = 0; i < count; ++i) {
            const Pixel want = pixel(in[std::size_t(i)]);
            for (const Pixel& got : {out[std::size_t(i)], inPlace[std::size_t(i)]}) {
                EXPECT_EQ(got.r, want.r) << count << ": " << i;
                EXPECT_EQ(got.g, want.g) << count << ": " << i;
                EXPECT_EQ(got.b, want.b) << count << ": " << i;
                EXPECT_EQ(got.a, want.a) << count << ": " << i;
            }
        }
    }
}

TEST(ImageColour, CurveRowsGiveThePixelCurves) {
    // Free tables of other lengths per channel, one channel without a curve.
    std::array<std::vector<float>, 3> tables;
    for (int i = 0; i < 256; ++i) tables[0].push_back(std::pow(i / 255.0f, 0.8f));
    for (int i = 0; i < 17; ++i) tables[2].push_back(0.05f + 0.9f * std::sqrt(i / 16.0f));
    const Curves::ColourCurveRows rows(tables);
    expectRowsGiveThePixelLookup([&](const Pixel* in, Pixel* out, int n) { rows.apply(in, out, n); },
                                 [&](const Pixel& p) { return Curves::colourCurvesPixel(tables, p); }, false);

    // The point curves' tables: a master curve and a red one.
    Curves::Set set;
    set.master = Curves::Points{{0, 0.05}, {0.25, 0.15}, {0.75, 0.88}, {1, 0.97}};
    set.red = Curves::Points{{0, 0}, {0.5, 0.56}, {1, 1}};
    const Curves::FloatTables point(*Curves::channelTables(set));
    expectRowsGiveThePixelLookup([&](const Pixel* in, Pixel* out, int n) { Curves::applyRow(point, in, out, n); },
                                 [&](const Pixel& p) {
                                     const Colour::RGB c = Curves::apply(point, {p.r, p.g, p.b});
                                     return Pixel{c.r, c.g, c.b, p.a};
                                 },
                                 true);
}
