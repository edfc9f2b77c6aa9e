#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "engine/library/analysis.h"

namespace {

// A small synthetic scene: a sky gradient, a sun, a hill and a house; `seed`
// moves and recolours things so that different seeds are different pictures.
Imaging::Bitmap scene(int width, int height, int seed, double gain = 1.0) {
    Imaging::Bitmap bitmap(width, height, 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            double u = (x + 0.5) / width, v = (y + 0.5) / height;
            double r = 0.35 + 0.3 * v, g = 0.5 + 0.2 * v, b = 0.9 - 0.3 * v;  // sky
            double sunX = 0.2 + 0.15 * seed, sunY = 0.25;
            if ((u - sunX) * (u - sunX) + (v - sunY) * (v - sunY) * 0.5 < 0.006) r = 1, g = 0.9, b = 0.4;
            double hill = 0.65 + 0.1 * std::sin(u * (4 + seed) + seed);
            if (v > hill) r = 0.2 + 0.05 * seed, g = 0.45, b = 0.15;
            double houseX = 0.55 - 0.1 * seed;
            if (u > houseX && u < houseX + 0.2 && v > 0.5 && v < 0.75) r = 0.7, g = 0.25, b = 0.2;
            if (((x / 3) + (y / 3)) % 7 == 0 && v > hill) g += 0.1;  // grass texture
            std::uint8_t* p = bitmap.row(y) + 3 * x;
            p[0] = std::uint8_t(std::clamp(r * gain, 0.0, 1.0) * 255 + 0.5);
            p[1] = std::uint8_t(std::clamp(g * gain, 0.0, 1.0) * 255 + 0.5);
            p[2] = std::uint8_t(std::clamp(b * gain, 0.0, 1.0) * 255 + 0.5);
        }
    }
    return bitmap;
}

Imaging::Bitmap withChannels(const Imaging::Bitmap& rgb, int channels) {
    Imaging::Bitmap out(rgb.width, rgb.height, channels);
    for (int i = 0; i < rgb.width * rgb.height; ++i) {
        const std::uint8_t* p = &rgb.pixels[std::size_t(i) * 3];
        std::uint8_t* q = &out.pixels[std::size_t(i) * channels];
        if (channels == 1) q[0] = p[1];
        if (channels == 4) q[0] = p[0], q[1] = p[1], q[2] = p[2], q[3] = 255;
    }
    return out;
}

double distance(const Extraction::FeaturePrintVector& a, const Extraction::FeaturePrintVector& b) {
    double sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i) sum += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
    return std::sqrt(sum);
}

}  // namespace

TEST(FeaturePrint, EncodesSevenHundredSixtyEightLittleEndianFloatsInBase64) {
    struct Case {
        const char* name;
        Imaging::Bitmap image;
    };
    Imaging::Bitmap black(40, 30, 3);
    Imaging::Bitmap dot(1, 1, 3);
    dot.pixels = {200, 10, 10};
    const std::vector<Case> cases = {
        {"400-pixel preview", scene(400, 267, 0)},
        {"portrait preview", scene(267, 400, 1)},
        {"one channel", withChannels(scene(120, 80, 2), 1)},
        {"RGBA", withChannels(scene(120, 80, 2), 4)},
        {"all black", black},
        {"one pixel", dot},
        {"one pixel high", scene(500, 1, 0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<std::string> text = Extraction::featurePrint(c.image);
        ASSERT_TRUE(text);
        ASSERT_EQ(text->size(), 4096u);
        EXPECT_EQ(text->find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"), std::string::npos);

        std::vector<unsigned char> bytes(3072 + 3);
        int decoded = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text->data()), int(text->size()));
        ASSERT_EQ(decoded, 3072);

        auto vector = Extraction::featurePrintVector(c.image);
        ASSERT_TRUE(vector);
        double squared = 0;
        for (std::size_t i = 0; i < 768; ++i) {
            const unsigned char* b = &bytes[i * 4];
            std::uint32_t word = b[0] | (b[1] << 8) | (b[2] << 16) | (std::uint32_t(b[3]) << 24);
            float value;
            std::memcpy(&value, &word, 4);
            ASSERT_EQ(value, (*vector)[i]) << "element " << i;
            ASSERT_TRUE(std::isfinite(value)) << "element " << i;
            squared += double(value) * value;
        }
        EXPECT_NEAR(squared, 1.0, 1e-5);

        auto back = Extraction::decodeFeaturePrint(*text);
        ASSERT_TRUE(back);
        EXPECT_EQ(*back, *vector);
    }
}

TEST(FeaturePrint, SamePicturesGiveTheSameTextOnEveryCallAndThread) {
    Imaging::Bitmap picture = scene(400, 300, 1);
    std::string first = *Extraction::featurePrint(picture);
    Imaging::Bitmap copy = picture;
    EXPECT_EQ(*Extraction::featurePrint(copy), first);

    std::vector<std::string> results(4);
    std::vector<std::thread> threads;
    for (auto& result : results) threads.emplace_back([&] { result = *Extraction::featurePrint(picture); });
    for (auto& thread : threads) thread.join();
    for (const auto& result : results) EXPECT_EQ(result, first);
}

TEST(FeaturePrint, SimilarPicturesAreNearerThanDifferentOnes) {
    auto original = *Extraction::featurePrintVector(scene(400, 267, 0));
    auto smaller = *Extraction::featurePrintVector(scene(200, 133, 0));
    auto brighter = *Extraction::featurePrintVector(scene(400, 267, 0, 1.3));
    for (int other = 1; other <= 3; ++other) {
        SCOPED_TRACE(other);
        double different = distance(original, *Extraction::featurePrintVector(scene(400, 267, other)));
        EXPECT_LT(distance(original, smaller), different / 2);
        EXPECT_LT(distance(original, brighter), different / 2);
    }
}

TEST(FeaturePrint, DecodingRefusesAnythingButAWholePrint) {
    std::string good = *Extraction::featurePrint(scene(64, 64, 0));
    std::string padded = good.substr(0, 4092) + "AA==";
    std::string badCharacter = good;
    badCharacter[100] = '-';
    for (const std::string& text : {std::string(), good.substr(0, 4095), good + "A", good + "\n", padded, badCharacter}) {
        EXPECT_FALSE(Extraction::decodeFeaturePrint(text)) << text.size();
    }
    EXPECT_TRUE(Extraction::decodeFeaturePrint(good));
}

TEST(FeaturePrint, KnownPictureGivesKnownBytes) {
    // Prints are stored and compared across runs, machines and versions: the
    // bytes of a fixed picture must not drift. A change of the descriptor
    // itself must change this digest on purpose.
    std::string text = *Extraction::featurePrint(scene(400, 267, 2));
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    ASSERT_EQ(EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr), 1);
    static const char* hex = "0123456789abcdef";
    std::string digestText;
    for (unsigned int i = 0; i < length; ++i) digestText += {hex[digest[i] >> 4], hex[digest[i] & 15]};
    EXPECT_EQ(digestText, "d8e43c55f8fea6f5641792016cc23590e3c199c330e2d05babe31c9bf5a3f256");
}
