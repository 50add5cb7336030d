#ifndef GREET_H
#define GREET_H
#define GREET_MAX 20
struct greeting {
    long stamp;
    int count;
};
int greet(const char *who, int times);
void greet_count(struct greeting *g);
int greet_loudly(const char *who);
#endif
