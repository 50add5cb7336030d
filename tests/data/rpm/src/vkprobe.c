/* Needs only the alpha library, found through its DT_RPATH. */
#include <stdio.h>
#include "vkalpha.h"
int main(void) { printf("%d\n", vk_alpha_add(1, 1)); return 0; }
