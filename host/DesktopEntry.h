#pragma once

// Desktop entry files as desktops read them: the escapes of string values, the
// quoting of the Exec key, and the keys of the [Desktop Entry] group. The login
// item and the application-menu entry both point at the bundle through Exec, so
// a bundle path with spaces, quotes, `$`, `%` or backslashes must survive both
// layers of escaping. Pure functions.

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qx::host::desktop {

// `argument` as one word of an Exec value, exactly as written in the file:
// double-quoted when it holds a reserved character (with `"`, `` ` ``, `$` and
// `\` escaped inside the quotes), `%` doubled, then the string escapes applied,
// so a literal backslash is four in the file. Absent for text an entry cannot
// hold: invalid UTF-8, or a control character other than tab, line feed and
// carriage return.
std::optional<std::string> execWord(std::string_view argument);

// The words of `argv`, each by execWord, separated by one space; absent when
// `argv` is empty or a word cannot be written.
std::optional<std::string> execValue(const std::vector<std::string>& argv);

// An Exec value as written in the file, read back as a desktop launches it with
// nothing to open: string escapes undone, then the quoting; `%%` is a percent
// sign and an unquoted field code standing alone as a word (%f, %U, %i, ...)
// expands to nothing. Absent when malformed (an unknown escape, an unclosed
// quote, a reserved character outside quotes, a stray `%`) or empty.
std::optional<std::vector<std::string>> parseExec(std::string_view value);

// String escapes of a value: `\` as `\\`, tab, line feed and carriage return as
// `\t`, `\n`, `\r`, a leading space as `\s`.
std::string escapeString(std::string_view text);
// The reverse; absent for an escape that is not one of `\s \n \t \r \\` or a
// backslash at the end.
std::optional<std::string> unescapeString(std::string_view value);

// The keys of the [Desktop Entry] group and their values as written (still
// escaped). Absent when `text` is not a desktop entry file: not UTF-8, a line
// that is neither blank, a comment, a group header nor `key=value`, a key
// before the first group, a first group other than [Desktop Entry], or a key
// that appears twice in one group.
std::optional<std::map<std::string, std::string>> parseEntry(std::string_view text);

// The Exec words that start the bundle `bundle` (its QuorvexHost) with
// `arguments`: /bin/sh running bundleLaunchScript with the bundle's path, so a
// bundle that a crash during an update left moved aside is put back first.
// The path is an argument to /bin/sh, so GLib, which checks that an Exec
// program exists before it expands `%%`, accepts any path.
std::vector<std::string> launchCommand(const std::filesystem::path& bundle,
                                       const std::vector<std::string>& arguments = {});

// The program `argv` starts: the bundle's QuorvexHost for a launchCommand, the
// path in the older `/bin/sh -c 'exec "$0"' PATH` form, else its first word.
std::string launchedProgram(const std::vector<std::string>& argv);

// `text` with the value of the [Desktop Entry] group's Exec key replaced by
// `exec` (as written in the file), every other line as it was; absent when
// the group has no Exec key.
std::optional<std::string> withExec(std::string_view text, std::string_view exec);

// True when `text` is a desktop entry whose Exec starts `executable` (the same
// path, or another path naming the same file).
bool execStarts(std::string_view text, const std::filesystem::path& executable);

}  // namespace qx::host::desktop
