#pragma once
// Recognising the editor's numbered key lines ("IoFsMount_3 = /x",
// "Site.1.FS.2.Root = /x") by hand. A regular expression recurses once per
// character of a repeated part and overflows the stack on a line of a few
// thousand digits or blanks; these walk the line once, whatever its length.

#include <optional>
#include <string>
#include <string_view>

namespace kov {

struct KeyLine {
    std::string number; // the digits after the prefix
    std::string field;  // the word after "<number>." (field keys only)
    std::string value;  // after "=", trimmed
};

// "<prefix><digits><blanks>=<value>".
std::optional<KeyLine> match_numbered_key(std::string_view line, std::string_view prefix);
// "<prefix><digits>.<word><blanks>=<value>", the word of letters, digits and "_".
std::optional<KeyLine> match_numbered_field(std::string_view line, std::string_view prefix);
// Whether the line starts with "<prefix><digits>.".
bool starts_numbered_field(std::string_view line, std::string_view prefix);

} // namespace kov
