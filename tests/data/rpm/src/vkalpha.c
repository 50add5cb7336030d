#include "vkalpha.h"
int vk_alpha_count = 1;
#ifdef VKALPHA_V2
long vk_alpha_add(long a, long b, long c) { vk_alpha_count++; return a + b + c; }
#else
int vk_alpha_add(int a, int b) { vk_alpha_count++; return a + b; }
const char *vk_alpha_name(void) { return "alpha"; }
#endif
