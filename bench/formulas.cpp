// Cost of the per-pixel develop formulas on one core, over a 512×512 block of
// varied colours (items = pixels). The stages run them on every pixel through
// the shared parallel loop, so these figures bound a stage's arithmetic.

#include <vector>

#include <benchmark/benchmark.h>

#include "engine/develop/colormix.h"
#include "engine/develop/curves.h"
#include "engine/develop/grain.h"
#include "engine/develop/monochrome.h"
#include "engine/develop/presence.h"
#include "engine/develop/tonesliders.h"

namespace {

constexpr int side = 512;

const std::vector<Colour::RGB>& pixels() {
    static const std::vector<Colour::RGB> block = [] {
        std::vector<Colour::RGB> out;
        out.reserve(side * side);
        for (int y = 0; y < side; ++y)
            for (int x = 0; x < side; ++x)
                out.push_back({x / float(side), y / float(side), ((x * 7 + y * 13) % side) / float(side)});
        return out;
    }();
    return block;
}

template <class Formula>
void run(benchmark::State& state, Formula&& formula) {
    const auto& in = pixels();
    std::vector<Colour::RGB> out(in.size());
    for (auto _ : state) {
        for (std::size_t i = 0; i < in.size(); ++i) out[i] = formula(in[i], i);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(in.size()));
}

void curves(benchmark::State& state) {
    Develop::Look look;
    look.contrast = 40;
    look.shadows = 30;
    const auto tables = *Curves::channelTables(*ToneSliders::curves(look));
    run(state, [&](const Colour::RGB& p, std::size_t) { return Curves::apply(tables, p); });
}
BENCHMARK(curves);

void colorMix(benchmark::State& state) {
    ColorMix::Bands bands;
    bands.red = ColorMix::Band{-40, 60, 10};
    bands.blue = ColorMix::Band{30, 80, -20};
    const auto parameters = *ColorMix::parameters(bands);
    run(state, [&](const Colour::RGB& p, std::size_t) { return ColorMix::mix(p, parameters); });
}
BENCHMARK(colorMix);

void chroma(benchmark::State& state) {
    const auto row = ChromaSliders::row(ChromaSliders::vibrance, 60);
    run(state, [&](const Colour::RGB& p, std::size_t) { return ChromaSliders::apply(p, row); });
}
BENCHMARK(chroma);

void monochrome(benchmark::State& state) {
    Monochrome::Mix mix;
    mix.blue = -60;
    mix.orange = 40;
    const auto values = Monochrome::values(mix);
    run(state, [&](const Colour::RGB& p, std::size_t) { return Monochrome::gray(p, values); });
}
BENCHMARK(monochrome);

void grain(benchmark::State& state) {
    const Grain::Parameters parameters{2, 0.14f, 0.5f};
    run(state, [&](const Colour::RGB& p, std::size_t i) {
        return Grain::apply(p, float(i % side) + 0.5f, float(i / side) + 0.5f, parameters);
    });
}
BENCHMARK(grain);

void presenceDetail(benchmark::State& state) {
    run(state, [&](const Colour::RGB& p, std::size_t) { return Presence::detail(p, p, p, p, 1.6f, 1.2f); });
}
BENCHMARK(presenceDetail);

}  // namespace

BENCHMARK_MAIN();
