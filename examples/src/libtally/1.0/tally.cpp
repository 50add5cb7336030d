#include "tally.h"

Tally::Tally() : total_(0) {}
Tally::~Tally() {}
void Tally::add(int value) { total_ += value; }
int Tally::total() const { return total_; }
