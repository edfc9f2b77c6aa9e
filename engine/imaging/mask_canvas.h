#pragma once
// Drawing masks: an 8-bit coverage canvas (cairo A8 surface, coverage-based
// anti-aliasing) over a rectangle of a picture, read back as a single-channel
// plane. Shapes are given in picture coordinates; the canvas maps them onto
// its own rows, with y running up (the picture convention of face boxes and
// landmarks) or down (stored rows, as painted strokes are given).

#include <opencv2/core.hpp>

#include "engine/imaging/image.h"

struct _cairo;
struct _cairo_surface;

namespace Imaging {

class MaskCanvas {
public:
    enum class YAxis { up, down };

    // A canvas covering `frame` of the picture, all clear (0) or, with
    // `white`, all covered (255).
    MaskCanvas(const Rect& frame, bool white, YAxis axis = YAxis::up);
    ~MaskCanvas();
    MaskCanvas(const MaskCanvas&) = delete;
    MaskCanvas& operator=(const MaskCanvas&) = delete;

    // False when cairo could not make the surface (out of memory, too large).
    bool ok() const { return ok_; }

    // What the following fills and strokes do: add coverage (white) or clear it.
    void colour(bool white);

    // Paths in picture coordinates, added to the current path.
    template <class Points>
    void polygon(const Points& points, bool closed = true) {
        newPath();
        bool first = true;
        for (const auto& p : points) {
            if (first) moveTo(p.x, p.y);
            else lineTo(p.x, p.y);
            first = false;
        }
        if (closed && !first) closePath();
    }
    void moveTo(double x, double y);
    void lineTo(double x, double y);
    void closePath();
    void newPath();
    void rectangle(double x, double y, double width, double height);
    void circle(double x, double y, double radius);
    void ellipse(double x, double y, double radiusX, double radiusY);

    // Fill the current path (non-zero winding); `keep` leaves it for a stroke.
    void fill(bool keep = false);
    // Stroke the current path with round caps and joins.
    void stroke(double width, bool keep = false);
    // Later coordinates and widths are multiplied by `factor` about the
    // frame's corner: a canvas of round(factor·w) × round(factor·h) pixels
    // draws a w × h part of the picture at that scale.
    void scale(double factor);
    // Limit later drawing to the current path; `restore` lifts the limit.
    void clip();
    void save();
    void restore();

    // The coverage, one byte per pixel (copy).
    cv::Mat bytes();
    // The coverage as 0…1 floats.
    cv::Mat plane();

private:
    double column(double x) const { return x - frame_.x; }
    double row(double y) const { return axis_ == YAxis::up ? frame_.maxY() - y : y - frame_.y; }

    Rect frame_;
    YAxis axis_;
    _cairo_surface* surface_ = nullptr;
    _cairo* cr_ = nullptr;
    bool ok_ = false;
};

}  // namespace Imaging
