#include "fmtx.h"
#include <stdio.h>

size_t fmtx_int(char *out, size_t size, long value) { return (size_t)snprintf(out, size, "%ld", value); }
