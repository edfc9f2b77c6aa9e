// Folder listings and surveys: which files count as photos and videos, and
// walks bounded in depth and size that skip hidden items and package folders.
#include <algorithm>
#include <array>
#include <string>
#include <string_view>
#include <system_error>

#include "engine/library/extraction.h"

namespace Extraction {

namespace fs = std::filesystem;

namespace {

constexpr std::array<std::string_view, 20> supportedExtensions{
    "cr2", "cr3", "crw", "nef", "nrw", "arw", "srf", "sr2", "raf", "orf",
    "rw2", "pef", "dng", "srw", "3fr", "fff", "iiq", "jpg", "jpeg", "heic"};

constexpr std::array<std::string_view, 13> videoExtensions{
    "mov", "mp4", "m4v", "avi", "mts", "m2ts", "avchd", "mxf", "braw", "r3d", "3gp", "mkv", "wmv"};

// Package folders of photo libraries, catalogues and applications: one item each, never entered.
constexpr std::array<std::string_view, 10> opaqueDirectoryExtensions{
    "photoslibrary", "aplibrary", "migratedaperturelibrary", "lrdata", "lrcat-data",
    "lrlibrary", "app", "bundle", "framework", "photolibrary"};

template <std::size_t N>
bool contains(const std::array<std::string_view, N>& set, std::string_view value) {
    return std::find(set.begin(), set.end(), value) != set.end();
}

// The lower-cased text after the last "." of a name; empty without a ".".
std::string extensionOf(std::string_view name) {
    auto dot = name.rfind('.');
    if (dot == std::string_view::npos) return {};
    std::string extension(name.substr(dot + 1));
    for (char& c : extension)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return extension;
}

struct Item {
    std::string name;
    fs::path path;
    std::string extension;
    bool directory = false;  // following symbolic links

    // A folder that is searched; package folders count as plain items.
    bool searched() const { return directory && !contains(opaqueDirectoryExtensions, extension); }
    bool photo() const { return contains(supportedExtensions, extension); }
    bool video() const { return contains(videoExtensions, extension); }
};

// The visible items of a folder, in the order the file system gives them.
// A folder that cannot be read (or stops being readable) yields what was read.
std::vector<Item> readFolder(const fs::path& folder) {
    std::vector<Item> items;
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.empty() || name[0] == '.') continue;
        std::error_code statError;
        bool directory = it->is_directory(statError);
        items.push_back({name, it->path(), extensionOf(name), directory && !statError});
    }
    return items;
}

// An absolute form of the path without "." components or a trailing "/".
// ".." stays: resolving it by text could leave a symbolic link the wrong way.
fs::path absoluteFolder(const fs::path& path) {
    std::error_code ec;
    fs::path absolute = fs::absolute(path, ec);
    if (ec) absolute = path;
    fs::path clean = absolute.root_path();
    for (const auto& part : absolute.relative_path())
        if (!part.empty() && part != ".") clean /= part;
    return clean;
}

void sortByRel(std::vector<Entry>& entries) {
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.rel < b.rel; });
}

void walk(const fs::path& folder, const std::string& prefix, int depth, std::vector<Entry>& into) {
    if (depth > maxDepth || into.size() >= maxEntries) return;
    std::vector<Item> subfolders;
    std::vector<Entry> here;
    for (auto& item : readFolder(folder)) {
        if (item.searched())
            subfolders.push_back(std::move(item));
        else if (item.photo())
            here.push_back({item.path, prefix + item.name});
    }
    sortByRel(here);
    into.insert(into.end(), std::make_move_iterator(here.begin()), std::make_move_iterator(here.end()));
    std::stable_sort(subfolders.begin(), subfolders.end(), [](const Item& a, const Item& b) { return a.name < b.name; });
    for (const auto& sub : subfolders) walk(sub.path, prefix + sub.name + "/", depth + 1, into);
}

struct Counts {
    long long photos = 0;
    long long videos = 0;
};

Counts count(const fs::path& folder, int depth, bool& truncated) {
    if (depth > maxDepth) {
        truncated = true;
        return {};
    }
    Counts counts;
    for (const auto& item : readFolder(folder)) {
        if (item.searched()) {
            Counts nested = count(item.path, depth + 1, truncated);
            counts.photos += nested.photos;
            counts.videos += nested.videos;
        } else if (item.photo()) {
            ++counts.photos;
        } else if (item.video()) {
            ++counts.videos;
        }
    }
    return counts;
}

}  // namespace

std::vector<Entry> listFolder(const fs::path& path, bool recursive) {
    std::error_code ec;
    auto status = fs::status(path, ec);
    if (ec || !fs::exists(status)) return {};
    fs::path root = absoluteFolder(path);
    if (!fs::is_directory(status)) return {Entry{root, root.filename().string()}};

    std::vector<Entry> entries;
    if (recursive) {
        walk(root, "", 0, entries);
        return entries;
    }
    for (auto& item : readFolder(root))
        if (!item.searched() && item.photo()) entries.push_back({item.path, item.name});
    sortByRel(entries);
    return entries;
}

Survey survey(const fs::path& path) {
    Survey result;
    std::error_code ec;
    if (!fs::is_directory(path, ec)) return result;
    for (const auto& item : readFolder(path)) {
        if (item.searched()) {
            Counts nested = count(item.path, 1, result.truncated);
            result.photosNested += nested.photos;
            result.videosNested += nested.videos;
            if (nested.photos > 0 || nested.videos > 0) result.folders.push_back({item.name, nested.photos, nested.videos});
        } else if (item.photo()) {
            ++result.photosHere;
        } else if (item.video()) {
            ++result.videosHere;
        }
    }
    std::stable_sort(result.folders.begin(), result.folders.end(),
                     [](const SurveyFolder& a, const SurveyFolder& b) { return a.name < b.name; });
    return result;
}

}  // namespace Extraction
