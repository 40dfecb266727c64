#pragma once
// The usage text of kov-orvane, printed on standard error before exit status 2.

namespace kov {

// Every "%s" of the text is `invocation`, the first element of argv.
void print_usage(const char* invocation);

} // namespace kov
