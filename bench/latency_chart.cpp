// The key-latency picture of bench/RESULTS.md: for each line speed the share
// of presses (all runs) that reached the journal within a latency, against
// the design bound of that speed.
//   latency_chart OUT.svg SAMPLES...
// Each SAMPLES file is what `key_latency --samples` writes: a first line
// "# LABEL; bound MS", then one latency in ms a line.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Series {
    std::string label;
    double bound = 0;
    std::vector<double> latencies;
};

bool ReadSeries(const std::string& path, Series& series)
{
    std::ifstream in(path);
    std::string header;
    if (!std::getline(in, header) || header.rfind("# ", 0) != 0)
        return false;
    const auto separator = header.rfind("; bound ");
    if (separator == std::string::npos)
        return false;
    series.label = header.substr(2, separator - 2);
    series.bound = std::stod(header.substr(separator + 8));
    for (double value; in >> value;)
        series.latencies.push_back(value);
    std::sort(series.latencies.begin(), series.latencies.end());
    return !series.latencies.empty();
}

const char* const Colours[] = {"#1f77b4", "#d62728", "#2ca02c", "#9467bd"};

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: latency_chart OUT.svg SAMPLES...\n");
        return 2;
    }
    std::vector<Series> all;
    double top = 0;
    for (int i = 2; i < argc; ++i) {
        Series series;
        if (!ReadSeries(argv[i], series)) {
            std::fprintf(stderr, "latency_chart: %s holds no samples\n", argv[i]);
            return 1;
        }
        top = std::max({top, series.bound, series.latencies.back()});
        all.push_back(series);
    }
    // The x axis in whole tens of milliseconds past the slowest press and the largest bound.
    const double xMax = std::ceil(top / 10 + 0.5) * 10;
    // The legend sits between the title and the plot, a line per series.
    const double legendTop = 44;
    const double left = 60, right = 20, above = legendTop + 18.0 * static_cast<double>(all.size()), below = 50;
    const double width = 640, height = above + 320;
    const double plotW = width - left - right, plotH = height - above - below;
    auto x = [&](double ms) { return left + ms / xMax * plotW; };
    auto y = [&](double share) { return above + (1 - share) * plotH; };

    std::ostringstream svg;
    svg.setf(std::ios::fixed);
    svg.precision(1);
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
        << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
        << "<text x=\"" << left << "\" y=\"22\" font-size=\"14\">Key latency, press to journal line: share of "
           "presses within a time (all runs)</text>\n";
    for (double ms = 0; ms <= xMax + 0.01; ms += 10) {
        svg << "<line x1=\"" << x(ms) << "\" y1=\"" << y(0) << "\" x2=\"" << x(ms) << "\" y2=\"" << y(1)
            << "\" stroke=\"#ddd\"/>\n<text x=\"" << x(ms) << "\" y=\"" << y(0) + 16
            << "\" text-anchor=\"middle\">" << static_cast<int>(ms) << "</text>\n";
    }
    for (int percent = 0; percent <= 100; percent += 25) {
        svg << "<line x1=\"" << x(0) << "\" y1=\"" << y(percent / 100.0) << "\" x2=\"" << x(xMax) << "\" y2=\""
            << y(percent / 100.0) << "\" stroke=\"#ddd\"/>\n<text x=\"" << left - 6 << "\" y=\""
            << y(percent / 100.0) + 4 << "\" text-anchor=\"end\">" << percent << " %</text>\n";
    }
    svg << "<text x=\"" << left + plotW / 2 << "\" y=\"" << height - 12 << "\" text-anchor=\"middle\">ms</text>\n";
    for (std::size_t s = 0; s < all.size(); ++s) {
        const Series& series = all[s];
        const char* colour = Colours[s % (sizeof Colours / sizeof *Colours)];
        // A step for each press: the share rises at its latency.
        svg << "<polyline fill=\"none\" stroke=\"" << colour << "\" stroke-width=\"2\" points=\"" << x(0) << ","
            << y(0);
        const double n = static_cast<double>(series.latencies.size());
        for (std::size_t i = 0; i < series.latencies.size(); ++i) {
            const double at = x(series.latencies[i]);
            svg << " " << at << "," << y(static_cast<double>(i) / n) << " " << at << ","
                << y(static_cast<double>(i + 1) / n);
        }
        svg << " " << x(xMax) << "," << y(1) << "\"/>\n";
        svg << "<line x1=\"" << x(series.bound) << "\" y1=\"" << y(0) << "\" x2=\"" << x(series.bound)
            << "\" y2=\"" << y(1) << "\" stroke=\"" << colour << "\" stroke-dasharray=\"6 4\"/>\n";
        const double legend = legendTop + 18.0 * static_cast<double>(s);
        svg << "<line x1=\"" << left << "\" y1=\"" << legend - 4 << "\" x2=\"" << left + 20 << "\" y2=\""
            << legend - 4 << "\" stroke=\"" << colour << "\" stroke-width=\"2\"/>\n"
            << "<text x=\"" << left + 26 << "\" y=\"" << legend << "\">" << series.label << ", "
            << series.latencies.size() << " presses; the design bound " << series.bound << " ms dashed</text>\n";
    }
    svg << "</svg>\n";

    std::ofstream out(argv[1]);
    out << svg.str();
    return out.good() ? 0 : 1;
}
