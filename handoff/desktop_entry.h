#pragma once
// Desktop entry files (".desktop"): the Exec key of the "[Desktop Entry]"
// group, its quoting rules and its field codes, as freedesktop.org defines them.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace DesktopEntry {

// The values of one desktop entry that starting it needs.
struct Entry {
    std::string exec;  // the Exec value, with the string escapes (\s \n \t \r \\) resolved
    std::string path;  // the Path value (working directory), or empty
};

// Reads the "[Desktop Entry]" group of a desktop file. Nothing when the group
// or its Exec key is missing.
std::optional<Entry> parse(std::string_view text);

// Splits an Exec value into its arguments: separated by spaces, quoted with
// double quotes, inside which \" \` \$ and \\ stand for the character itself.
// Nothing when a quote is left open or nothing is left to run.
std::optional<std::vector<std::string>> splitExec(std::string_view exec);

// The command lines that open `files` with the split Exec arguments. A lone
// %F or %U takes all the files, in order; %f or %u takes one file, so the
// program is started once per file; %% is a percent sign; every other field
// code is removed, and an argument made only of removed codes disappears.
// Without any file code the files are added at the end. Nothing when the
// program is not named literally, a list code is part of a longer argument or
// more than one file code is used.
std::optional<std::vector<std::vector<std::string>>> commandLines(const std::vector<std::string>& arguments,
                                                                  const std::vector<std::string>& files);

}  // namespace DesktopEntry
