// The beta library: C++.
#ifndef VKBETA_H
#define VKBETA_H
namespace vk {
class Beta {
public:
    explicit Beta(int base);
    int twice(int value) const;
private:
    int base_;
};
int beta_version();
}
#endif
