#include "unwrap/spatial.h"

#include <math.h>
#include <stdint.h>
#include <string.h>

#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif

namespace phaze_internal {

static const double TWO_PI = 6.283185307179586, PI = 3.141592653589793;

static inline double wrap(double angle) { return angle - TWO_PI * floor((angle + PI) / TWO_PI); }

// A phase value within [0, 2 pi): the input need not be wrapped, and whole
// turns counted from it stay small.
static inline double within_turn(double angle) { return angle - TWO_PI * floor(angle / TWO_PI); }

// How rough the phase is around each pixel (the inverse of its reliability):
// the root sum of squares of its wrapped second differences across the 3 x 3
// neighbourhood (horizontal, vertical, both diagonals), over its modulation
// where that is known. Pixels on the border of the frame or of the mask are
// the roughest, so that they are joined last.
static const float ROUGHEST = 1e30f;
static void roughnesses(const double *phase, const unsigned char *valid, const float *modulation,
                        int width, int height, float *roughness) {
#pragma omp parallel for schedule(static)
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++) {
            const size_t i = (size_t)y * width + x;
            roughness[i] = ROUGHEST;
            if (!valid[i] || x == 0 || y == 0 || x == width - 1 || y == height - 1) continue;
            bool inner = true;
            for (int dy = -1; dy <= 1 && inner; dy++)
                for (int dx = -1; dx <= 1; dx++) inner = inner && valid[i + (long)dy * width + dx];
            if (!inner) continue;
            const double *p = phase + i;
            const long w = width;
            const double c = p[0];
            const double h = wrap(p[-1] - c) - wrap(c - p[1]);
            const double v = wrap(p[-w] - c) - wrap(c - p[w]);
            const double d1 = wrap(p[-w - 1] - c) - wrap(c - p[w + 1]);
            const double d2 = wrap(p[-w + 1] - c) - wrap(c - p[w - 1]);
            double r = sqrt(h * h + v * v + d1 * d1 + d2 * d2);
            if (modulation != NULL && isfinite(modulation[i]) && modulation[i] > 0)
                r /= sqrt((double)modulation[i]);
            roughness[i] = (float)fmin(r, 1e29);
        }
}

// An edge's place in the joining order: the top 16 bits of the sum of its
// pixels' roughnesses as a float (its sign, exponent and 7 bits of mantissa
// order positive floats as they are), the smoothest first; 0 means no edge.
static const int BINS = 1 << 16;
static inline uint16_t edge_bin(float roughness_sum) {
    uint32_t bits;
    memcpy(&bits, &roughness_sum, sizeof bits);
    const uint32_t top = bits >> 16;
    return (uint16_t)(top < 0xffff ? top + 1 : 0xffff);
}

// The edges between valid neighbours (2 i: to the right, 2 i + 1: below):
// each one's bin, counted by each thread in a band of rows of its own.
static int band_count() {
#ifdef _OPENMP
    return omp_get_max_threads();
#else
    return 1;
#endif
}

static void band_rows(int band, int bands, int height, int *first, int *last) {
    *first = (int)((long long)height * band / bands);
    *last = (int)((long long)height * (band + 1) / bands);
}

static void edge_bins(const unsigned char *valid, const float *roughness, int width, int height,
                      uint16_t *bin) {
#pragma omp parallel for schedule(static)
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++) {
            const size_t i = (size_t)y * width + x;
            uint16_t right = 0, below = 0;
            if (valid[i] && x + 1 < width && valid[i + 1])
                right = edge_bin(roughness[i] + roughness[i + 1]);
            if (valid[i] && y + 1 < height && valid[i + width])
                below = edge_bin(roughness[i] + roughness[i + width]);
            bin[2 * i] = right, bin[2 * i + 1] = below;
        }
}

// Most edges close a cycle and join nothing; joining them in a global order
// costs cache misses all over the pixels. An edge that closes a cycle of
// earlier edges within a tile closes it in the whole phase too, so each tile
// runs the join on its own edges first, in cache, and drops those (bin 0).
// What is left is a superset of the edges that the global join takes, in the
// same order, so the result is the same.
static const int TILE = 64;

struct tile_scratch {
    std::vector<uint32_t> edge, sorted;
    std::vector<uint16_t> parent, size;
};

static uint16_t tile_root(uint16_t *parent, uint16_t i) {
    while (parent[i] != i) {
        parent[i] = parent[parent[i]];
        i = parent[i];
    }
    return i;
}

static void drop_tile_cycles(int width, int height, int x0, int y0, uint16_t *bin,
                             tile_scratch *s) {
    const int w = width - x0 < TILE ? width - x0 : TILE, h = height - y0 < TILE ? height - y0 : TILE;
    s->edge.clear();
    // The tile's edges in the order of their numbers, then a stable sort by
    // bin in two passes of 8 bits.
    for (int y = y0; y < y0 + h; y++)
        for (int x = x0; x < x0 + w; x++) {
            const size_t e = 2 * ((size_t)y * width + x);
            if (x + 1 < x0 + w && bin[e] != 0) s->edge.push_back((uint32_t)e);
            if (y + 1 < y0 + h && bin[e + 1] != 0) s->edge.push_back((uint32_t)e + 1);
        }
    const size_t n = s->edge.size();
    s->sorted.resize(n);
    for (int shift = 0; shift < 16; shift += 8) {
        uint32_t start[257] = {0};
        for (size_t k = 0; k < n; k++) start[((bin[s->edge[k]] >> shift) & 255) + 1]++;
        for (int b = 1; b < 257; b++) start[b] += start[b - 1];
        for (size_t k = 0; k < n; k++)
            s->sorted[start[(bin[s->edge[k]] >> shift) & 255]++] = s->edge[k];
        s->edge.swap(s->sorted);
    }
    s->parent.resize((size_t)w * h);
    s->size.assign((size_t)w * h, 1);
    for (int i = 0; i < w * h; i++) s->parent[i] = (uint16_t)i;
    for (uint32_t e : s->edge) {
        const size_t pixel = e / 2;
        const int x = (int)(pixel % width) - x0, y = (int)(pixel / width) - y0;
        const uint16_t a = (uint16_t)(y * w + x), b = (uint16_t)(e % 2 ? a + w : a + 1);
        const uint16_t ra = tile_root(s->parent.data(), a), rb = tile_root(s->parent.data(), b);
        if (ra == rb) {
            bin[e] = 0;
        } else if (s->size[ra] >= s->size[rb]) {
            s->parent[rb] = ra, s->size[ra] += s->size[rb];
        } else {
            s->parent[ra] = rb, s->size[rb] += s->size[ra];
        }
    }
}

static void drop_cycles_within_tiles(int width, int height, uint16_t *bin) {
    const int across = (width + TILE - 1) / TILE, down = (height + TILE - 1) / TILE;
#pragma omp parallel
    {
        tile_scratch scratch;
#pragma omp for schedule(dynamic, 4)
        for (long t = 0; t < (long)across * down; t++)
            drop_tile_cycles(width, height, (int)(t % across) * TILE, (int)(t / across) * TILE, bin,
                             &scratch);
    }
}

// The edges left, in joining order, ties in the order of their numbers, each
// with the turns (-1, 0 or 1) that bring its second pixel within pi of its
// first. A counting sort: each thread counts and places the edges of its own
// band of rows, the bands in order, so the order is the same whatever the
// thread count.
struct sorted_edges {
    std::vector<uint32_t> edge;
    std::vector<int8_t> turns;
};

static sorted_edges sort_edges(const double *phase, const uint16_t *bin, int width, int height) {
    int bands = band_count();
    if (bands > height) bands = height;
    std::vector<uint32_t> counts((size_t)bands * BINS, 0);  // band-major
#pragma omp parallel for schedule(static, 1) num_threads(bands)
    for (int band = 0; band < bands; band++) {
        int first, last;
        band_rows(band, bands, height, &first, &last);
        uint32_t *count = &counts[(size_t)band * BINS];
        for (size_t e = 2 * (size_t)first * width; e < 2 * (size_t)last * width; e++)
            count[bin[e]]++;
    }
    // Where each band's edges of each bin go: bins in order, within a bin the
    // bands in order. counts becomes those starting places.
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
        int first, last;
        band_rows(band, bands, height, &first, &last);
        uint32_t *next = &counts[(size_t)band * BINS];
        for (size_t e = 2 * (size_t)first * width; e < 2 * (size_t)last * width; e++) {
            const uint16_t b = bin[e];
            if (b == 0) continue;
            const size_t i = e / 2, j = e % 2 ? i + width : i + 1;
            const uint32_t at = next[b]++;
            sorted.edge[at] = (uint32_t)e;
            sorted.turns[at] =
                (int8_t)lround((within_turn(phase[i]) - within_turn(phase[j])) / TWO_PI);
        }
    }
    return sorted;
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

int unwrap_spatial(const double *phase, const unsigned char *mask, const float *modulation,
                   int width, int height, double *unwrapped) {
    const size_t pixels = (size_t)width * height;
    std::vector<unsigned char> valid(pixels);
    for (size_t i = 0; i < pixels; i++)
        valid[i] = isfinite(phase[i]) && (mask == NULL || mask[i] != 0);
    sorted_edges sorted;
    {
        std::vector<float> roughness(pixels);
        roughnesses(phase, valid.data(), modulation, width, height, roughness.data());
        std::vector<uint16_t> bin(2 * pixels);
        edge_bins(valid.data(), roughness.data(), width, height, bin.data());
        drop_cycles_within_tiles(width, height, bin.data());
        sorted = sort_edges(phase, bin.data(), width, height);
    }

    std::vector<node> nodes(pixels, node{-1, 0});
    node *n = nodes.data();
    const size_t edges = sorted.edge.size();
    // The edges come in an order the caches cannot guess (on a noisy phase
    // nearly random): the nodes of an edge some places ahead are fetched early.
    const size_t AHEAD = 16;
    for (size_t k = 0; k < edges; k++) {
        if (k + AHEAD < edges) {
            const uint32_t e = sorted.edge[k + AHEAD], i = e / 2;
            __builtin_prefetch(&n[i], 1);
            __builtin_prefetch(&n[e % 2 ? i + width : i + 1], 1);
        }
        const uint32_t e = sorted.edge[k], a = e / 2, b = e % 2 ? a + width : a + 1;
        int32_t ta, tb;
        const uint32_t ra = find_root(n, a, &ta), rb = find_root(n, b, &tb);
        if (ra == rb) continue;
        // b's group moves by ta + turns - tb relative to a's.
        const int32_t move = ta + sorted.turns[k] - tb;
        if (n[ra].link <= n[rb].link) {  // a's group is the larger
            n[ra].link += n[rb].link;
            n[rb].link = (int32_t)ra, n[rb].turns = move;
        } else {
            n[rb].link += n[ra].link;
            n[ra].link = (int32_t)rb, n[ra].turns = -move;
        }
    }
    int regions = 0;
    for (size_t i = 0; i < pixels; i++) {
        if (!valid[i]) {
            unwrapped[i] = NAN;
            continue;
        }
        int32_t total;
        const uint32_t root = find_root(n, (uint32_t)i, &total);
        regions += root == i;
        unwrapped[i] = within_turn(phase[i]) + TWO_PI * total;
    }
    return regions;
}

}  // namespace phaze_internal
