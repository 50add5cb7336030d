// Uses only what version 2.0 of libtally keeps as it was.
#include "tally.h"
#include <cstdio>

int main() {
    Tally tally;
    for (int i = 1; i <= 4; ++i) tally.add(i);
    std::printf("%d\n", tally.total());
    return tally.total() == 10 ? 0 : 1;
}
