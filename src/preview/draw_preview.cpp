#include "preview/draw_preview.h"

#include "beside.h"
#include "prefetch.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

namespace {

// A map's coordinates are 16-bit hundredths: a decoded float times 100 lies within a thousandth of
// its whole number, so adding a half and dropping the fraction gives it back. Shifted to be
// positive for every coordinate the format holds, that takes no branch, which random corners
// would mispredict half the time.
int32_t hundredths(float v)
{
    return int32_t(double(v) * 100.0 + 65536.5) - 65536;
}

constexpr int32_t least_hundredths = -32768;
constexpr size_t hundredths_count = 65536;

int64_t floor_div(int64_t a, int64_t b)
{
    int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Where the picture lies on the map: the corners' extent in x and z, in hundredths, and the scale.
// A point's place in the picture is kept in 1/256 of a pixel, so every product below fits 64 bits.
struct frame {
    int32_t min_x = INT32_MAX, min_z = INT32_MAX, max_x = INT32_MIN, max_z = INT32_MIN;
    int64_t extent = 0;  // the longer side, in hundredths
    int size = 0;        // pixels along it
    // Each coordinate's place, worked out once: a division per coordinate the format holds,
    // not per corner.
    std::vector<int32_t> place_x, place_z;
};

constexpr int64_t subpixels = 256;

void make_places(frame* f)
{
    f->place_x.resize(hundredths_count);
    f->place_z.resize(hundredths_count);
    for (size_t i = 0; i < hundredths_count; i++) {
        int64_t coordinate = int64_t(i) + least_hundredths;
        f->place_x[i] = int32_t((coordinate - f->min_x) * f->size * subpixels / f->extent);
        f->place_z[i] = int32_t((coordinate - f->min_z) * f->size * subpixels / f->extent);
    }
}

// Fetches what drawing triangle number (textured ones first) reads.
void prefetch_triangle(const map_mesh& mesh, uint32_t number)
{
    size_t textured = mesh.tex_positions.size();
    if (number >= textured) {
        prefetch(&mesh.untex_positions[number - textured]);
    } else {
        prefetch(&mesh.tex_positions[number]);
    }
}

// One triangle in picture space: corners in 1/256 pixel, heights in hundredths.
struct flat_triangle {
    int64_t x[3], z[3];
    int64_t height[3];
};

flat_triangle flatten(const tri_vectors& t, const frame& f)
{
    flat_triangle out;
    for (int c = 0; c < 3; c++) {
        out.x[c] = f.place_x[size_t(hundredths(t.corner[c][0]) - least_hundredths)];
        out.z[c] = f.place_z[size_t(hundredths(t.corner[c][2]) - least_hundredths)];
        out.height[c] = hundredths(t.corner[c][1]);
    }
    return out;
}

// Twice the signed area of a, b, p: which side of a-b the point p lies on.
int64_t edge(int64_t ax, int64_t az, int64_t bx, int64_t bz, int64_t px, int64_t pz)
{
    return (bx - ax) * (pz - az) - (bz - az) * (px - ax);
}

int64_t centre(int pixel)
{
    return int64_t(pixel) * subpixels + subpixels / 2;
}

// A value interpolated over a triangle, times its area, as a whole part rounded down and what is
// left over: it moves along a row by whole steps and carries the rest, with no division.
struct floored {
    int64_t whole, rest;  // rest in [0, area)
};

floored floored_of(int64_t sum, int64_t area)
{
    int64_t whole = floor_div(sum, area);
    return {whole, sum - whole * area};
}

void step(floored* value, const floored& by, int64_t area)
{
    value->rest += by.rest;
    int64_t carry = value->rest >= area;
    value->rest -= carry * area;
    value->whole += by.whole + carry;
}

// A triangle set up for drawing: its corner weights at a pixel centre are affine in the pixel, so
// they are kept as a value at pixel (0, 0) and a step per column and per row.
struct setup {
    int64_t area = 0;  // twice the area, positive
    int64_t w0[3], step_x[3], step_z[3];
    int64_t height[3];
    int64_t highest;                       // of the corners: no point inside is higher
    int64_t sum0, sum_step_x, sum_step_z;  // the weights times the heights: the plane, times area
    floored height_step_x, height_step_z;  // the plane's steps along a row and a column
};

bool set_up(const flat_triangle& t, setup* s)
{
    int64_t area = edge(t.x[0], t.z[0], t.x[1], t.z[1], t.x[2], t.z[2]);
    if (area == 0)
        return false;
    int64_t sign = area > 0 ? 1 : -1;
    s->area = area * sign;
    for (int c = 0; c < 3; c++) {
        int a = (c + 1) % 3, b = (c + 2) % 3;
        s->w0[c] = sign * edge(t.x[a], t.z[a], t.x[b], t.z[b], centre(0), centre(0));
        s->step_x[c] = -sign * (t.z[b] - t.z[a]) * subpixels;
        s->step_z[c] = sign * (t.x[b] - t.x[a]) * subpixels;
        s->height[c] = t.height[c];
    }
    s->highest = std::max({t.height[0], t.height[1], t.height[2]});
    s->sum0 = s->sum_step_x = s->sum_step_z = 0;
    for (int c = 0; c < 3; c++) {
        s->sum0 += s->w0[c] * s->height[c];
        s->sum_step_x += s->step_x[c] * s->height[c];
        s->sum_step_z += s->step_z[c] * s->height[c];
    }
    s->height_step_x = floored_of(s->sum_step_x, s->area);
    s->height_step_z = floored_of(s->sum_step_z, s->area);
    return true;
}

int64_t weight(const setup& s, int c, int column, int row)
{
    return s.w0[c] + s.step_x[c] * column + s.step_z[c] * row;
}

// The triangle's plane at a pixel centre times its area: the pixel's height is this over the area,
// rounded down, so it is below a height h exactly where this is below h times the area.
int64_t plane_sum(const setup& s, int column, int row)
{
    return s.sum0 + s.sum_step_x * column + s.sum_step_z * row;
}

constexpr uint32_t no_triangle = UINT32_MAX;
constexpr int tile_shift = 2;  // tiles of 4 x 4 pixels
constexpr int tile_size = 1 << tile_shift;
constexpr int32_t uncovered = INT32_MIN;  // a pixel still empty: anything shows there
constexpr int32_t no_pixel = INT32_MAX;   // a tile without pixels of a part: nothing shows there

// The picture's outermost pixels, its rim, are the ones fewest triangles reach: they stay empty,
// or the lowest, longest. A tile keeps their least height apart from its inner pixels', so that
// they do not let every triangle into every tile along the rim; a triangle is drawn on the rim
// and inside it as two separate parts. The rim is a 64th of the picture's longer side: on a
// map of triangles laid anywhere, that far in the pixels stay low.
int rim_width(int width, int height)
{
    return std::max(2, std::max(width, height) / 64);
}
enum part { inner = 0, rim = 1 };

// A box of pixels, bounds included; empty where first > last.
struct box {
    int first_x, last_x, first_z, last_z;
};

bool empty(const box& b)
{
    return b.first_x > b.last_x || b.first_z > b.last_z;
}

bool same_box(const box& a, const box& b)
{
    return a.first_x == b.first_x && a.last_x == b.last_x && a.first_z == b.first_z && a.last_z == b.last_z;
}

box overlap(const box& a, const box& b)
{
    return {std::max(a.first_x, b.first_x), std::min(a.last_x, b.last_x), std::max(a.first_z, b.first_z),
            std::min(a.last_z, b.last_z)};
}

// A tile's least height drawn, per part, in 16 bits as a map's heights are, so that a large
// picture's tiles take half the cache. The least value stands for uncovered (no triangle is under
// the least height anyway) and the greatest for a part without pixels, where nothing is drawn.
struct tile_least {
    int16_t part[2] = {INT16_MAX, INT16_MAX};
};

int32_t least_in(const tile_least& tile, part where)
{
    int16_t v = tile.part[where];
    return v == INT16_MIN ? uncovered : v == INT16_MAX ? no_pixel : v;
}

// A height drawn as a tile's least. The greatest height is kept one lower, as if a little lower
// were drawn, which skips less: the greatest value means a part without pixels, under which even
// a tie is skipped, and a tie at the greatest height goes to the earlier triangle.
int16_t stored_least(int32_t height)
{
    return int16_t(std::min<int32_t>(INT16_MAX - 1, std::max<int32_t>(INT16_MIN, height)));
}

// What has been drawn: per pixel the height and the triangle shown, and over it a pyramid of
// tiles, each holding the least height drawn in it, per part (uncovered where a pixel is still
// empty). A triangle is drawn from the top tile down and skips every tile it is outside of or
// below, so a triangle under what is already drawn costs a few tiles, not its pixels.
struct canvas {
    int width = 0, height = 0;
    box inside;         // the pixels within the picture's rim
    box rim_strips[4];  // the rim: its top and bottom rows, then its left and right columns between them
    struct drawn_pixel {
        int32_t depth;   // uncovered where no triangle is shown yet
        uint32_t shown;  // no_triangle there
    };
    std::vector<drawn_pixel> pixel;  // a pixel's height and triangle, in one cache line
    struct level {
        int columns, rows;
        std::vector<tile_least> least;
    };
    std::vector<level> levels;  // levels[0]: 4 x 4 pixels; the last: one tile over the picture
    preview_cost* cost = nullptr;
};

box inner_box(const canvas& c)
{
    return c.inside;
}

bool on_rim(const canvas& c, int column, int row)
{
    return column < c.inside.first_x || row < c.inside.first_z || column > c.inside.last_x || row > c.inside.last_z;
}

// A canvas for the rows from top of a picture of width x picture_height pixels: the rim is the
// picture's, wherever the rows lie in it (a picture less than two rims high is all top rows).
void place_rim(canvas* c, int picture_height, int top)
{
    int w = c->width, h = picture_height, r = rim_width(w, h);
    c->inside = {r, w - 1 - r, r - top, h - 1 - r - top};
    const box strips[4] = {{0, w - 1, 0, r - 1},
                           {0, w - 1, std::max(h - r, r), h - 1},
                           {0, r - 1, r, h - 1 - r},
                           {std::max(w - r, r), w - 1, r, h - 1 - r}};
    for (int i = 0; i < 4; i++)
        c->rim_strips[i] = {strips[i].first_x, strips[i].last_x, strips[i].first_z - top, strips[i].last_z - top};
}

// Sets up the pyramid of tiles over the canvas's pixels, in the memory it had where it has some.
void make_levels(canvas* c)
{
    int columns = (c->width + tile_size - 1) >> tile_shift, rows = (c->height + tile_size - 1) >> tile_shift;
    box picture = {0, c->width - 1, 0, c->height - 1}, inside = inner_box(*c);
    size_t count = 0;
    for (int shift = tile_shift;; shift++) {
        if (count == c->levels.size())
            c->levels.emplace_back();
        canvas::level& level = c->levels[count++];
        level.columns = columns;
        level.rows = rows;
        level.least.assign(size_t(columns) * size_t(rows), tile_least());
        for (int z = 0; z < rows; z++)
            for (int x = 0; x < columns; x++) {
                box tile = overlap(picture, {x << shift, ((x + 1) << shift) - 1, z << shift, ((z + 1) << shift) - 1});
                box tile_inside = overlap(tile, inside);
                size_t at = size_t(z) * size_t(columns) + size_t(x);
                if (!empty(tile_inside))
                    level.least[at].part[inner] = INT16_MIN;
                if (!same_box(tile_inside, tile))
                    level.least[at].part[rim] = INT16_MIN;
            }
        if (columns == 1 && rows == 1)
            break;
        columns = (columns + 1) / 2;
        rows = (rows + 1) / 2;
    }
    c->levels.resize(count);
}

tile_least least_of_tile(const canvas& c, int tile_x, int tile_z)
{
    int32_t least[2] = {no_pixel, no_pixel};
    int x0 = tile_x << tile_shift, z0 = tile_z << tile_shift;
    int x1 = std::min(x0 + tile_size, c.width), z1 = std::min(z0 + tile_size, c.height);
    // Most tiles lie wholly inside the rim.
    bool inside = !on_rim(c, x0, z0) && !on_rim(c, x1 - 1, z1 - 1);
    for (int row = z0; row < z1; row++)
        for (int column = x0; column < x1; column++) {
            size_t at = size_t(row) * size_t(c.width) + size_t(column);
            int32_t& slot = least[inside || !on_rim(c, column, row) ? inner : rim];
            const canvas::drawn_pixel& pixel = c.pixel[at];
            slot = std::min(slot, pixel.depth);
        }
    tile_least tile;
    tile.part[inner] = stored_least(least[inner]);
    tile.part[rim] = stored_least(least[rim]);
    return tile;
}

// After a tile's pixels changed: its least heights, as given, and its parents', again.
void update_least(canvas* c, int tile_x, int tile_z, tile_least least)
{
    for (size_t l = 0;; l++) {
        canvas::level& level = c->levels[l];
        size_t at = size_t(tile_z) * size_t(level.columns) + size_t(tile_x);
        tile_least& slot = level.least[at];
        bool same = slot.part[inner] == least.part[inner] && slot.part[rim] == least.part[rim];
        slot = least;
        if (same || l + 1 == c->levels.size())
            return;
        tile_x >>= 1;
        tile_z >>= 1;
        const canvas::level& below = level;
        least = tile_least();
        for (int dz = 0; dz < 2; dz++)
            for (int dx = 0; dx < 2; dx++) {
                int x = tile_x * 2 + dx, z = tile_z * 2 + dz;
                if (x < below.columns && z < below.rows) {
                    const tile_least& child = below.least[size_t(z) * size_t(below.columns) + size_t(x)];
                    least.part[inner] = std::min(least.part[inner], child.part[inner]);
                    least.part[rim] = std::min(least.part[rim], child.part[rim]);
                }
            }
    }
}

struct drawing {
    canvas* c;
    const setup& s;
    uint32_t number;  // the triangle's (the textured first): the lower wins a tie
    part where;       // the part of the picture drawn
    box bounds;       // the pixels that part and the triangle's extent share
};

// Draws the triangle's pixels in one 4 x 4 tile. Where the whole tile lies inside the triangle
// and the part drawn (inside, as most of a large triangle's tiles do), its pixels are not tested
// against the edges and its rows and columns are as many as a tile's.
template <bool inside>
void draw_tile(drawing& d, int tile_x, int tile_z)
{
    canvas& c = *d.c;
    const setup& s = d.s;
    int x0 = std::max(tile_x << tile_shift, d.bounds.first_x),
        x1 = std::min((tile_x << tile_shift) + tile_size - 1, d.bounds.last_x);
    int z0 = std::max(tile_z << tile_shift, d.bounds.first_z),
        z1 = std::min((tile_z << tile_shift) + tile_size - 1, d.bounds.last_z);
    int columns = inside ? tile_size : x1 - x0 + 1, rows = inside ? tile_size : z1 - z0 + 1;
    // Where the triangle's part takes in the whole tile, the tile's least is found on the way.
    bool whole = inside || (columns == tile_size && rows == tile_size);
    int32_t least = no_pixel;
    bool changed = false;
    // The pixel's height steps along the row with the plane, its whole hundredths apart from
    // what is left over: no division a pixel.
    floored row_height = floored_of(plane_sum(s, x0, z0), s.area);
    for (int row = 0; row < rows; row++, step(&row_height, s.height_step_z, s.area)) {
        int64_t w[3] = {weight(s, 0, x0, z0 + row), weight(s, 1, x0, z0 + row), weight(s, 2, x0, z0 + row)};
        floored height = row_height;
        canvas::drawn_pixel* line = &c.pixel[size_t(z0 + row) * size_t(c.width) + size_t(x0)];
        for (int column = 0; column < columns; column++, w[0] += s.step_x[0], w[1] += s.step_x[1], w[2] += s.step_x[2],
                 step(&height, s.height_step_x, s.area)) {
            canvas::drawn_pixel& pixel = line[column];
            // Not where a higher surface, or an equal one that comes first, is shown (an
            // uncovered pixel is below every height).
            if ((inside || (w[0] | w[1] | w[2]) >= 0) &&
                (height.whole > pixel.depth || (height.whole == pixel.depth && pixel.shown > d.number))) {
                pixel.depth = int32_t(height.whole);
                pixel.shown = d.number;
                changed = true;
            }
            if (whole)
                least = std::min(least, pixel.depth);
        }
    }
    if (c.cost)
        c.cost->pixel_visits += uint64_t(columns * rows);
    if (!changed)
        return;
    tile_least tile;
    if (whole)
        tile.part[d.where] = stored_least(least);
    else
        tile = least_of_tile(c, tile_x, tile_z);
    update_least(&c, tile_x, tile_z, tile);
}

// Whether the triangle is under every height drawn in the box (least): its plane is, over the
// box's pixel centres, greatest at the corner its steps point to, and inside the triangle never
// above its highest corner, however far beyond it the plane climbs.
bool under(const setup& s, const box& b, int32_t least)
{
    if (least == uncovered)
        return false;
    return s.highest < least || plane_sum(s, s.sum_step_x >= 0 ? b.last_x : b.first_x,
                                          s.sum_step_z >= 0 ? b.last_z : b.first_z) < least * s.area;
}

// Visits the tile of the given level and, where the triangle may show in it, the tiles under it.
void draw_in(drawing& d, size_t level, int tile_x, int tile_z)
{
    canvas& c = *d.c;
    const setup& s = d.s;
    int shift = tile_shift + int(level);
    box b =
        overlap(d.bounds, {tile_x << shift, ((tile_x + 1) << shift) - 1, tile_z << shift, ((tile_z + 1) << shift) - 1});
    if (empty(b))
        return;
    if (c.cost)
        c.cost->tile_visits++;
    if (under(s, b,
              least_in(c.levels[level].least[size_t(tile_z) * size_t(c.levels[level].columns) + size_t(tile_x)],
                       d.where)))
        return;
    // Each weight is affine in the pixel too: outside one edge at its greatest corner is outside
    // the whole box.
    for (int e = 0; e < 3; e++)
        if (weight(s, e, s.step_x[e] >= 0 ? b.last_x : b.first_x, s.step_z[e] >= 0 ? b.last_z : b.first_z) < 0)
            return;
    if (level == 0) {
        // The whole tile, inside every edge at its least corner: inside the triangle.
        bool inside = b.last_x - b.first_x == tile_size - 1 && b.last_z - b.first_z == tile_size - 1;
        for (int e = 0; e < 3; e++)
            inside = inside && weight(s, e, s.step_x[e] >= 0 ? b.first_x : b.last_x,
                                      s.step_z[e] >= 0 ? b.first_z : b.last_z) >= 0;
        if (inside)
            draw_tile<true>(d, tile_x, tile_z);
        else
            draw_tile<false>(d, tile_x, tile_z);
        return;
    }
    if (level == 1) {
        // On a large picture the pixels are misses: the rows of the four tiles below are asked
        // for together, so that their misses overlap rather than come one after another.
        for (int row = b.first_z; row <= b.last_z; row++) {
            size_t at = size_t(row) * size_t(c.width) + size_t(b.first_x);
            prefetch(&c.pixel[at]);
            prefetch(&c.pixel[at + size_t(b.last_x - b.first_x)]);
        }
    }
    for (int dz = 0; dz < 2; dz++)
        for (int dx = 0; dx < 2; dx++) {
            int x = tile_x * 2 + dx, z = tile_z * 2 + dz;
            if (x < c.levels[level - 1].columns && z < c.levels[level - 1].rows)
                draw_in(d, level - 1, x, z);
        }
}

// The lowest level whose tiles cover the box in at most two each way.
size_t level_over(const canvas& c, const box& b)
{
    size_t level = 0;
    while (level + 1 < c.levels.size() &&
           ((b.last_x >> (tile_shift + level)) - (b.first_x >> (tile_shift + level)) > 1 ||
            (b.last_z >> (tile_shift + level)) - (b.first_z >> (tile_shift + level)) > 1))
        level++;
    return level;
}

void draw_part(drawing& d)
{
    size_t level = level_over(*d.c, d.bounds);
    int shift = tile_shift + int(level);
    for (int z = d.bounds.first_z >> shift; z <= d.bounds.last_z >> shift; z++)
        for (int x = d.bounds.first_x >> shift; x <= d.bounds.last_x >> shift; x++)
            draw_in(d, level, x, z);
}

// The pixels of the box where the triangle's plane is at or above the given height: the extent
// of the triangle cut along that height, a pixel wider each way than its corners' place says.
box at_or_above(const flat_triangle& t, int64_t height, const box& b)
{
    double lo_x = HUGE_VAL, hi_x = -HUGE_VAL, lo_z = HUGE_VAL, hi_z = -HUGE_VAL;
    auto take = [&](double x, double z) {
        lo_x = std::min(lo_x, x);
        hi_x = std::max(hi_x, x);
        lo_z = std::min(lo_z, z);
        hi_z = std::max(hi_z, z);
    };
    for (int c = 0; c < 3; c++) {
        int n = (c + 1) % 3;
        if (t.height[c] >= height)
            take(double(t.x[c]), double(t.z[c]));
        if ((t.height[c] >= height) != (t.height[n] >= height)) {
            double along = double(height - t.height[c]) / double(t.height[n] - t.height[c]);
            take(double(t.x[c]) + along * double(t.x[n] - t.x[c]), double(t.z[c]) + along * double(t.z[n] - t.z[c]));
        }
    }
    if (lo_x > hi_x)
        return {1, 0, 1, 0};
    return overlap(b, {int(std::floor(lo_x / subpixels)) - 1, int(std::floor(hi_x / subpixels)) + 1,
                       int(std::floor(lo_z / subpixels)) - 1, int(std::floor(hi_z / subpixels)) + 1});
}

// Narrows a part of the triangle to where it rises to the least height drawn over it, a few
// times, each with the tiles over what is left: most of a triangle of a busy map lies under what
// is drawn, and this skips it without visiting its tiles one by one. False where nothing is left.
bool narrow(const canvas& c, const setup& s, const flat_triangle& t, part where, box* b)
{
    for (int round = 0; round < 4; round++) {
        size_t level = level_over(c, *b);
        int shift = tile_shift + int(level);
        const canvas::level& tiles = c.levels[level];
        int32_t least = no_pixel;
        for (int z = b->first_z >> shift; z <= b->last_z >> shift; z++)
            for (int x = b->first_x >> shift; x <= b->last_x >> shift; x++) {
                least = std::min(least, least_in(tiles.least[size_t(z) * size_t(tiles.columns) + size_t(x)], where));
                if (c.cost)
                    c.cost->tile_visits++;
            }
        if (least == uncovered)
            return true;
        if (least == no_pixel || s.highest < least)
            return false;
        box cut = at_or_above(t, least, *b);
        if (empty(cut))
            return false;
        bool same = same_box(cut, *b);
        *b = cut;
        if (same)
            return true;
    }
    return true;
}

// The pixels the triangle's corners' extent touches, a pixel wider each way.
box extent_of(const flat_triangle& t, const canvas& c)
{
    int64_t lo_x = std::min({t.x[0], t.x[1], t.x[2]}), hi_x = std::max({t.x[0], t.x[1], t.x[2]});
    int64_t lo_z = std::min({t.z[0], t.z[1], t.z[2]}), hi_z = std::max({t.z[0], t.z[1], t.z[2]});
    return {int(std::max<int64_t>(0, lo_x / subpixels - 1)), int(std::min<int64_t>(c.width - 1, hi_x / subpixels + 1)),
            int(std::max<int64_t>(0, lo_z / subpixels - 1)),
            int(std::min<int64_t>(c.height - 1, hi_z / subpixels + 1))};
}

void fill(canvas* c, const flat_triangle& t, uint32_t number)
{
    // Where the triangle is under every height drawn in a part of the picture (uncovered is below
    // every height, a part without pixels above), it is not drawn there: most triangles of a busy
    // map, once its top is drawn, are under the whole inner part and never reach the rim.
    const tile_least& picture = c->levels.back().least[0];
    if (c->cost)
        c->cost->tile_visits++;
    int64_t highest = std::max({t.height[0], t.height[1], t.height[2]});
    box extent = extent_of(t, *c), inside = overlap(extent, inner_box(*c));
    bool reaches_rim = !same_box(inside, extent);
    bool over_rim = reaches_rim && highest >= least_in(picture, rim), over_inner = highest >= least_in(picture, inner);
    setup s;
    if ((!over_rim && !over_inner) || !set_up(t, &s))
        return;
    drawing d = {c, s, number, rim, extent};
    // The rim's strips, each cut to the triangle's extent (which lies in the canvas).
    for (const box& strip : c->rim_strips) {
        d.bounds = overlap(extent, strip);
        if (over_rim && !empty(d.bounds) && narrow(*c, s, t, rim, &d.bounds))
            draw_part(d);
    }
    d.where = inner;
    d.bounds = inside;
    if (over_inner && !empty(d.bounds) && narrow(*c, s, t, inner, &d.bounds))
        draw_part(d);
}

// The corners' extent in x and z.
frame frame_of(const map_mesh& mesh, int size)
{
    frame f;
    f.size = size;
    for (const std::vector<tri_vectors>* list : {&mesh.tex_positions, &mesh.untex_positions})
        for (const tri_vectors& t : *list)
            for (int c = 0; c < 3; c++) {
                int32_t x = hundredths(t.corner[c][0]), z = hundredths(t.corner[c][2]);
                f.min_x = std::min(f.min_x, x);
                f.max_x = std::max(f.max_x, x);
                f.min_z = std::min(f.min_z, z);
                f.max_z = std::max(f.max_z, z);
            }
    f.extent = f.min_x > f.max_x ? 0 : std::max(int64_t(f.max_x) - f.min_x, int64_t(f.max_z) - f.min_z);
    return f;
}

// The generally highest first, so that what lies under is mostly skipped a tile at a time.
// Which triangle a pixel shows does not depend on this order: the highest there, the first of
// equals. Sorted by counting, on the sum of the corners' heights.
std::vector<uint32_t> drawing_order(const map_mesh& mesh)
{
    size_t textured = mesh.tex_positions.size();
    size_t triangle_count = textured + mesh.untex_positions.size();
    constexpr int32_t sums = 3 * int32_t(hundredths_count);
    std::vector<uint32_t> key(triangle_count);
    std::vector<uint32_t> starts(size_t(sums) + 1, 0);
    for (size_t i = 0; i < triangle_count; i++) {
        const tri_vectors& t = i < textured ? mesh.tex_positions[i] : mesh.untex_positions[i - textured];
        int32_t sum = hundredths(t.corner[0][1]) + hundredths(t.corner[1][1]) + hundredths(t.corner[2][1]);
        key[i] = uint32_t(sums - 1 - (sum - 3 * least_hundredths));  // the highest first
        starts[key[i] + 1]++;
    }
    for (size_t k = 1; k < starts.size(); k++)
        starts[k] += starts[k - 1];
    std::vector<uint32_t> order(triangle_count);
    for (size_t i = 0; i < triangle_count; i++)
        order[starts[key[i]]++] = uint32_t(i);
    return order;
}

// The weights times one texture coordinate of the corners (0 for u, 1 for v).
int64_t texel_sum(const int64_t weights[3], const tri_uvs& uv, int axis)
{
    return weights[0] * uv.corner[0][axis] + weights[1] * uv.corner[1][axis] + weights[2] * uv.corner[2][axis];
}

// What colouring a textured triangle's pixels takes: made for the first run of pixels it shows
// and kept, in a table by its number, for the next (a band's rows show a few thousand triangles,
// each on runs of a few dozen pixels in many rows).
struct colour_setup {
    uint32_t number = no_triangle;
    setup s;
    const tri_uvs* uv = nullptr;
    const palette_colour* palette = nullptr;
    floored step_u = {0, 0}, step_v = {0, 0};  // the texel's along a row
};

constexpr size_t colour_setups_kept = 1024;

const colour_setup& colour_setup_of(const map_mesh& mesh, const frame& f, uint32_t number,
                                    std::vector<colour_setup>* kept)
{
    colour_setup& k = (*kept)[number % kept->size()];
    if (k.number != number) {
        set_up(flatten(mesh.tex_positions[number], f), &k.s);
        k.uv = &mesh.tex_uvs[number];
        k.palette = &mesh.palettes.colours[sheet_palette(mesh.tex_faces[number]) * colours_per_palette];
        k.step_u = floored_of(texel_sum(k.s.step_x, *k.uv, 0), k.s.area);
        k.step_v = floored_of(texel_sum(k.s.step_x, *k.uv, 1), k.s.area);
        k.number = number;
    }
    return k;
}

// Colours each pixel from the triangle it shows, once the drawing knows which: the nearest texel
// of the textured ones (the one whose cell holds the interpolated (u, v)) through the triangle's
// own palette; the untextured in their grey. A triangle shows on a run of pixels along a row: its
// texel is found at the run's start and steps along it. The canvas holds the picture's rows from
// top, and pixels are theirs.
void colour_pixels(const map_mesh& mesh, const uint8_t* sheet, const frame& f, const canvas& c, int top,
                   uint8_t* pixels)
{
    size_t textured = mesh.tex_positions.size();
    std::vector<colour_setup> kept(colour_setups_kept);
    const colour_setup* ready = nullptr;
    for (int row = 0; row < c.height; row++) {
        uint32_t running = no_triangle;  // the triangle of the pixel to the left, if it is textured
        floored u = {0, 0}, v = {0, 0};
        for (int column = 0; column < c.width; column++) {
            size_t at = size_t(row) * size_t(c.width) + size_t(column);
            uint32_t number = c.pixel[at].shown;
            if (number == no_triangle || number >= textured) {
                running = no_triangle;
                if (number != no_triangle) {
                    memcpy(&pixels[at * 4], preview_untextured, 3);
                    pixels[at * 4 + 3] = 255;
                }
                continue;
            }
            if (number == running) {
                step(&u, ready->step_u, ready->s.area);
                step(&v, ready->step_v, ready->s.area);
            } else {
                ready = &colour_setup_of(mesh, f, number, &kept);
                const setup& s = ready->s;
                int at_row = top + row;
                int64_t w[3] = {weight(s, 0, column, at_row), weight(s, 1, column, at_row),
                                weight(s, 2, column, at_row)};
                u = floored_of(texel_sum(w, *ready->uv, 0), s.area);
                v = floored_of(texel_sum(w, *ready->uv, 1), s.area);
                running = number;
            }
            int64_t texel_u = std::min<int64_t>(255, u.whole), texel_v = std::min<int64_t>(1023, v.whole);
            uint8_t pair = sheet[texel_v * 128 + texel_u / 2];
            const palette_colour& colour = ready->palette[(texel_u & 1) ? pair & 15 : pair >> 4];
            uint8_t* rgba = &pixels[at * 4];
            rgba[0] = uint8_t(colour.red);
            rgba[1] = uint8_t(colour.green);
            rgba[2] = uint8_t(colour.blue);
            rgba[3] = 255;
        }
    }
}

// A triangle of the drawing order in picture space, once for every band: its corners (their
// places fit 32 bits, their heights 16), in order of z, and whether it reaches the picture's rim,
// so that a band of rows passes over the triangles outside it, or under all it has drawn, at the
// cost of reading 32 bytes in turn, not a triangle from anywhere in the mesh. Which triangle
// shows where does not depend on the order of its corners.
struct triangle_reach {
    int32_t x[3], z[3];
    int16_t height[3];
    bool reaches_rim;
};
static_assert(sizeof(triangle_reach) == 32, "a triangle's reach is 32 bytes");

int32_t highest_of(const triangle_reach& r)
{
    return std::max({r.height[0], r.height[1], r.height[2]});
}

// Whether the triangle's rows (a pixel wider each way than its corners' place says) miss the
// rows from top, count of them.
bool outside_rows(const triangle_reach& r, int top, int count)
{
    int32_t first = r.z[0] / int32_t(subpixels) - 1, last = r.z[2] / int32_t(subpixels) + 1;
    return last < top || first >= top + count;
}

// The heights where the triangle's cut along z (within its corners' rows, which it spans) meets its
// long side (corners 0 and 2) and a short one.
void cut_at(const triangle_reach& r, double z, double* on_long, double* on_short)
{
    double z0 = r.z[0], z1 = r.z[1], z2 = r.z[2], h0 = r.height[0], h1 = r.height[1], h2 = r.height[2];
    *on_long = h0 + (z - z0) / (z2 - z0) * (h2 - h0);
    if (z < z1)
        *on_short = h0 + (z - z0) / (z1 - z0) * (h1 - h0);
    else
        *on_short = z2 > z1 ? h1 + (z - z1) / (z2 - z1) * (h2 - h1) : h1;
}

// The mean height of the corners of the triangle (r.z[0] < r.z[2]) cut to the pixel centres of
// the rows from top, count of them: roughly how high it lies there.
double middle_in_rows(const triangle_reach& r, int top, int count)
{
    double first = std::min(std::max(double(centre(top)), double(r.z[0])), double(r.z[2]));
    double last = std::min(std::max(double(centre(top + count - 1)), double(r.z[0])), double(r.z[2]));
    double cut[4];
    cut_at(r, first, &cut[0], &cut[1]);
    cut_at(r, last, &cut[2], &cut[3]);
    double sum = cut[0] + cut[1] + cut[2] + cut[3];
    if (r.z[1] > first && r.z[1] < last)
        return (sum + r.height[1]) / 5;
    return sum / 4;
}

flat_triangle flat_of(const triangle_reach& r)
{
    flat_triangle t;
    for (int c = 0; c < 3; c++)
        t.x[c] = r.x[c], t.z[c] = r.z[c], t.height[c] = r.height[c];
    return t;
}

// What every band of a picture draws from.
struct picture_plan {
    const map_mesh* mesh;
    const uint8_t* sheet;
    frame f;
    preview_image* image;
    std::vector<uint32_t> order;
    std::vector<triangle_reach> reach;  // of each triangle in order, where the picture is drawn in bands
};

const tri_vectors& triangle_number(const map_mesh& mesh, uint32_t number)
{
    size_t textured = mesh.tex_positions.size();
    return number >= textured ? mesh.untex_positions[number - textured] : mesh.tex_positions[number];
}

void reach_of_triangles(picture_plan* plan)
{
    const map_mesh& mesh = *plan->mesh;
    canvas picture;
    picture.width = plan->image->width;
    picture.height = plan->image->height;
    place_rim(&picture, picture.height, 0);
    plan->reach.resize(plan->order.size());
    for (size_t k = 0; k < plan->order.size(); k++) {
        if (k + 8 < plan->order.size())
            prefetch_triangle(mesh, plan->order[k + 8]);
        flat_triangle t = flatten(triangle_number(mesh, plan->order[k]), plan->f);
        box extent = extent_of(t, picture);
        triangle_reach& reach = plan->reach[k];
        int by_z[3] = {0, 1, 2};
        std::sort(by_z, by_z + 3, [&](int a, int b) { return t.z[a] < t.z[b]; });
        for (int c = 0; c < 3; c++) {
            reach.x[c] = int32_t(t.x[by_z[c]]);
            reach.z[c] = int32_t(t.z[by_z[c]]);
            reach.height[c] = int16_t(t.height[by_z[c]]);
        }
        reach.reaches_rim = !same_box(extent, overlap(extent, inner_box(picture)));
    }
}

// The picture drawn a band of rows at a time, each band on a canvas of its own: what shows at a
// pixel does not depend on what is drawn beside it, so bands may be drawn in any order and at
// once. A band's canvas stays in the cache where the whole picture's would not, and a worker
// draws its bands on one canvas, so a large picture's heights take the memory of a band or two.
// Each worker's record starts a cache line of its own, and its counts another: where one worker
// wrote its counts into the line another reads its canvas from, the two processors passed the
// line back and forth at every tile and the drawing took half as long again.
struct alignas(64) band_worker {
    canvas c;
    std::vector<std::pair<double, uint32_t>> head;  // the band's first triangles: how low, and where in order
    alignas(64) preview_cost cost;
};

struct banded_drawing {
    const picture_plan* plan;
    int band_rows;
    std::vector<band_worker>* workers;
    bool counted;  // the cost is asked for
};

// The triangles that draw most of a band's pixels come first in the picture's order, but a
// triangle across the map rises and falls over it: the first band_head of those whose rows reach
// the band are drawn in the order of their part in the band's rows, the highest there first, and
// fewer of the pixels they draw are drawn over again (on the largest random map at 4096 pixels,
// 15 % fewer pixel visits). Returns where in the drawing order the rest starts.
constexpr size_t band_head = 2048;

size_t order_band_head(const picture_plan& plan, int top, int rows, std::vector<std::pair<double, uint32_t>>* head)
{
    head->clear();
    size_t k = 0;
    for (; k < plan.reach.size() && head->size() < band_head; k++) {
        const triangle_reach& r = plan.reach[k];
        // A triangle without extent along z has no area, and is not drawn.
        if (!outside_rows(r, top, rows) && r.z[0] < r.z[2])
            head->push_back({-middle_in_rows(r, top, rows), uint32_t(k)});
    }
    std::sort(head->begin(), head->end());
    return k;
}

void draw_band(const picture_plan& plan, int top, band_worker* w)
{
    const map_mesh& mesh = *plan.mesh;
    canvas* c = &w->c;
    place_rim(c, plan.image->height, top);
    c->pixel.assign(size_t(c->width) * size_t(c->height), {uncovered, no_triangle});
    make_levels(c);
    if (plan.reach.empty()) {
        // The whole picture in one band: the triangles come in height order, from all over the
        // mesh, and what comes a few ahead is fetched while this one is drawn.
        for (size_t k = 0; k < plan.order.size(); k++) {
            if (k + 8 < plan.order.size())
                prefetch_triangle(mesh, plan.order[k + 8]);
            fill(c, flatten(triangle_number(mesh, plan.order[k]), plan.f), plan.order[k]);
        }
    } else {
        const tile_least& picture = c->levels.back().least[0];
        auto draw = [&](size_t k) {
            const triangle_reach& reach = plan.reach[k];
            int32_t highest = highest_of(reach);
            if (outside_rows(reach, top, c->height) ||
                (highest < least_in(picture, inner) && (!reach.reaches_rim || highest < least_in(picture, rim))))
                return;
            flat_triangle t = flat_of(reach);
            for (int64_t& z : t.z)
                z -= int64_t(top) * subpixels;
            fill(c, t, plan.order[k]);
        };
        size_t rest = order_band_head(plan, top, c->height, &w->head);
        for (const std::pair<double, uint32_t>& first : w->head)
            draw(first.second);
        for (size_t k = rest; k < plan.order.size(); k++)
            draw(k);
    }
    colour_pixels(mesh, plan.sheet, plan.f, *c, top, plan.image->pixels.data() + size_t(top) * size_t(c->width) * 4);
}

void draw_band_of(void* argument, size_t band, int worker)
{
    const banded_drawing* d = static_cast<const banded_drawing*>(argument);
    const picture_plan& plan = *d->plan;
    band_worker& w = (*d->workers)[size_t(worker)];
    int top = int(band) * d->band_rows;
    w.c.width = plan.image->width;
    w.c.height = std::min(d->band_rows, plan.image->height - top);
    w.c.cost = d->counted ? &w.cost : nullptr;
    draw_band(plan, top, &w);
}

// A band's rows: the whole picture where it has up to band_pixels pixels, else about as many.
int band_rows_of(const preview_image& image, size_t band_pixels)
{
    size_t pixels = size_t(image.width) * size_t(image.height);
    if (pixels <= band_pixels)
        return image.height;
    return int(std::max<size_t>(1, band_pixels / size_t(image.width)));
}

}  // namespace

void draw_preview(const map_mesh* mesh, const uint8_t* sheet, int size, preview_image* image, preview_cost* cost,
                  int threads, size_t band_pixels)
{
    picture_plan plan = {mesh, sheet, frame_of(*mesh, size), image, {}, {}};
    frame& f = plan.f;
    if (f.extent == 0) {
        image->width = image->height = 1;
        image->pixels.assign(4, 0);
        return;
    }
    // As many pixels as the map's side covers, a part of one counting as one.
    auto pixels_along = [&](int64_t side) {
        return int(std::max<int64_t>(1, (side * size + f.extent - 1) / f.extent));
    };
    image->width = pixels_along(int64_t(f.max_x) - f.min_x);
    image->height = pixels_along(int64_t(f.max_z) - f.min_z);
    size_t pixel_count = size_t(image->width) * size_t(image->height);
    image->pixels.assign(pixel_count * 4, 0);
    make_places(&f);
    plan.order = drawing_order(*mesh);
    int band_rows = band_rows_of(*image, band_pixels);
    int bands = (image->height + band_rows - 1) / band_rows;
    if (bands > 1)
        reach_of_triangles(&plan);
    std::vector<band_worker> workers(size_t(std::max(1, std::min(threads, bands))));
    banded_drawing drawing = {&plan, band_rows, &workers, cost != nullptr};
    share_work(draw_band_of, &drawing, size_t(bands), threads);
    if (cost) {
        for (const band_worker& worker : workers) {
            cost->pixel_visits += worker.cost.pixel_visits;
            cost->tile_visits += worker.cost.tile_visits;
        }
    }
}
