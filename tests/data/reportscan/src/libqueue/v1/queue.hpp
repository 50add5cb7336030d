// libqueue 1.0: small C++ library (test data for varkit.reportscan).
#pragma once
#include <cstddef>
#define QUEUE_DEFAULT_CAPACITY 16
namespace vq {
struct Item { int id; double weight; };
class Queue {
public:
    explicit Queue(std::size_t capacity);
    virtual ~Queue();
    virtual bool push(const Item &item);
    bool pop(Item *out);
    std::size_t size() const;
    void clear();
    int peek_id() const;
private:
    Item *items_;
    std::size_t capacity_;
    std::size_t count_;
};
int queue_total(const Queue &q, int scale);
}
