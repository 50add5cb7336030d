/* libgeom 1.0: small C geometry library (test data for varkit.reportscan). */
#ifndef GEOM_H
#define GEOM_H
#define GEOM_MAX_POINTS 10
#define GEOM_NAME "geom"
struct geom_point { int x; int y; };
struct geom_box { struct geom_point min; struct geom_point max; int flags; };
enum geom_kind { GEOM_POINT = 1, GEOM_BOX = 2, GEOM_POLY = 3 };
typedef int geom_coord;
struct geom_point *geom_point_new(int x, int y);
void geom_point_free(struct geom_point *p);
double geom_point_dist(const struct geom_point *a, const struct geom_point *b);
int geom_scale(struct geom_point *p, int factor);
int geom_box_area(const struct geom_box *box);
void geom_box_grow(struct geom_box *box, geom_coord by);
int geom_count(enum geom_kind kind);
extern int geom_version_major;
#endif
