#include "handoff/desktop_entry.h"

namespace DesktopEntry {

namespace {

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

// Resolves the escapes of a string value. Other backslashes are kept for the
// quoting rules of the Exec value.
std::string unescaped(std::string_view value) {
    std::string result;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            result += value[i];
            continue;
        }
        switch (char next = value[++i]) {
        case 's': result += ' '; break;
        case 'n': result += '\n'; break;
        case 't': result += '\t'; break;
        case 'r': result += '\r'; break;
        case '\\': result += '\\'; break;
        default: result += '\\'; result += next;
        }
    }
    return result;
}

enum class FileCode { none, single, list };

FileCode fileCode(char code) {
    switch (code) {
    case 'f': case 'u': return FileCode::single;
    case 'F': case 'U': return FileCode::list;
    default: return FileCode::none;
    }
}

// How the file codes of one argument are used: how many there are and
// whether a list code stands alone. Nothing when a list code is embedded.
std::optional<std::pair<FileCode, int>> fileCodes(const std::string& argument) {
    FileCode kind = FileCode::none;
    int count = 0;
    for (size_t i = 0; i + 1 < argument.size(); ++i) {
        if (argument[i] != '%') continue;
        FileCode code = fileCode(argument[++i]);
        if (code == FileCode::none) continue;
        if (code == FileCode::list && argument.size() != 2) return std::nullopt;
        kind = code;
        ++count;
    }
    return std::pair{kind, count};
}

// One argument with its field codes expanded: `file` for a single file code,
// all `files` for a list code. An argument that held only removed codes
// yields nothing.
void expand(const std::string& argument, const std::string* file, const std::vector<std::string>& files,
            std::vector<std::string>& out) {
    if (argument.size() == 2 && argument[0] == '%' && fileCode(argument[1]) == FileCode::list) {
        out.insert(out.end(), files.begin(), files.end());
        return;
    }
    std::string result;
    bool kept = argument.empty();
    for (size_t i = 0; i < argument.size(); ++i) {
        if (argument[i] != '%' || i + 1 == argument.size()) {
            result += argument[i];
            kept = true;
            continue;
        }
        char code = argument[++i];
        if (code == '%') {
            result += '%';
            kept = true;
        } else if (fileCode(code) == FileCode::single && file) {
            result += *file;
            kept = true;
        }
    }
    if (kept) out.push_back(std::move(result));
}

}  // namespace

std::optional<Entry> parse(std::string_view text) {
    std::optional<std::string> exec;
    std::string path;
    bool inGroup = false;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = trimmed(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty() || line.front() == '#') continue;
        if (line.front() == '[') {
            // Only the first group may be the entry itself; later groups are actions.
            if (inGroup) break;
            inGroup = line == "[Desktop Entry]";
            continue;
        }
        if (!inGroup) continue;
        size_t equals = line.find('=');
        if (equals == std::string_view::npos) continue;
        std::string_view key = trimmed(line.substr(0, equals));
        std::string_view value = trimmed(line.substr(equals + 1));
        if (key == "Exec" && !exec) exec = unescaped(value);
        if (key == "Path" && path.empty()) path = unescaped(value);
    }
    if (!exec) return std::nullopt;
    return Entry{*exec, path};
}

std::optional<std::vector<std::string>> splitExec(std::string_view exec) {
    std::vector<std::string> arguments;
    std::string current;
    bool started = false, quoted = false;
    for (size_t i = 0; i < exec.size(); ++i) {
        char c = exec[i];
        if (quoted) {
            if (c == '"') {
                quoted = false;
            } else if (c == '\\' && i + 1 < exec.size() &&
                       (exec[i + 1] == '"' || exec[i + 1] == '`' || exec[i + 1] == '$' || exec[i + 1] == '\\')) {
                current += exec[++i];
            } else {
                current += c;
            }
        } else if (c == ' ') {
            if (started) arguments.push_back(std::move(current));
            current.clear();
            started = false;
        } else if (c == '"') {
            quoted = started = true;
        } else {
            current += c;
            started = true;
        }
    }
    if (quoted) return std::nullopt;
    if (started) arguments.push_back(std::move(current));
    if (arguments.empty()) return std::nullopt;
    return arguments;
}

std::optional<std::vector<std::vector<std::string>>> commandLines(const std::vector<std::string>& arguments,
                                                                  const std::vector<std::string>& files) {
    // The program itself is named literally.
    if (arguments.empty() || arguments.front().empty()) return std::nullopt;
    for (size_t i = 0; i + 1 < arguments.front().size(); ++i) {
        if (arguments.front()[i] == '%' && arguments.front()[++i] != '%') return std::nullopt;
    }

    FileCode kind = FileCode::none;
    int count = 0;
    for (const auto& argument : arguments) {
        auto codes = fileCodes(argument);
        if (!codes) return std::nullopt;
        if (codes->second > 0) kind = codes->first;
        count += codes->second;
    }
    if (count > 1) return std::nullopt;

    auto build = [&](const std::string* file) {
        std::vector<std::string> line;
        for (const auto& argument : arguments) expand(argument, file, files, line);
        if (kind == FileCode::none) line.insert(line.end(), files.begin(), files.end());
        return line;
    };
    std::vector<std::vector<std::string>> lines;
    if (kind == FileCode::single && !files.empty()) {
        for (const auto& file : files) lines.push_back(build(&file));
    } else {
        lines.push_back(build(nullptr));
    }
    return lines;
}

}  // namespace DesktopEntry
