#include <cstdio>

int main(int, char**)
{
    std::fputs("kov-orvane: not built yet\n", stderr);
    return 1;
}
