// The whole pipeline, stage by stage: CSV read, chunk analysis, rolling
// 30-minute / 60-second analysis and report writing, over a generated
// day-long 4 Hz recording and over the real recordings when they are present.
//
//     bench_pipeline [repeats]
//     bench_pipeline --csv > day.csv     (writes the generated recording)
//
// Each figure is the fastest of `repeats` runs (default 3): the machine is
// shared, and the fastest run is the one least disturbed by other work.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "fhr_core/analysis/analysis.hpp"
#include "fhr_core/csv_input.hpp"

namespace {

using fhr_core::AnalysisReport;
using fhr_core::AnalysisSettings;
using fhr_core::InputData;

// A small deterministic generator (64-bit LCG, high bits), so that every run
// benchmarks the same text.
struct Noise {
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    double uniform() noexcept {  // in [-1, 1)
        state = state * 6364136223846793005u + 1442695040888963407u;
        return static_cast<double>(state >> 11) / 4503599627370496.0 - 1.0;
    }
};

// Raised-cosine bump of `depth` over `length` seconds starting at `start`.
double bump(double t, double start, double length, double depth) {
    if (t < start || t > start + length) return 0.0;
    return depth * 0.5 * (1.0 - std::cos(2.0 * M_PI * (t - start) / length));
}

// A day at 4 Hz from 2024-03-01 00:00:00: fetal rate wandering around 140 bpm
// with an acceleration every 13 minutes and a deceleration after every third
// contraction, maternal rate near 82 bpm, contractions every 3.5 minutes, and
// a 20-second signal loss every 47 minutes.
std::string generate_day_csv() {
    constexpr int hz = 4;
    constexpr int rows = 24 * 3600 * hz + 1;
    std::string text = "Date,HR1,HR2,HR3,HRM,TOCO\n";
    text.reserve(static_cast<std::size_t>(rows) * 48);
    Noise noise;
    char line[128];
    for (int i = 0; i < rows; ++i) {
        const double t = static_cast<double>(i) / hz;
        const int ms = (i % hz) * (1000 / hz);
        const int s = i / hz;
        const int day = 1 + s / 86400;
        const double contraction_phase = std::fmod(t, 210.0);
        const double toco = 12.0 + 0.5 * noise.uniform() + bump(contraction_phase, 20.0, 80.0, 45.0);
        double fetal = 140.0 + 4.0 * std::sin(2.0 * M_PI * t / 17.0) + 1.5 * noise.uniform() +
                       bump(std::fmod(t, 780.0), 100.0, 40.0, 22.0);
        if (static_cast<long>(t / 210.0) % 3 == 0) fetal += bump(contraction_phase, 50.0, 70.0, -30.0);
        const double maternal = 82.0 + 2.0 * std::sin(2.0 * M_PI * t / 43.0);
        const bool lost = std::fmod(t, 2820.0) < 20.0;
        int n = std::snprintf(line, sizeof line, "2024-03-%02d %02d:%02d:%02d.%03d,", day, s / 3600 % 24, s / 60 % 60,
                              s % 60, ms);
        if (!lost) n += std::snprintf(line + n, sizeof line - n, "%.2f", fetal);
        n += std::snprintf(line + n, sizeof line - n, ",,,%.2f,%.1f\n", maternal, toco);
        text.append(line, static_cast<std::size_t>(n));
    }
    return text;
}

// Processor time of this process and wall time, in milliseconds. On a shared
// machine the processor time is the steadier figure: it leaves out the time
// spent waiting for a core.
struct Timing {
    double cpu_ms = 0;
    double wall_ms = 0;
    Timing& operator+=(const Timing& other) {
        cpu_ms += other.cpu_ms;
        wall_ms += other.wall_ms;
        return *this;
    }
};

double cpu_now_ms() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// The fastest of at least `repeats` runs; cheap stages run more often (up to
// half a second in all) so that their best run is a fair one.
Timing best_of(int repeats, const std::function<void()>& run) {
    Timing best{1e300, 1e300};
    double spent_ms = 0;
    for (int r = 0; r < repeats || (spent_ms < 500 && r < 200); ++r) {
        const auto wall_start = std::chrono::steady_clock::now();
        const double cpu_start = cpu_now_ms();
        run();
        const double cpu_ms = cpu_now_ms() - cpu_start;
        const std::chrono::duration<double, std::milli> wall = std::chrono::steady_clock::now() - wall_start;
        best.cpu_ms = std::min(best.cpu_ms, cpu_ms);
        best.wall_ms = std::min(best.wall_ms, wall.count());
        spent_ms += wall.count();
    }
    return best;
}

AnalysisSettings chunk_settings() { return AnalysisSettings{}; }

AnalysisSettings rolling_settings() {
    AnalysisSettings settings;
    settings.window_minutes = 30;
    settings.step_seconds = 60;
    return settings;
}

// Figures of one set of recordings, summed over its texts.
struct Figures {
    std::size_t input_bytes = 0;
    std::size_t rows = 0;
    std::size_t rolling_windows = 0;
    std::size_t report_bytes = 0;
    Timing read, chunk, rolling, write;
};

void measure(const std::string& text, int repeats, Figures& figures) {
    figures.input_bytes += text.size();
    std::size_t sink = 0;

    auto data = fhr_core::read_monitor_csv_str(text);
    if (!data) {
        std::fprintf(stderr, "the reader refused the text: %s\n", data.error().c_str());
        std::exit(1);
    }
    figures.rows += data->samples.size();
    figures.read += best_of(repeats, [&] { sink += fhr_core::read_monitor_csv_str(text)->samples.size(); });

    figures.chunk += best_of(repeats, [&] {
        sink += fhr_core::analyze_rolling_windows(*data, chunk_settings()).windows.size();
    });

    AnalysisReport rolling;
    figures.rolling += best_of(repeats, [&] { rolling = fhr_core::analyze_rolling_windows(*data, rolling_settings()); });
    figures.rolling_windows += rolling.windows.size();

    std::string report;
    figures.write += best_of(repeats, [&] { report = fhr_core::report_as_json(rolling); });
    figures.report_bytes += report.size();
    if (sink == 0) std::fprintf(stderr, "(nothing analysed)\n");
}

void print(const char* title, std::size_t recordings, const Figures& f) {
    const double input_mb = static_cast<double>(f.input_bytes) / 1e6;
    const double report_mb = static_cast<double>(f.report_bytes) / 1e6;
    const auto per_second = [](double amount, const Timing& t) { return amount / (t.cpu_ms / 1e3); };
    std::printf("%s: %zu recording(s), %zu rows, %.1f MB of CSV\n", title, recordings, f.rows, input_mb);
    std::printf("  %-26s %9s %9s\n", "stage", "cpu ms", "wall ms");
    std::printf("  %-26s %9.1f %9.1f  %7.1f MB/s  %9.0f rows/s\n", "CSV read", f.read.cpu_ms, f.read.wall_ms,
                per_second(input_mb, f.read), per_second(static_cast<double>(f.rows), f.read));
    std::printf("  %-26s %9.1f %9.1f  %zu window(s)\n", "chunk analysis", f.chunk.cpu_ms, f.chunk.wall_ms,
                recordings);
    std::printf("  %-26s %9.1f %9.1f  %7.1f windows/s  (%zu windows)\n", "rolling 30 min / 60 s",
                f.rolling.cpu_ms, f.rolling.wall_ms, per_second(static_cast<double>(f.rolling_windows), f.rolling),
                f.rolling_windows);
    std::printf("  %-26s %9.1f %9.1f  %7.1f MB/s  (%.1f MB of JSON)\n", "report writing (rolling)", f.write.cpu_ms,
                f.write.wall_ms, per_second(report_mb, f.write), report_mb);
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

}  // namespace

int main(int argc, char** argv) {
    const std::string day = generate_day_csv();
    if (argc > 1 && std::string_view(argv[1]) == "--csv") {
        std::fwrite(day.data(), 1, day.size(), stdout);
        return 0;
    }
    const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;

    Figures generated;
    measure(day, repeats, generated);
    print("generated day at 4 Hz", 1, generated);

    const std::filesystem::path folder = std::filesystem::path(PULSEQUILL_SHARED_DATA) / "ctu-uhb";
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        if (entry.path().extension() == ".csv") files.push_back(entry.path());
    }
    if (files.empty()) {
        std::printf("real recordings: none found in %s\n", folder.c_str());
        return 0;
    }
    std::sort(files.begin(), files.end());
    Figures real;
    for (const auto& path : files) measure(read_file(path), repeats, real);
    print("real recordings (ctu-uhb)", files.size(), real);
    return 0;
}
