#include <stdlib.h>
#include <math.h>
#include "geom.h"
long geom_version_major = 2;
struct geom_point *geom_point_new(int x, int y, int z) { struct geom_point *p = malloc(sizeof *p); if (p) { p->x = x; p->y = y; p->z = z; } return p; }
void geom_point_free(struct geom_point *p) { free(p); }
float geom_point_dist(const struct geom_point *a, const struct geom_point *b) { float dx = a->x - b->x, dy = a->y - b->y, dz = a->z - b->z; return sqrtf(dx * dx + dy * dy + dz * dz); }
int geom_box_area(const struct geom_box *box) { return (box->max.x - box->min.x) * (box->max.y - box->min.y); }
void geom_box_grow(struct geom_box *box, geom_coord by) { box->min.x -= by; box->min.y -= by; box->max.x += by; box->max.y += by; }
int geom_count(enum geom_kind kind) { return (int)kind; }
double geom_point_norm(const struct geom_point *p) { return sqrt((double)p->x * p->x + (double)p->y * p->y + (double)p->z * p->z); }
