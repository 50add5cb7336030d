#include "queue.hpp"
namespace vq {
Queue::Queue(std::size_t capacity) : items_(new Item[capacity]), capacity_(capacity), count_(0) {}
Queue::~Queue() { delete[] items_; }
bool Queue::push(const Item &item) { if (count_ == capacity_) return false; items_[count_++] = item; return true; }
bool Queue::pop(Item *out) { if (!count_) return false; *out = items_[--count_]; return true; }
std::size_t Queue::size() const { return count_; }
void Queue::clear() { count_ = 0; }
int Queue::peek_id() const { return count_ ? items_[count_ - 1].id : -1; }
int queue_total(const Queue &q, int scale) { return static_cast<int>(q.size()) * scale; }
}
