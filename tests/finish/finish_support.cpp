#include "finish_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <lcms2.h>
#include <turbojpeg.h>

#include <exiv2/exiv2.hpp>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "jpegprofile/jpegprofile.h"

extern char** environ;

namespace FinishTest {

Bytes makeJPEG(int width, int height, int seed, const PictureMetadata& metadata, const Bytes& icc) {
    std::vector<unsigned char> pixels(std::size_t(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c)
                pixels[(std::size_t(y) * width + x) * 3 + c] = (unsigned char)((x * 7 + y * 13 + c * 50 + seed * 37) & 255);
    tjhandle handle = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    if (tjCompress2(handle, pixels.data(), width, 0, height, TJPF_RGB, &out, &size, TJSAMP_420, 85, 0) != 0)
        throw std::runtime_error("cannot encode a test JPEG");
    Bytes jpeg(out, out + size);
    tjFree(out);
    tjDestroy(handle);

    const bool anyMetadata = metadata.orientation || !metadata.artist.empty() || !metadata.copyright.empty() ||
                             !metadata.caption.empty() || !metadata.keywords.empty();
    if (anyMetadata) {
        Exiv2::XmpParser::initialize();
        auto image = Exiv2::ImageFactory::open(jpeg.data(), long(jpeg.size()));
        Exiv2::ExifData exif;
        Exiv2::IptcData iptc;
        if (metadata.orientation) exif["Exif.Image.Orientation"] = std::uint16_t(metadata.orientation);
        if (!metadata.artist.empty()) exif["Exif.Image.Artist"] = metadata.artist;
        if (!metadata.copyright.empty()) exif["Exif.Image.Copyright"] = metadata.copyright;
        if (!metadata.caption.empty()) iptc["Iptc.Application2.Caption"] = metadata.caption;
        for (const auto& keyword : metadata.keywords) {
            Exiv2::Iptcdatum datum(Exiv2::IptcKey("Iptc.Application2.Keywords"));
            datum.setValue(keyword);
            iptc.add(datum);
        }
        image->setExifData(exif);
        image->setIptcData(iptc);
        image->writeMetadata();
        auto& io = image->io();
        io.open();
        jpeg.resize(std::size_t(io.size()));
        io.read(jpeg.data(), long(jpeg.size()));
        io.close();
    }
    if (!icc.empty()) jpeg = JPEGColourProfile::embed(icc, jpeg).value();
    return jpeg;
}

Bytes wideProfile(double gamma) {
    cmsCIExyY white{0.3127, 0.3290, 1.0};
    cmsCIExyYTRIPLE primaries{{0.68, 0.32, 1.0}, {0.265, 0.69, 1.0}, {0.15, 0.06, 1.0}};
    cmsToneCurve* curve = cmsBuildGamma(nullptr, gamma);
    cmsToneCurve* curves[3] = {curve, curve, curve};
    cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    Bytes bytes(size);
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsCloseProfile(profile);
    cmsFreeToneCurve(curve);
    return bytes;
}

Bytes greyProfile() {
    cmsToneCurve* curve = cmsBuildGamma(nullptr, 2.2);
    cmsHPROFILE profile = cmsCreateGrayProfile(cmsD50_xyY(), curve);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    Bytes bytes(size);
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsCloseProfile(profile);
    cmsFreeToneCurve(curve);
    return bytes;
}

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }
std::string textOf(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }
Bytes readBytes(const std::filesystem::path& path) { return bytesOf(TestSupport::readFile(path)); }
void writeBytes(const std::filesystem::path& path, const Bytes& bytes) { TestSupport::writeFile(path, textOf(bytes)); }

Bytes scanData(const Bytes& jpeg) {
    for (std::size_t at = 2; at + 4 <= jpeg.size();) {
        if (jpeg[at] != 0xFF) return {};
        if (jpeg[at + 1] == 0xDA) return Bytes(jpeg.begin() + std::ptrdiff_t(at), jpeg.end());
        at += 2 + ((std::size_t(jpeg[at + 2]) << 8) | jpeg[at + 3]);
    }
    return {};
}

static std::string uuidText() {
    uuid_t id;
    uuid_generate(id);
    char text[37];
    uuid_unparse_upper(id, text);
    return text;
}

std::string temporaryName() { return ".merrow-finish-" + uuidText() + ".jpg"; }
std::string workName() { return ".merrow-finish-work-" + uuidText(); }

json request(const std::string& command, const std::filesystem::path& folder, const std::string& name,
             const json& fields) {
    json r = fields;
    r["command"] = command;
    r["folder"] = folder.string();
    r["name"] = name;
    return r;
}

Reply runLacquer(const json& request, const std::vector<std::string>& moreLines) {
    std::string input = request.dump() + "\n";
    for (const auto& line : moreLines) input += line + "\n";
    const auto result = TestSupport::run(TestSupport::lacquer(), {}, input);
    Reply reply;
    reply.status = result.status;
    reply.out = result.out;
    for (const auto& line : TestSupport::lines(result.out)) reply.lines.push_back(json::parse(line));
    if (reply.lines.empty()) reply.lines.push_back(json());
    return reply;
}

json errorReply(const std::string& message) { return {{"error", message}, {"ok", false}}; }

Lacquer::Lacquer(const json& request) {
    int inPipe[2], outPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) || pipe2(outPipe, O_CLOEXEC)) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    const std::string program = TestSupport::lacquer().string();
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(inPipe[0]);
    close(outPipe[1]);
    in_ = inPipe[1];
    out_ = outPipe[0];
    if (rc != 0) throw std::runtime_error("cannot start lacquer");
    send(request.dump());
}

Lacquer::~Lacquer() {
    if (pid_ > 0) kill();
    if (in_ >= 0) close(in_);
    if (out_ >= 0) close(out_);
}

std::optional<json> Lacquer::reply() {
    for (;;) {
        const auto feed = pending_.find('\n');
        if (feed != std::string::npos) {
            const std::string line = pending_.substr(0, feed);
            pending_.erase(0, feed + 1);
            return json::parse(line);
        }
        pollfd p{out_, POLLIN, 0};
        const int ready = poll(&p, 1, 20000);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::nullopt;
        char buffer[4096];
        const ssize_t n = read(out_, buffer, sizeof buffer);
        if (n <= 0) return std::nullopt;
        pending_.append(buffer, std::size_t(n));
    }
}

void Lacquer::send(const std::string& line) {
    const std::string text = line + "\n";
    signal(SIGPIPE, SIG_IGN);
    if (in_ >= 0) (void)!write(in_, text.data(), text.size());
}

void Lacquer::closeInput() {
    if (in_ >= 0) close(in_);
    in_ = -1;
}

void Lacquer::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    wait();
}

int Lacquer::wait() {
    if (pid_ <= 0) return status_;
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_;
}

}  // namespace FinishTest
