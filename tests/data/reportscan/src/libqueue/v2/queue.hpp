// libqueue 2.0: a virtual method added, a method removed, a field added, a parameter type changed.
#pragma once
#include <cstddef>
#define QUEUE_DEFAULT_CAPACITY 64
namespace vq {
struct Item { long id; double weight; int priority; };
class Queue {
public:
    explicit Queue(std::size_t capacity);
    virtual ~Queue();
    virtual bool reserve(std::size_t capacity);
    virtual bool push(const Item &item);
    bool pop(Item *out);
    std::size_t size() const;
    void clear();
private:
    Item *items_;
    std::size_t capacity_;
    std::size_t count_;
    std::size_t dropped_;
};
long queue_total(const Queue &q, long scale);
}
