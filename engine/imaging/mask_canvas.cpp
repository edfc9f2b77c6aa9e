#include "engine/imaging/mask_canvas.h"

#include <cairo.h>

#include <cmath>

namespace Imaging {

MaskCanvas::MaskCanvas(const Rect& frame, bool white, YAxis axis) : frame_(frame), axis_(axis) {
    if (frame.width <= 0 || frame.height <= 0) return;
    surface_ = cairo_image_surface_create(CAIRO_FORMAT_A8, frame.width, frame.height);
    if (cairo_surface_status(surface_) != CAIRO_STATUS_SUCCESS) return;
    cr_ = cairo_create(surface_);
    if (cairo_status(cr_) != CAIRO_STATUS_SUCCESS) return;
    cairo_set_fill_rule(cr_, CAIRO_FILL_RULE_WINDING);
    cairo_set_line_join(cr_, CAIRO_LINE_JOIN_ROUND);
    cairo_set_line_cap(cr_, CAIRO_LINE_CAP_ROUND);
    if (white) {
        cairo_set_operator(cr_, CAIRO_OPERATOR_SOURCE);
        cairo_set_source_rgba(cr_, 0, 0, 0, 1);
        cairo_paint(cr_);
    }
    colour(true);
    ok_ = true;
}

MaskCanvas::~MaskCanvas() {
    if (cr_) cairo_destroy(cr_);
    if (surface_) cairo_surface_destroy(surface_);
}

void MaskCanvas::colour(bool white) {
    cairo_set_operator(cr_, white ? CAIRO_OPERATOR_OVER : CAIRO_OPERATOR_CLEAR);
    cairo_set_source_rgba(cr_, 0, 0, 0, 1);
}

void MaskCanvas::moveTo(double x, double y) { cairo_move_to(cr_, column(x), row(y)); }
void MaskCanvas::lineTo(double x, double y) { cairo_line_to(cr_, column(x), row(y)); }
void MaskCanvas::closePath() { cairo_close_path(cr_); }
void MaskCanvas::newPath() { cairo_new_path(cr_); }

void MaskCanvas::rectangle(double x, double y, double width, double height) {
    const double top = axis_ == YAxis::up ? row(y + height) : row(y);
    cairo_rectangle(cr_, column(x), top, width, height);
}

void MaskCanvas::circle(double x, double y, double radius) { ellipse(x, y, radius, radius); }

void MaskCanvas::ellipse(double x, double y, double radiusX, double radiusY) {
    if (radiusX <= 0 || radiusY <= 0) return;
    cairo_new_sub_path(cr_);
    cairo_save(cr_);
    cairo_translate(cr_, column(x), row(y));
    cairo_scale(cr_, radiusX, radiusY);
    cairo_arc(cr_, 0, 0, 1, 0, 2 * M_PI);
    cairo_restore(cr_);
}

void MaskCanvas::fill(bool keep) {
    if (keep) cairo_fill_preserve(cr_);
    else cairo_fill(cr_);
}

void MaskCanvas::stroke(double width, bool keep) {
    cairo_set_line_width(cr_, width);
    if (keep) cairo_stroke_preserve(cr_);
    else cairo_stroke(cr_);
}

void MaskCanvas::scale(double factor) {
    if (ok_ && factor > 0 && std::isfinite(factor)) cairo_scale(cr_, factor, factor);
}

void MaskCanvas::clip() { cairo_clip(cr_); }
void MaskCanvas::save() { cairo_save(cr_); }
void MaskCanvas::restore() { cairo_restore(cr_); }

cv::Mat MaskCanvas::bytes() {
    if (!ok_) return cv::Mat::zeros(std::max(frame_.height, 0), std::max(frame_.width, 0), CV_8U);
    cairo_surface_flush(surface_);
    const cv::Mat view(frame_.height, frame_.width, CV_8U, cairo_image_surface_get_data(surface_),
                       std::size_t(cairo_image_surface_get_stride(surface_)));
    return view.clone();
}

cv::Mat MaskCanvas::plane() {
    cv::Mat out;
    bytes().convertTo(out, CV_32F, 1.0 / 255.0);
    return out;
}

}  // namespace Imaging
