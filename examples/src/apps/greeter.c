/* Uses a function that version 2.0 of libgreet removes and one whose parameters change. */
#include "greet.h"

int main(void) {
    struct greeting g = {0};
    greet_count(&g);
    return greet_twice("world") > 0 && greet("again") > 0 ? 0 : 1;
}
