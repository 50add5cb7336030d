#include "vkbeta.h"
namespace vk {
Beta::Beta(int base) : base_(base) {}
int Beta::twice(int value) const { return base_ + 2 * value; }
int beta_version() { return 2; }
}
