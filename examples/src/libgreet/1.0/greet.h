#ifndef GREET_H
#define GREET_H
#define GREET_MAX 10
struct greeting {
    int count;
};
int greet(const char *who);
int greet_twice(const char *who);
void greet_count(struct greeting *g);
#endif
