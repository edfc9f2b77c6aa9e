#include "engine/imaging/mask_canvas.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using Imaging::MaskCanvas;

namespace {
struct P {
    double x, y;
};
}  // namespace

TEST(MaskCanvas, CircleCoversItsAreaWithSoftEdges) {
    MaskCanvas canvas({0, 0, 100, 80}, false);
    ASSERT_TRUE(canvas.ok());
    canvas.circle(50, 40, 20);
    canvas.fill();
    const cv::Mat plane = canvas.plane();
    EXPECT_NEAR(cv::sum(plane)[0], M_PI * 20 * 20, 2.0);
    EXPECT_FLOAT_EQ(plane.at<float>(40, 50), 1.0f);
    EXPECT_FLOAT_EQ(plane.at<float>(5, 5), 0.0f);
    int partial = 0;
    for (int r = 0; r < plane.rows; ++r)
        for (int c = 0; c < plane.cols; ++c) partial += plane.at<float>(r, c) > 0 && plane.at<float>(r, c) < 1;
    EXPECT_GT(partial, 40);  // anti-aliased rim
}

TEST(MaskCanvas, PictureCoordinatesMapOntoRowsByAxis) {
    // A unit-high band at picture y 10…12 inside a frame starting at (5, 4).
    const Imaging::Rect frame{5, 4, 20, 30};
    for (const auto axis : {MaskCanvas::YAxis::up, MaskCanvas::YAxis::down}) {
        MaskCanvas canvas(frame, false, axis);
        canvas.rectangle(5, 10, 20, 2);
        canvas.fill();
        const cv::Mat bytes = canvas.bytes();
        const int top = axis == MaskCanvas::YAxis::up ? frame.maxY() - 12 : 10 - frame.y;
        for (int r = 0; r < bytes.rows; ++r)
            EXPECT_EQ(bytes.at<unsigned char>(r, 3), (r == top || r == top + 1) ? 255 : 0) << "row " << r;
    }
}

TEST(MaskCanvas, ClearingStrokesAndPolygonsCutIntoAWhiteCanvas) {
    MaskCanvas canvas({0, 0, 60, 60}, true, MaskCanvas::YAxis::down);
    canvas.colour(false);
    const std::vector<P> line{{10, 30}, {50, 30}};
    canvas.polygon(line, false);
    canvas.stroke(6);
    const cv::Mat bytes = canvas.bytes();
    EXPECT_EQ(bytes.at<unsigned char>(30, 30), 0);
    EXPECT_EQ(bytes.at<unsigned char>(30, 8), 0);  // round cap reaches 3 px past the end
    EXPECT_EQ(bytes.at<unsigned char>(30, 4), 255);
    EXPECT_EQ(bytes.at<unsigned char>(20, 30), 255);
}

TEST(MaskCanvas, EmptyFrameGivesNoSurface) {
    MaskCanvas canvas({0, 0, 0, 10}, true);
    EXPECT_FALSE(canvas.ok());
    EXPECT_TRUE(canvas.bytes().empty());
}
