// Uses both libraries; reads vk_alpha_count directly (a copy relocation in a
// non-PIE program).
#include <cstdio>
#include "vkalpha.h"
#include "vkbeta.h"
int main() {
    vk::Beta beta(1);
    int sum = vk_alpha_add(2, 3);
    std::printf("%s %d %d %d\n", vk_alpha_name(), sum, vk_alpha_count, beta.twice(sum));
    return sum == 5 && vk_alpha_count == 2 ? 0 : 1;
}
