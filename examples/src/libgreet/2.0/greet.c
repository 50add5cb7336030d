#include "greet.h"
#include <stdio.h>

int greet(const char *who, int times) {
    int n = 0;
    for (int i = 0; i < times; i++) n += printf("hello, %s\n", who);
    return n;
}
void greet_count(struct greeting *g) { g->count++; }
int greet_loudly(const char *who) { return printf("HELLO, %s!\n", who); }
