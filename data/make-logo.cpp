// Draws the installer's side-panel logo and writes it as XPM 3 data: 100 x 236 pixels, 2 characters
// per pixel, 254 colours picked for the picture plus the transparent colour None.
//
// Not part of the build. Regenerate data/logo.xpm with
//     cmake --build build --target logo
// or by hand:
//     c++ -std=c++17 -O2 -o /tmp/make-logo data/make-logo.cpp && /tmp/make-logo data/logo.xpm
//
// The picture: a rounded panel with a midnight-blue to violet gradient, a glossy disc with an
// iridescent sheen and a warm centre label, three sound waves, and a segmented level meter with
// its reflection. Shapes are signed distance functions, so every edge is anti-aliased against
// whatever lies beneath it; the panel's corners are blended into the window's #D0D0D0 rather than
// made transparent, because the window shows the pixmap without its shape mask (a None pixel would
// come out as pixel 0, black on a TrueColor screen). None is therefore declared but left unused.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr int Width = 100;
constexpr int Height = 236;
constexpr int Colours = 254;  // the picture's own; None comes on top
constexpr double Pi = 3.14159265358979323846;

// ---------------------------------------------------------------- colour and shape helpers

struct Rgb {
    double r, g, b;
};

Rgb Hex(unsigned v) { return {((v >> 16) & 255) / 255.0, ((v >> 8) & 255) / 255.0, (v & 255) / 255.0}; }

Rgb Mix(Rgb a, Rgb b, double t) { return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t}; }

double Clamp01(double v) { return std::min(1.0, std::max(0.0, v)); }

double Smoothstep(double e0, double e1, double x) {
    const double t = Clamp01((x - e0) / (e1 - e0));
    return t * t * (3 - 2 * t);
}

// Paints src over dst with the given opacity.
void Over(Rgb &dst, Rgb src, double alpha) { dst = Mix(dst, src, Clamp01(alpha)); }

// Adds light, as a glow does; channels saturate at white.
void Glow(Rgb &dst, Rgb light, double amount) {
    dst = {std::min(1.0, dst.r + light.r * amount), std::min(1.0, dst.g + light.g * amount),
           std::min(1.0, dst.b + light.b * amount)};
}

// How much of a pixel a shape covers, from the signed distance (in pixels) of the pixel's centre
// to the shape's edge: negative inside.
double Cover(double distance) { return Clamp01(0.5 - distance); }

// Signed distance to a box of half-size hw x hh centred at (cx, cy) with corners of radius r.
double RoundedBox(double x, double y, double cx, double cy, double hw, double hh, double r) {
    const double qx = std::fabs(x - cx) - hw + r;
    const double qy = std::fabs(y - cy) - hh + r;
    const double ox = std::max(qx, 0.0), oy = std::max(qy, 0.0);
    return std::hypot(ox, oy) + std::min(std::max(qx, qy), 0.0) - r;
}

// Hue in [0, 1), full saturation and value scaled.
Rgb Hue(double h, double saturation) {
    const double k[3] = {5, 3, 1};
    double c[3];
    for (int i = 0; i < 3; ++i) {
        const double t = std::fmod(k[i] + h * 6, 6.0);
        c[i] = 1 - saturation * std::max(0.0, std::min({t, 4 - t, 1.0}));
    }
    return {c[0], c[1], c[2]};
}

// ---------------------------------------------------------------- the picture

const Rgb WindowGrey = Hex(0xD0D0D0);

Rgb Background(double x, double y) {
    // Midnight blue at the top to violet at the bottom, eased so the middle stays blue.
    const double t = y / Height;
    Rgb c = t < 0.55 ? Mix(Hex(0x08122C), Hex(0x1C2E68), Smoothstep(0, 0.55, t))
                     : Mix(Hex(0x1C2E68), Hex(0x52286F), Smoothstep(0.55, 1, t));
    // A soft light behind the disc.
    const double dx = x - 50, dy = y - 68;
    Glow(c, Hex(0x3C70D8), 0.30 * std::exp(-(dx * dx + dy * dy) / (2 * 34.0 * 34.0)));
    return c;
}

void Disc(Rgb &c, double x, double y) {
    constexpr double Cx = 50, Cy = 68, R = 38, Label = 13, Hole = 3.2;
    const double dx = x - Cx, dy = y - Cy;
    const double r = std::hypot(dx, dy);
    const double theta = std::atan2(dy, dx);

    // Drop shadow, a little down and to the right.
    const double shadow = std::hypot(dx - 2, dy - 3) - R;
    Over(c, Hex(0x02040C), 0.55 * Smoothstep(5, -2, shadow));

    const double body = Cover(std::max(r - R, Hole - r));
    if (body <= 0)
        return;
    Rgb disc = Mix(Hex(0x10131E), Hex(0x1E2336), r / R);
    // Track boundaries: faint lighter rings between the label and the rim.
    for (double ring : {18.5, 24.0, 29.5, 34.0})
        Glow(disc, Hex(0x6A7CA8), 0.10 * Cover(std::fabs(r - ring) - 0.35));
    // The iridescent sheen: two opposite wedges whose hue runs from cyan at the label to magenta
    // at the rim, stronger towards the edge.
    const double wedge = std::pow(std::max(0.0, std::cos(2 * (theta + 0.75))), 5);
    Glow(disc, Hue(0.50 + 0.38 * r / R, 0.55), 0.62 * wedge * Smoothstep(Label, R, r));
    // A narrow white highlight along the upper left of the rim.
    const double rim = Cover(std::fabs(r - (R - 1.2)) - 0.6);
    Glow(disc, Hex(0xB8C8F0), rim * (0.25 + 0.45 * Smoothstep(0.3, -0.9, std::sin(theta + Pi / 4))));

    // The centre label: amber at the top to coral at the bottom, with a darker edge.
    const double label = Cover(std::max(r - Label, Hole - r));
    if (label > 0) {
        Rgb warm = Mix(Hex(0xFFC04D), Hex(0xFF5A5F), Clamp01((dy + Label) / (2 * Label)));
        Over(warm, Hex(0x8A2C30), 0.55 * Cover(std::fabs(r - (Label - 0.8)) - 0.5));
        Over(warm, Hex(0x5A1C24), 0.45 * Cover(std::fabs(r - (Hole + 0.7)) - 0.5));
        Over(disc, warm, label);
    }
    Over(c, disc, body);
}

// Three waves of different pitch that swell in the middle and meet at the panel's edges.
void Waves(Rgb &c, double x, double y) {
    struct Wave {
        double amplitude, cycles, phase, halfWidth;
        unsigned colour;
        double glow;
    };
    static const Wave waves[] = {
        {15, 2.0, 0.0, 0.80, 0x45D0FF, 0.45},
        {11, 3.0, 1.3, 0.70, 0xFF5CC6, 0.40},
        {6, 4.5, 2.4, 0.50, 0xE8EEFF, 0.25},
    };
    constexpr double Axis = 152;
    const double u = x / Width;
    const double envelope = std::pow(std::sin(Pi * u), 1.5);
    const double envelopeSlope = 1.5 * std::pow(std::sin(Pi * u), 0.5) * std::cos(Pi * u) * Pi / Width;
    // Where the waves meet, near the edges, their glows would add up to a white bar: fade them in.
    const double fade = Smoothstep(0, 22, x) * Smoothstep(Width, Width - 22, x);
    for (const Wave &w : waves) {
        const double k = 2 * Pi * w.cycles / Width;
        const double f = Axis + w.amplitude * envelope * std::sin(k * x + w.phase);
        const double slope =
            w.amplitude * (envelopeSlope * std::sin(k * x + w.phase) + envelope * k * std::cos(k * x + w.phase));
        // Distance to the curve, to first order.
        const double d = std::fabs(y - f) / std::sqrt(1 + slope * slope) - w.halfWidth;
        const double outside = std::max(d, 0.0);
        Glow(c, Hex(w.colour), fade * w.glow * std::exp(-outside * outside / (2 * 2.2 * 2.2)));
        Over(c, Hex(w.colour), (0.35 + 0.65 * fade) * Cover(d));
    }
}

// A level meter of nine segmented bars on a baseline, mirrored faintly below it.
void Meter(Rgb &c, double x, double y) {
    constexpr double Base = 214, BarWidth = 6, Gap = 3, Left = 11, Tallest = 36;
    static const double heights[] = {11, 19, 29, 23, 36, 27, 17, 25, 13};
    for (int i = 0; i < 9; ++i) {
        const double cx = Left + i * (BarWidth + Gap) + BarWidth / 2;
        const double h = heights[i];
        // Above the baseline the bar itself, below it the reflection, fading out.
        const bool mirrored = y > Base;
        const double my = mirrored ? 2 * Base + 2 - y : y;
        const double bar = RoundedBox(x, my, cx, Base - h / 2, BarWidth / 2, h / 2, 1.5);
        // Segments of three pixels with a one-pixel slot between them, counted from the baseline.
        const double phase = std::fmod(Base - my, 4.0);
        const double slot = Cover(std::fabs(phase - 3.5) - 0.5);
        double alpha = Cover(bar) * (1 - 0.75 * slot);
        if (mirrored)
            alpha *= 0.30 * Smoothstep(Base + 16, Base + 2, y);
        if (alpha <= 0)
            continue;
        const double level = Clamp01((Base - my) / Tallest);
        const Rgb colour = level < 0.5 ? Mix(Hex(0x38D6C4), Hex(0x4FA8FF), level * 2)
                                       : Mix(Hex(0x4FA8FF), Hex(0xFF6AC8), level * 2 - 1);
        Over(c, colour, alpha);
    }
}

Rgb Shade(double x, double y) {
    Rgb c = Background(x, y);
    Disc(c, x, y);
    Waves(c, x, y);
    Meter(c, x, y);
    // The panel: a rounded rectangle with a faint light edge, outside it the window's grey.
    const double panel = RoundedBox(x, y, Width / 2.0, Height / 2.0, Width / 2.0, Height / 2.0, 9);
    Glow(c, Hex(0xFFFFFF), 0.16 * Cover(std::fabs(panel + 1.0) - 0.5));
    Over(c, WindowGrey, 1 - Cover(panel));
    return c;
}

// ---------------------------------------------------------------- colour reduction

using Colour = std::array<int, 3>;  // 0..255 per channel

long Distance(const std::array<double, 3> &a, const Colour &b) {
    const double dr = a[0] - b[0], dg = a[1] - b[1], db = a[2] - b[2];
    return std::lround(2 * dr * dr + 4 * dg * dg + 3 * db * db);
}

struct Bin {
    Colour colour;
    long count;
};

// Median cut to seed the palette, then rounds of k-means over the distinct colours of the picture.
// Every cluster keeps at least one colour, so all entries of the palette end up used.
std::vector<Colour> ReducePalette(const std::vector<Bin> &bins) {
    std::vector<std::vector<int>> boxes{std::vector<int>(bins.size())};
    for (std::size_t i = 0; i < bins.size(); ++i)
        boxes[0][i] = static_cast<int>(i);
    while (boxes.size() < static_cast<std::size_t>(Colours)) {
        // Split the box with the widest channel range, weighted by its pixel count, at the median.
        std::size_t best = 0;
        double bestScore = -1;
        int bestChannel = 0;
        for (std::size_t b = 0; b < boxes.size(); ++b) {
            if (boxes[b].size() < 2)
                continue;
            long pixels = 0;
            for (int i : boxes[b])
                pixels += bins[i].count;
            for (int ch = 0; ch < 3; ++ch) {
                int lo = 255, hi = 0;
                for (int i : boxes[b]) {
                    lo = std::min(lo, bins[i].colour[ch]);
                    hi = std::max(hi, bins[i].colour[ch]);
                }
                const double score = (hi - lo) * std::sqrt(static_cast<double>(pixels));
                if (score > bestScore) {
                    bestScore = score;
                    best = b;
                    bestChannel = ch;
                }
            }
        }
        if (bestScore < 0) {
            std::fprintf(stderr, "make-logo: the picture has fewer than %d colours\n", Colours);
            std::exit(1);
        }
        std::vector<int> &box = boxes[best];
        std::sort(box.begin(), box.end(), [&](int a, int b) {
            return bins[a].colour[bestChannel] != bins[b].colour[bestChannel]
                       ? bins[a].colour[bestChannel] < bins[b].colour[bestChannel]
                       : a < b;
        });
        std::vector<int> upper(box.begin() + box.size() / 2, box.end());
        box.resize(box.size() / 2);
        boxes.push_back(std::move(upper));
    }

    std::vector<Colour> palette(Colours);
    std::vector<int> owner(bins.size());
    for (std::size_t b = 0; b < boxes.size(); ++b)
        for (int i : boxes[b])
            owner[i] = static_cast<int>(b);
    for (int round = 0; round < 30; ++round) {
        // Centres of the current clusters.
        std::vector<std::array<double, 3>> sum(Colours, {0, 0, 0});
        std::vector<long> weight(Colours, 0);
        for (std::size_t i = 0; i < bins.size(); ++i) {
            for (int ch = 0; ch < 3; ++ch)
                sum[owner[i]][ch] += static_cast<double>(bins[i].colour[ch]) * bins[i].count;
            weight[owner[i]] += bins[i].count;
        }
        for (int p = 0; p < Colours; ++p)
            for (int ch = 0; ch < 3; ++ch)
                palette[p][ch] = static_cast<int>(std::lround(sum[p][ch] / weight[p]));
        // Reassign every colour to its nearest centre, but never empty a cluster.
        std::vector<long> members(Colours, 0);
        for (int o : owner)
            ++members[o];
        bool moved = false;
        for (std::size_t i = 0; i < bins.size(); ++i) {
            const std::array<double, 3> c = {double(bins[i].colour[0]), double(bins[i].colour[1]),
                                             double(bins[i].colour[2])};
            int nearest = owner[i];
            long nearestDistance = Distance(c, palette[nearest]);
            for (int p = 0; p < Colours; ++p) {
                const long d = Distance(c, palette[p]);
                if (d < nearestDistance) {
                    nearest = p;
                    nearestDistance = d;
                }
            }
            if (nearest != owner[i] && members[owner[i]] > 1) {
                --members[owner[i]];
                ++members[nearest];
                owner[i] = nearest;
                moved = true;
            }
        }
        if (!moved)
            break;
    }
    return palette;
}

// Two-character keys for the palette, from letters and digits; the blank pair is None's.
std::string Key(int index) {
    static const char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    constexpr int N = sizeof alphabet - 1;
    return {alphabet[index / N], alphabet[index % N]};
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-logo OUTPUT.xpm\n");
        return 2;
    }

    // Render at pixel centres.
    std::vector<Colour> image(Width * Height);
    for (int y = 0; y < Height; ++y)
        for (int x = 0; x < Width; ++x) {
            const Rgb c = Shade(x + 0.5, y + 0.5);
            image[y * Width + x] = {static_cast<int>(std::lround(Clamp01(c.r) * 255)),
                                    static_cast<int>(std::lround(Clamp01(c.g) * 255)),
                                    static_cast<int>(std::lround(Clamp01(c.b) * 255))};
        }

    std::map<Colour, long> histogram;
    for (const Colour &c : image)
        ++histogram[c];
    std::vector<Bin> bins;
    for (const auto &[colour, count] : histogram)
        bins.push_back({colour, count});
    std::vector<Colour> palette = ReducePalette(bins);

    // Dark to light, so that the keys follow the brightness; two clusters may meet in one colour
    // after rounding, and a nudge of one step keeps all entries distinct.
    std::sort(palette.begin(), palette.end(), [](const Colour &a, const Colour &b) {
        const int la = 2 * a[0] + 4 * a[1] + 3 * a[2], lb = 2 * b[0] + 4 * b[1] + 3 * b[2];
        return la != lb ? la < lb : a < b;
    });
    for (std::size_t p = 1; p < palette.size(); ++p)
        while (std::find(palette.begin(), palette.begin() + p, palette[p]) != palette.begin() + p)
            palette[p][2] += palette[p][2] < 255 ? 1 : -1;

    std::vector<int> index(image.size());
    std::vector<long> used(Colours, 0);
    for (std::size_t i = 0; i < image.size(); ++i) {
        const std::array<double, 3> c = {double(image[i][0]), double(image[i][1]), double(image[i][2])};
        int nearest = 0;
        for (int p = 1; p < Colours; ++p)
            if (Distance(c, palette[p]) < Distance(c, palette[nearest]))
                nearest = p;
        index[i] = nearest;
        ++used[nearest];
    }
    if (std::count(used.begin(), used.end(), 0) != 0) {
        std::fprintf(stderr, "make-logo: %ld palette entries unused\n", long(std::count(used.begin(), used.end(), 0)));
        return 1;
    }

    std::FILE *out = std::fopen(argv[1], "w");
    if (!out) {
        std::perror(argv[1]);
        return 1;
    }
    // Without `static`, the array takes its external linkage from installer_data.h, which
    // data/logo.cpp includes first; XPM readers skip everything before the first string.
    std::fprintf(out, "/* XPM */\n/* The installer's side panel. Written by data/make-logo.cpp: edit that, not this. */\n");
    std::fprintf(out, "const char *const LogoXpm[] = {\n\"%d %d %d 2\",\n", Width, Height, Colours + 1);
    std::fprintf(out, "\"  \tc None\",\n");
    for (int p = 0; p < Colours; ++p)
        std::fprintf(out, "\"%s\tc #%02X%02X%02X\",\n", Key(p).c_str(), palette[p][0], palette[p][1], palette[p][2]);
    for (int y = 0; y < Height; ++y) {
        std::string row;
        for (int x = 0; x < Width; ++x)
            row += Key(index[y * Width + x]);
        std::fprintf(out, "\"%s\"%s\n", row.c_str(), y + 1 < Height ? "," : "");
    }
    std::fprintf(out, "};\n");
    if (std::fclose(out) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
