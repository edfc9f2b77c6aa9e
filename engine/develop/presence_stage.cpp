// Dehaze, texture and clarity as a develop stage. Dehaze estimates the air
// light (the brightest colour of a wide blur) and the regional haze (the
// blurred darkest channel); texture and clarity compare the picture with
// fine, mid and wide blurs of itself.

#include "engine/develop/presence.h"
#include "engine/develop/stage_kernels.h"

namespace Presence {

namespace {

Imaging::Image dehazed(const Imaging::Image& image, float amount) {
    const Imaging::Pixel peak = Imaging::areaMaximum(Develop::presenceBlur(image, airBlur), image.extent());
    const Develop::RGB air = Develop::rgbOf(peak);
    const Imaging::Image regional = Develop::presenceBlur(Imaging::minimumComponent(image), regionalBlur);
    return Imaging::combine(image, regional, [&air, amount](const Imaging::Pixel& s, const Imaging::Pixel& h) {
        return Develop::withAlpha(dehaze(Develop::rgbOf(s), h.r, air, amount), s.a);
    });
}

Imaging::Image detailed(const Imaging::Image& image, const Parameters& p) {
    const Imaging::Image fine = p.wantsTexture() ? Develop::presenceBlur(image, fineBlur) : image;
    const Imaging::Image mid = p.wantsTexture() ? Develop::presenceBlur(image, midBlur) : image;
    const Imaging::Image wide = p.wantsClarity() ? Develop::presenceBlur(image, wideBlur) : image;
    const Imaging::Rect& e = image.extent();
    return Imaging::generate(e, [&](int x, int y) {
        const int col = x - e.x, row = e.y + e.height - 1 - y;
        const Imaging::Pixel& s = image.at(col, row);
        const Develop::RGB out = detail(Develop::rgbOf(s), Develop::rgbOf(fine.at(col, row)),
                                        Develop::rgbOf(mid.at(col, row)), Develop::rgbOf(wide.at(col, row)), p.texture,
                                        p.clarity);
        return Develop::withAlpha(out, s.a);
    });
}

}  // namespace

std::optional<Imaging::Image> filter(const Develop::Look& look, const Imaging::Image& image) {
    const std::optional<Parameters> p = parameters(look);
    if (!p || image.empty()) return std::nullopt;
    Imaging::Image result = p->dehaze != 0 ? dehazed(image, p->dehaze) : image;
    if (p->wantsTexture() || p->wantsClarity()) result = detailed(result, *p);
    return result;
}

}  // namespace Presence
