#include "resolve/key_line.hpp"

#include "common/trim.hpp"

namespace kov {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_word(char c) { return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r' || c == '\n'; }

// Takes the longest run of `accept` characters off the front of `rest`.
template <class Accept>
std::string_view take(std::string_view& rest, Accept accept)
{
    std::size_t n = 0;
    while (n < rest.size() && accept(rest[n]))
        ++n;
    const std::string_view run = rest.substr(0, n);
    rest.remove_prefix(n);
    return run;
}

// "<blanks>=<value>": the trimmed value, or nothing.
std::optional<std::string> assigned_value(std::string_view rest)
{
    take(rest, is_blank);
    if (rest.empty() || rest.front() != '=')
        return std::nullopt;
    rest.remove_prefix(1);
    return trim(rest);
}

// "<prefix><digits>", then ".<word>" when `with_field`, then "<blanks>=<value>".
std::optional<KeyLine> match_key(std::string_view line, std::string_view prefix, bool with_field)
{
    if (line.substr(0, prefix.size()) != prefix)
        return std::nullopt;
    std::string_view rest = line.substr(prefix.size());
    KeyLine key;
    key.number = take(rest, is_digit);
    if (key.number.empty())
        return std::nullopt;
    if (with_field) {
        if (rest.empty() || rest.front() != '.')
            return std::nullopt;
        rest.remove_prefix(1);
        key.field = take(rest, is_word);
        if (key.field.empty())
            return std::nullopt;
    }
    auto value = assigned_value(rest);
    if (!value)
        return std::nullopt;
    key.value = std::move(*value);
    return key;
}

} // namespace

std::optional<KeyLine> match_numbered_key(std::string_view line, std::string_view prefix)
{
    return match_key(line, prefix, false);
}

std::optional<KeyLine> match_numbered_field(std::string_view line, std::string_view prefix)
{
    return match_key(line, prefix, true);
}

bool starts_numbered_field(std::string_view line, std::string_view prefix)
{
    if (line.substr(0, prefix.size()) != prefix)
        return false;
    std::string_view rest = line.substr(prefix.size());
    return !take(rest, is_digit).empty() && !rest.empty() && rest.front() == '.';
}

} // namespace kov
