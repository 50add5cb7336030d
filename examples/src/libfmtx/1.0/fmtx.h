#ifndef FMTX_H
#define FMTX_H
#include <stddef.h>
size_t fmtx_int(char *out, size_t size, int value);
size_t fmtx_hex(char *out, size_t size, unsigned value);
#endif
