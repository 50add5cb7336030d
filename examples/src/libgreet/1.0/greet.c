#include "greet.h"
#include <stdio.h>

int greet(const char *who) { return printf("hello, %s\n", who); }
int greet_twice(const char *who) { return greet(who) + greet(who); }
void greet_count(struct greeting *g) { g->count++; }
