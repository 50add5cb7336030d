/* The alpha library: plain C, versioned symbols (VKALPHA_1). */
#ifndef VKALPHA_H
#define VKALPHA_H
#ifdef __cplusplus
extern "C" {
#endif
extern int vk_alpha_count;
#ifdef VKALPHA_V2
long vk_alpha_add(long a, long b, long c);
#else
int vk_alpha_add(int a, int b);
const char *vk_alpha_name(void);
#endif
#ifdef __cplusplus
}
#endif
#endif
