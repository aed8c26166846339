// Reading alone, in the core: CSV exports or JSON analysis requests, each read
// from memory `repeats` times. Prints one line of JSON with the sums over the
// files of each file's median wall and processor time in seconds, the text
// size and the sample count, for bench/run.py to turn into MB/s.
//
//     bench_read csv|json REPEATS FILE...
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "fhr_core/csv_input.hpp"
#include "fhr_core/json_input.hpp"

namespace {

// Samples read, or -1 when the read failed (the message goes to stderr).
long long read_once(std::string_view kind, std::string_view text) {
    if (kind == "csv") {
        const auto data = fhr_core::read_monitor_csv_str(text);
        if (!data) {
            std::fprintf(stderr, "%s\n", data.error().c_str());
            return -1;
        }
        return static_cast<long long>(data->samples.size());
    }
    const auto request = fhr_core::read_analysis_request_json(text);
    if (!request) {
        std::fprintf(stderr, "%s\n", request.error().c_str());
        return -1;
    }
    return static_cast<long long>(request->data.samples.size());
}

struct Timing {
    double median_s = 0.0;      // wall time
    double median_cpu_s = 0.0;  // processor time of the process
    long long samples = 0;
};

double median_of(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

bool time_reads(std::string_view kind, std::string_view text, int repeats, Timing& total) {
    std::vector<double> wall, cpu;
    long long samples = 0;
    for (int i = 0; i < repeats; ++i) {
        const std::clock_t cpu_start = std::clock();
        const auto start = std::chrono::steady_clock::now();
        samples = read_once(kind, text);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        cpu.push_back(static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC);
        if (samples < 0) return false;
        wall.push_back(took.count());
    }
    total.median_s += median_of(wall);
    total.median_cpu_s += median_of(cpu);
    total.samples += samples;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4 || (std::string_view(argv[1]) != "csv" && std::string_view(argv[1]) != "json")) {
        std::fprintf(stderr, "usage: bench_read csv|json REPEATS FILE...\n");
        return 2;
    }
    const int repeats = std::max(1, std::atoi(argv[2]));
    Timing total;
    std::size_t bytes = 0;
    for (int i = 3; i < argc; ++i) {
        std::ifstream file(argv[i], std::ios::binary);
        const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
        bytes += text.size();
        if (!time_reads(argv[1], text, repeats, total)) return 1;
    }
    std::printf("{\"median_s\": %.9f, \"median_cpu_s\": %.9f, \"bytes\": %zu, \"samples\": %lld}\n",
                total.median_s, total.median_cpu_s, bytes, total.samples);
    return 0;
}
