#ifndef TALLY_H
#define TALLY_H
class Tally {
public:
    Tally();
    virtual ~Tally();
    void add(int value);
    int total() const;
    void reset();

private:
    int total_;
};
#endif
