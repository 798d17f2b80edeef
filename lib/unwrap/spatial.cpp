#include "unwrap/spatial.h"

#include <math.h>
#include <stdint.h>
#include <string.h>

#include <memory>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif

namespace phaze_internal {

static const double TWO_PI = 6.283185307179586, PI = 3.141592653589793;

// A phase value within [0, 2 pi): the input need not be wrapped, and whole
// turns counted from it stay small.
static inline double within_turn(double angle) { return angle - TWO_PI * floor(angle / TWO_PI); }

// The difference of two values within a turn, wrapped into [-pi, pi).
static inline double wrapped_difference(double a, double b) {
    const double d = a - b;
    return d >= PI ? d - TWO_PI : d < -PI ? d + TWO_PI : d;
}

// How rough the phase is around each pixel (the inverse of its reliability):
// the root sum of squares of its wrapped second differences across the 3 x 3
// neighbourhood (horizontal, vertical, both diagonals), over its modulation
// where that is known. Pixels on the border of the frame or of the mask are
// the roughest, so that they are joined last. phase: within a turn.
static const float ROUGHEST = 1e30f;
static void roughnesses(const double *phase, const unsigned char *valid, const float *modulation,
                        int width, int height, float *roughness) {
#pragma omp parallel for schedule(static)
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++) {
            const size_t i = (size_t)y * width + x;
            roughness[i] = ROUGHEST;
            if (!valid[i] || x == 0 || y == 0 || x == width - 1 || y == height - 1) continue;
            const unsigned char *up = valid + i - width, *down = valid + i + width;
            if (!(up[-1] & up[0] & up[1] & valid[i - 1] & valid[i + 1] & down[-1] & down[0] &
                  down[1]))
                continue;
            const double *p = phase + i;
            const long w = width;
            const double c = p[0];
            const double h = wrapped_difference(p[-1], c) - wrapped_difference(c, p[1]);
            const double v = wrapped_difference(p[-w], c) - wrapped_difference(c, p[w]);
            const double d1 = wrapped_difference(p[-w - 1], c) - wrapped_difference(c, p[w + 1]);
            const double d2 = wrapped_difference(p[-w + 1], c) - wrapped_difference(c, p[w - 1]);
            double r = sqrt(h * h + v * v + d1 * d1 + d2 * d2);
            if (modulation != NULL && isfinite(modulation[i]) && modulation[i] > 0)
                r /= sqrt((double)modulation[i]);
            roughness[i] = r < 1e29 ? (float)r : 1e29f;
        }
}

// Union-find over the pixels, a node in 8 bytes so that a visit costs one
// cache line: link >= 0 is the parent, whose phase is turns whole turns
// above this node's; link < 0 marks a root whose group holds -link pixels.
struct node {
    int32_t link, turns;
};

// The root of i, and in *total the turns from i to it; paths are halved.
static inline uint32_t find_root(node *nodes, uint32_t i, int32_t *total) {
    int32_t sum = 0;
    while (nodes[i].link >= 0) {
        node &n = nodes[i];
        const node &parent = nodes[n.link];
        if (parent.link >= 0) {  // point i past its parent, keeping its turns true
            n.turns += parent.turns;
            n.link = parent.link;
        }
        sum += n.turns;
        i = (uint32_t)n.link;
    }
    *total = sum;
    return i;
}

// Joins the groups of pixels a and b, b's moved by turns relative to a's (the
// turns that bring b within pi of a); the smaller group goes under the larger.
static inline void join_pixels(node *n, uint32_t a, uint32_t b, int32_t turns) {
    int32_t ta, tb;
    const uint32_t ra = find_root(n, a, &ta), rb = find_root(n, b, &tb);
    if (ra == rb) return;
    const int32_t move = ta + turns - tb;  // b's group relative to a's
    if (n[ra].link <= n[rb].link) {        // a's group is the larger
        n[ra].link += n[rb].link;
        n[rb].link = (int32_t)ra, n[rb].turns = move;
    } else {
        n[rb].link += n[ra].link;
        n[ra].link = (int32_t)rb, n[ra].turns = -move;
    }
}

// The whole turns that bring pixel j within pi of pixel i (phase: within a turn).
static inline int8_t turns_between(const double *phase, size_t i, size_t j) {
    const double d = phase[i] - phase[j];  // within (-2 pi, 2 pi)
    return d >= PI ? 1 : d <= -PI ? -1 : 0;
}

// An edge joins pixel i to its right neighbour (edge 2 i) or to the one below
// (2 i + 1). Its bin is its place in the joining order: the top 16 bits of
// the sum of its pixels' roughnesses as a float (its sign, exponent and 7
// bits of mantissa order positive floats as they are), the smoothest first;
// bin 0: no edge. Within a bin edges go in the order of their numbers.
static const int BINS = 1 << 16;
static inline uint16_t edge_bin(float roughness_sum) {
    uint32_t bits;
    memcpy(&bits, &roughness_sum, sizeof bits);
    const uint32_t top = bits >> 16;
    return (uint16_t)(top < 0xffff ? top + 1 : 0xffff);
}

// Most edges close a cycle and join nothing, and on a noisy phase the joining
// order jumps all over the pixels, so that each edge costs cache misses. So
// each tile first goes through its own edges in the same order, in cache:
// - an edge that closes a cycle of earlier edges within the tile closes it in
//   the whole phase too: it is dropped (bin 0);
// - an edge between two of the tile's groups, one of which no earlier edge
//   leaves the tile from, joins two groups of the whole phase that are just
//   those: it is joined there and then, and dropped;
// - the rest, about one edge in twenty on a noisy phase, and the edges between
//   tiles are left to the whole join, in the same order.
// Each edge the whole join would take is taken once and none other is, so the
// groups and their turns are those of joining all edges in order.
static const int TILE = 64;
static const uint32_t CLOSE_BINS = 4096;

// A tile's working arrays, made before the threads start: nothing may throw
// within them.
struct tile_scratch {
    uint32_t key[2 * TILE * TILE], sorted[2 * TILE * TILE];  // bin << 16 | edge in the tile
    int8_t turns[2 * TILE * TILE];                            // by edge in the tile
    int16_t group[TILE * TILE];     // the groups of all the tile's edges taken so far
    uint64_t leaving[TILE * TILE];  // and at each group's first, its first edge out
    node joined[TILE * TILE];       // the groups of the edges joined here
    uint32_t start[CLOSE_BINS + 1];
};

// Each of the tile's pixels' first edge out of the tile in the joining order,
// as bin << 32 | edge number (all ones: none). The edges into the tile from
// the tiles before it are binned here from the roughness, as their own tiles
// bin them at the same time.
static void first_edges_out(const unsigned char *valid, const float *roughness, int width,
                            int x0, int y0, int w, int h, const uint16_t *bin,
                            uint64_t *leaving) {
    for (int i = 0; i < w * h; i++) leaving[i] = UINT64_MAX;
    auto consider = [&](int local, size_t edge, uint16_t b) {
        const uint64_t place = (uint64_t)b << 32 | edge;
        if (b != 0 && place < leaving[local]) leaving[local] = place;
    };
    for (int y = 0; y < h; y++) {
        const size_t first = (size_t)(y0 + y) * width + x0, last = first + w - 1;
        if (x0 > 0 && valid[first - 1] && valid[first])
            consider(y * w, 2 * (first - 1), edge_bin(roughness[first - 1] + roughness[first]));
        consider(y * w + w - 1, 2 * last, bin[2 * last]);  // 0 at the frame's edge
    }
    for (int x = 0; x < w; x++) {
        const size_t top = (size_t)y0 * width + x0 + x, bottom = top + (size_t)(h - 1) * width;
        if (y0 > 0 && valid[top - width] && valid[top])
            consider(x, 2 * (top - width) + 1,
                     edge_bin(roughness[top - width] + roughness[top]));
        consider((h - 1) * w + x, 2 * bottom + 1, bin[2 * bottom + 1]);
    }
}

// The first of pixel i's group: group holds each pixel's parent, or minus the
// group's size at its first; paths are halved.
static inline int group_of(int16_t *group, int i) {
    while (group[i] >= 0) {
        if (group[group[i]] >= 0) group[i] = group[group[i]];
        i = group[i];
    }
    return i;
}

static void bin_tile_edges(const double *phase, const unsigned char *valid,
                           const float *roughness, int width, int height, int x0, int y0,
                           uint16_t *bin, node *nodes, tile_scratch *s) {
    const int w = width - x0 < TILE ? width - x0 : TILE,
              h = height - y0 < TILE ? height - y0 : TILE;
    // The bins of the edges of the tile's pixels, those to the next tile too;
    // the keys and turns of those within the tile, in the order of the edges'
    // numbers.
    uint32_t *key = s->key, *sorted = s->sorted;
    int n = 0;
    for (int y = 0; y < h; y++) {
        const size_t first = (size_t)(y0 + y) * width + x0;
        const unsigned char *here = valid + first;
        const float *rough = roughness + first;
        uint16_t *row = bin + 2 * first;
        for (int x = 0; x < w; x++) {
            const uint32_t local = 2 * (uint32_t)(y * w + x);
            const bool right = here[x] && x0 + x + 1 < width && here[x + 1];
            const bool below = here[x] && y0 + y + 1 < height && here[x + width];
            row[2 * x] = right ? edge_bin(rough[x] + rough[x + 1]) : 0;
            row[2 * x + 1] = below ? edge_bin(rough[x] + rough[x + width]) : 0;
            if (right && x + 1 < w) {
                key[n++] = (uint32_t)row[2 * x] << 16 | local;
                s->turns[local] = turns_between(phase, first + x, first + x + 1);
            }
            if (below && y + 1 < h) {
                key[n++] = (uint32_t)row[2 * x + 1] << 16 | (local + 1);
                s->turns[local + 1] = turns_between(phase, first + x, first + x + width);
            }
        }
    }
    // A stable sort by bin: one counting pass where the tile's bins lie close
    // together (noise spreads them over some hundreds), else two passes of 8
    // bits.
    uint32_t low = 0xffff, high = 0;
    for (int k = 0; k < n; k++) {
        const uint32_t b = key[k] >> 16;
        low = b < low ? b : low, high = b > high ? b : high;
    }
    const int passes = n > 0 && high - low < CLOSE_BINS ? 1 : 2;
    for (int pass = 0; pass < passes; pass++) {
        const int shift = passes == 1 ? 16 : 16 + 8 * pass;
        const uint32_t base = passes == 1 ? low : 0, mask = passes == 1 ? 0xffff : 255;
        const uint32_t count = passes == 1 ? high - low + 1 : 256;
        uint32_t *start = s->start;
        for (uint32_t b = 0; b <= count; b++) start[b] = 0;
        for (int k = 0; k < n; k++) start[(((key[k] >> shift) & mask) - base) + 1]++;
        for (uint32_t b = 1; b < count; b++) start[b] += start[b - 1];
        for (int k = 0; k < n; k++) sorted[start[((key[k] >> shift) & mask) - base]++] = key[k];
        uint32_t *swap = key;
        key = sorted, sorted = swap;
    }
    int16_t *group = s->group;
    for (int i = 0; i < w * h; i++) group[i] = -1, s->joined[i] = node{-1, 0};
    first_edges_out(valid, roughness, width, x0, y0, w, h, bin, s->leaving);
    for (int k = 0; k < n; k++) {
        const int local = key[k] & 0xffff, a = local / 2, b = local % 2 ? a + w : a + 1;
        const size_t pixel = (size_t)(y0 + a / w) * width + x0 + a % w;
        int kept = group_of(group, a), joining = group_of(group, b);
        if (kept == joining) {
            bin[2 * pixel + local % 2] = 0;
            continue;
        }
        const uint64_t place = (uint64_t)(key[k] >> 16) << 32 | (2 * pixel + local % 2);
        if (s->leaving[kept] > place || s->leaving[joining] > place) {
            join_pixels(s->joined, a, b, s->turns[local]);
            bin[2 * pixel + local % 2] = 0;
        }
        if (group[kept] > group[joining]) {  // the larger group keeps its name
            const int larger = joining;
            joining = kept, kept = larger;
        }
        group[kept] = (int16_t)(group[kept] + group[joining]), group[joining] = (int16_t)kept;
        if (s->leaving[joining] < s->leaving[kept]) s->leaving[kept] = s->leaving[joining];
    }
    // The tile's part of the whole phase's groups, each pixel straight under
    // its group's first.
    for (int i = 0; i < w * h; i++) {
        int32_t turns;
        const uint32_t root = find_root(s->joined, (uint32_t)i, &turns);
        const size_t pixel = (size_t)(y0 + i / w) * width + x0 + i % w;
        nodes[pixel] = root == (uint32_t)i
                           ? s->joined[i]
                           : node{(int32_t)((y0 + root / w) * (size_t)width + x0 + root % w), turns};
    }
}

static int thread_count() {
#ifdef _OPENMP
    return omp_get_max_threads();
#else
    return 1;
#endif
}

// Every edge's bin, 0 where its tile drops it; nodes: the groups the tiles
// have joined, each pixel's node written by its tile.
static void edges_in_bins(const double *phase, const unsigned char *valid, const float *roughness,
                          int width, int height, uint16_t *bin, node *nodes) {
    const long across = (width + TILE - 1) / TILE, down = (height + TILE - 1) / TILE;
    const int threads = thread_count();
    std::vector<tile_scratch> scratch(threads);
#pragma omp parallel num_threads(threads)
    {
        int thread = 0;
#ifdef _OPENMP
        thread = omp_get_thread_num();
#endif
#pragma omp for schedule(dynamic, 4)
        for (long t = 0; t < across * down; t++)
            bin_tile_edges(phase, valid, roughness, width, height, (int)(t % across) * TILE,
                           (int)(t / across) * TILE, bin, nodes, &scratch[thread]);
    }
}

// The edges left, in joining order, each with the turns (-1, 0 or 1) that
// bring its second pixel within pi of its first (phase: within a turn). A
// counting sort: each thread counts and places the edges of a band of rows of
// its own, the bands in order, so the order is the same whatever the thread
// count.
struct sorted_edges {
    std::vector<uint32_t> edge;
    std::vector<int8_t> turns;
};

static sorted_edges sort_edges(const double *phase, const uint16_t *bin, int width, int height) {
    const int bands = thread_count() < height ? thread_count() : height;
    auto band_edges = [&](int band, size_t *first, size_t *last) {
        *first = 2 * (size_t)((long long)height * band / bands) * width;
        *last = 2 * (size_t)((long long)height * (band + 1) / bands) * width;
    };
    std::vector<uint32_t> counts((size_t)bands * BINS, 0);  // band by band
#pragma omp parallel for schedule(static, 1) num_threads(bands)
    for (int band = 0; band < bands; band++) {
        size_t first, last;
        band_edges(band, &first, &last);
        uint32_t *count = &counts[(size_t)band * BINS];
        for (size_t e = first; e < last; e++) count[bin[e]]++;
    }
    // counts becomes where each band's edges of each bin start: the bins in
    // order, within a bin the bands in order.
    size_t place = 0;
    for (int b = 1; b < BINS; b++)
        for (int band = 0; band < bands; band++) {
            const uint32_t n = counts[(size_t)band * BINS + b];
            counts[(size_t)band * BINS + b] = (uint32_t)place;
            place += n;
        }
    sorted_edges sorted;
    sorted.edge.resize(place);
    sorted.turns.resize(place);
#pragma omp parallel for schedule(static, 1) num_threads(bands)
    for (int band = 0; band < bands; band++) {
        size_t first, last;
        band_edges(band, &first, &last);
        uint32_t *next = &counts[(size_t)band * BINS];
        for (size_t e = first; e < last; e++) {
            const uint16_t b = bin[e];
            if (b == 0) continue;
            const size_t i = e / 2, j = e % 2 ? i + width : i + 1;
            const uint32_t at = next[b]++;
            sorted.edge[at] = (uint32_t)e;
            sorted.turns[at] = turns_between(phase, i, j);
        }
    }
    return sorted;
}

// The same, changing nothing, so that threads may ask at once.
static inline uint32_t root_of(const node *nodes, uint32_t i, int32_t *total) {
    int32_t sum = 0;
    while (nodes[i].link >= 0) {
        sum += nodes[i].turns;
        i = (uint32_t)nodes[i].link;
    }
    *total = sum;
    return i;
}

static void join(const sorted_edges &sorted, int width, node *n) {
    const size_t edges = sorted.edge.size();
    // The order jumps about the pixels: the nodes of an edge some places
    // ahead are fetched early, so that their misses overlap.
    const size_t AHEAD = 16;
    for (size_t k = 0; k < edges; k++) {
        if (k + AHEAD < edges) {
            const uint32_t e = sorted.edge[k + AHEAD], i = e / 2;
            __builtin_prefetch(&n[i], 1);
            __builtin_prefetch(&n[e % 2 ? i + width : i + 1], 1);
        }
        const uint32_t e = sorted.edge[k], a = e / 2, b = e % 2 ? a + width : a + 1;
        join_pixels(n, a, b, sorted.turns[k]);
    }
}

int unwrap_spatial(const double *phase, const unsigned char *mask, const float *modulation,
                   int width, int height, double *unwrapped) {
    const long long pixels = (long long)width * height;
    // The phase within a turn waits where the result goes (phase may be that
    // array too: each pixel is read before it is written).
    std::vector<unsigned char> valid(pixels);
    double *within = unwrapped;
#pragma omp parallel for schedule(static)
    for (long long i = 0; i < pixels; i++) {
        valid[i] = isfinite(phase[i]) && (mask == NULL || mask[i] != 0);
        within[i] = within_turn(phase[i]);
    }
    std::unique_ptr<node[]> nodes(new node[pixels]);  // each tile writes its own
    sorted_edges sorted;
    {
        std::vector<uint16_t> bin(2 * pixels);
        {
            std::vector<float> roughness(pixels);
            roughnesses(within, valid.data(), modulation, width, height, roughness.data());
            edges_in_bins(within, valid.data(), roughness.data(), width, height, bin.data(),
                          nodes.get());
        }
        sorted = sort_edges(within, bin.data(), width, height);
    }
    join(sorted, width, nodes.get());
    int regions = 0;
#pragma omp parallel for schedule(static) reduction(+ : regions)
    for (long long i = 0; i < pixels; i++) {
        if (!valid[i]) {
            unwrapped[i] = NAN;
            continue;
        }
        int32_t total;
        regions += root_of(nodes.get(), (uint32_t)i, &total) == (uint32_t)i;
        unwrapped[i] += TWO_PI * total;
    }
    return regions;
}

}  // namespace phaze_internal
