// Renders photos with looks, one job per input line, for the visual look report:
//
//   label <TAB> look JSON <TAB> photo <TAB> output JPEG   (on standard input)
//
// Each job is rendered at the long edge given as the first argument (default
// 480) through the engine's renderer; a picture file the renderer cannot open
// (a build without the photo library) is read with OpenCV and developed
// directly. Every job is answered on standard output with "ok <label>" or
// "error <label>: <message>".

#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

#include <fstream>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "engine/develop/apply.h"
#include "engine/develop/render.h"

namespace {

// Develops an 8-bit picture file read by OpenCV, scaled to `longEdge`.
bool developDirectly(const std::string& photo, const Develop::Look& look, const std::string& output, int longEdge) {
    cv::Mat bgr = cv::imread(photo, cv::IMREAD_COLOR);
    if (bgr.empty()) return false;
    const double scale = std::min(1.0, double(longEdge) / std::max(bgr.cols, bgr.rows));
    if (scale < 1) cv::resize(bgr, bgr, cv::Size(), scale, scale, cv::INTER_AREA);
    cv::Mat rgba, pixels;
    cv::cvtColor(bgr, rgba, cv::COLOR_BGR2RGBA);
    rgba.convertTo(pixels, CV_32FC4, 1.0 / 255);
    const Imaging::Image linear = Imaging::sRGBToLinear(Imaging::Image(pixels));
    Develop::ApplyOptions options;
    options.detailScale = scale;
    const auto jpeg = Develop::encodeJPEG(Develop::apply(look, linear, options), 0.85);
    if (!jpeg) return false;
    std::ofstream(output, std::ios::binary).write(reinterpret_cast<const char*>(jpeg->data()), std::streamsize(jpeg->size()));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int longEdge = argc > 1 ? std::atoi(argv[1]) : 480;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream fields(line);
        std::string label, json, photo, output;
        if (!std::getline(fields, label, '\t') || !std::getline(fields, json, '\t') || !std::getline(fields, photo, '\t') ||
            !std::getline(fields, output, '\t'))
            continue;
        try {
            const auto look = Develop::decodeLook(nlohmann::json::parse(json));
            if (!look) throw std::runtime_error("not a look");
            const auto rendered = Develop::renderToJPEG(Develop::RenderRequest{.source = photo,
                                                                               .look = *look,
                                                                               .dest = output,
                                                                               .longEdge = longEdge,
                                                                               .quality = 0.85,
                                                                               .interactive = true});
            if (!rendered && !developDirectly(photo, *look, output, longEdge)) throw std::runtime_error("cannot render");
            std::cout << "ok " << label << std::endl;
        } catch (const std::exception& e) {
            std::cout << "error " << label << ": " << e.what() << std::endl;
        }
    }
}
