#ifndef FMTX_H
#define FMTX_H
#include <stddef.h>
size_t fmtx_int(char *out, size_t size, long value);
#endif
