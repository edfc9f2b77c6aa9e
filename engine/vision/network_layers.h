#pragma once
// Layer loops shared by the networks that run on our own kernels (the
// landmark network, the SSD face detector): feature maps that keep the
// channels of one pixel together and the pixels row-major, so that a 1 x 1
// convolution is one matrix product, and TensorFlow's "same" padding.

#include <cstddef>
#include <memory>

namespace NetworkLayers {

// A feature map viewing floats of a workspace buffer.
struct Map {
    int height = 0;
    int width = 0;
    int channels = 0;
    float* data = nullptr;

    std::size_t size() const { return std::size_t(height) * width * channels; }
    const float* at(int y, int x) const { return data + (std::size_t(y) * width + x) * channels; }
    float* at(int y, int x) { return data + (std::size_t(y) * width + x) * channels; }
};

// Scratch floats that keep their storage from one pass to the next, so that a
// pass neither allocates nor clears memory once a thread has run one.
class Buffer {
public:
    Map map(int height, int width, int channels) {
        const std::size_t n = std::size_t(height) * width * channels;
        if (n > capacity_) {
            storage_.reset(new float[n]);
            capacity_ = n;
        }
        return {height, width, channels, storage_.get()};
    }

private:
    std::unique_ptr<float[]> storage_;
    std::size_t capacity_ = 0;
};

// "Same" padding as TensorFlow computes it: the output has ceil(size / stride)
// samples and an odd total padding puts the extra sample after the input.
inline int outputSize(int size, int stride) { return (size + stride - 1) / stride; }
inline int paddingBefore(int size, int stride, int kernel = 3) {
    const int total = (outputSize(size, stride) - 1) * stride + kernel - size;
    return total > 0 ? total / 2 : 0;
}

// out(p, o) = bias(o) + sum over i of in(p, i) * w(i, o), for `count` pixels
// (rows of `in` ci apart, of w and `out` co apart).
void pointwise(const float* in, int count, int ci, const float* w, int co, const float* bias, float* out);

// out(y, x, c) = sum over the 3 x 3 window of in * filters(ky, kx, c), "same"
// padding; out must be outputSize(in, stride) on each side with in's channels.
void depthwise(const Map& in, const float* filters, int stride, Map& out);

// The same over a 5 x 5 window: filters(ky, kx, c) with 25 taps per channel.
void depthwise5(const Map& in, const float* filters, int stride, Map& out);

// An ordinary 3 x 3 convolution with bias and "same" padding: filters
// [ky][kx][in][out] from in.channels to out.channels. Each output row's input
// patches are gathered side by side in `patches`, which makes the row one
// pointwise product.
void full(const Map& in, const float* filters, const float* bias, int stride, Map& out, Buffer& patches);

// v = clamp(v + bias(c), low, high) over the map, per channel c.
void biasAndClamp(Map& map, const float* bias, float low, float high);

// v = clamp(v, low, high) over the map.
void clamp(Map& map, float low, float high);

}  // namespace NetworkLayers
