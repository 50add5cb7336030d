#include "queue.hpp"
namespace vq {
Queue::Queue(std::size_t capacity) : items_(new Item[capacity]), capacity_(capacity), count_(0), dropped_(0) {}
Queue::~Queue() { delete[] items_; }
bool Queue::reserve(std::size_t capacity) { return capacity <= capacity_; }
bool Queue::push(const Item &item) { if (count_ == capacity_) { ++dropped_; return false; } items_[count_++] = item; return true; }
bool Queue::pop(Item *out) { if (!count_) return false; *out = items_[--count_]; return true; }
std::size_t Queue::size() const { return count_; }
void Queue::clear() { count_ = 0; }
long queue_total(const Queue &q, long scale) { return static_cast<long>(q.size()) * scale; }
}
