#include "fmtx.h"
#include <stdio.h>

size_t fmtx_int(char *out, size_t size, int value) { return (size_t)snprintf(out, size, "%d", value); }
size_t fmtx_hex(char *out, size_t size, unsigned value) { return (size_t)snprintf(out, size, "%x", value); }
