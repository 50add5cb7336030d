/* Built against libfmtx.so.1; version 2.0 renames the library to libfmtx.so.2. */
#include "fmtx.h"
#include <stdio.h>

int main(void) {
    char text[32];
    fmtx_hex(text, sizeof text, 48879u);
    return puts(text) < 0;
}
