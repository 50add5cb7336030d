#include <stdlib.h>
#include <math.h>
#include "geom.h"
int geom_version_major = 1;
struct geom_point *geom_point_new(int x, int y) { struct geom_point *p = malloc(sizeof *p); if (p) { p->x = x; p->y = y; } return p; }
void geom_point_free(struct geom_point *p) { free(p); }
double geom_point_dist(const struct geom_point *a, const struct geom_point *b) { double dx = a->x - b->x, dy = a->y - b->y; return sqrt(dx * dx + dy * dy); }
int geom_scale(struct geom_point *p, int factor) { p->x *= factor; p->y *= factor; return 0; }
int geom_box_area(const struct geom_box *box) { return (box->max.x - box->min.x) * (box->max.y - box->min.y); }
void geom_box_grow(struct geom_box *box, geom_coord by) { box->min.x -= by; box->min.y -= by; box->max.x += by; box->max.y += by; }
int geom_count(enum geom_kind kind) { return (int)kind; }
