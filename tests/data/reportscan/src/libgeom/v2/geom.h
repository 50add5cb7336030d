/* libgeom 2.0: struct layout changed, a function removed, parameter types changed. */
#ifndef GEOM_H
#define GEOM_H
#define GEOM_MAX_POINTS 20
#define GEOM_NAME "geometry"
struct geom_point { int x; int y; int z; };
struct geom_box { struct geom_point min; struct geom_point max; long flags; };
enum geom_kind { GEOM_POINT = 1, GEOM_POLY = 2, GEOM_BOX = 3, GEOM_CIRCLE = 4 };
typedef long geom_coord;
struct geom_point *geom_point_new(int x, int y, int z);
void geom_point_free(struct geom_point *p);
float geom_point_dist(const struct geom_point *a, const struct geom_point *b);
int geom_box_area(const struct geom_box *box);
void geom_box_grow(struct geom_box *box, geom_coord by);
int geom_count(enum geom_kind kind);
double geom_point_norm(const struct geom_point *p);
extern long geom_version_major;
#endif
