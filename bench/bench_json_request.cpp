// Reading speed of the JSON analysis request: a generated request of 100,000
// samples (about seven hours at 4 Hz, the shape monitoring systems send) read
// into samples again and again. Prints megabytes and samples per second.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

#include "fhr_core/json_input.hpp"

namespace {

// Times written as "2024-03-01T08:00:00.250Z", values with two decimals, a
// sample every 250 ms, all five values present.
std::string generated_request(int samples) {
    std::string text = R"({"episode_id":"bench-1","sent_at":"2024-03-01T16:00:00Z","samples":[)";
    char line[256];
    for (int i = 0; i < samples; ++i) {
        const long ms = 250L * i;
        const long second = ms / 1000;
        const int hour = 8 + static_cast<int>(second / 3600) % 16;
        const int minute = static_cast<int>(second / 60 % 60);
        const int sec = static_cast<int>(second % 60);
        const double fetal = 140.0 + (i * 37 % 200) / 20.0 - 5.0;
        const double maternal = 82.0 + (i * 13 % 80) / 20.0;
        const double toco = 12.0 + (i * 7 % 50) / 10.0;
        std::snprintf(line, sizeof line,
                      R"(%s{"t":"2024-03-01T%02d:%02d:%02d.%03ldZ","hr1":%.2f,"hr2":null,"hrm":%.2f,"toco":%.2f})",
                      i == 0 ? "" : ",", hour, minute, sec, ms % 1000, fetal, maternal, toco);
        text += line;
    }
    text += R"(],"analysis_options":{"fetal_channel":"HR1"},"metadata":{"gestational_age_weeks":39}})";
    return text;
}

}  // namespace

int main() {
    constexpr int samples = 100'000;
    constexpr int rounds = 20;
    const std::string request = generated_request(samples);

    // On a shared machine processor time is the steadier figure; the rates use it.
    double best_cpu = 1e9;
    double best_wall = 1e9;
    std::size_t read = 0;
    for (int round = 0; round < rounds; ++round) {
        const std::clock_t cpu_start = std::clock();
        const auto wall_start = std::chrono::steady_clock::now();
        const auto input = fhr_core::read_analysis_request_json(request);
        const auto wall_stop = std::chrono::steady_clock::now();
        const std::clock_t cpu_stop = std::clock();
        if (!input) {
            std::fprintf(stderr, "request refused: %s\n", input.error().c_str());
            return 1;
        }
        read = input->data.samples.size();
        best_cpu = std::min(best_cpu, static_cast<double>(cpu_stop - cpu_start) / CLOCKS_PER_SEC);
        best_wall = std::min(best_wall, std::chrono::duration<double>(wall_stop - wall_start).count());
    }
    const double megabytes = static_cast<double>(request.size()) / 1e6;
    std::printf("request: %.2f MB, %zu samples\n", megabytes, read);
    std::printf("fastest of %d: %.2f ms processor, %.2f ms wall\n", rounds, best_cpu * 1e3, best_wall * 1e3);
    std::printf("%.0f MB/s, %.2f million samples/s\n", megabytes / best_cpu, static_cast<double>(read) / best_cpu / 1e6);
    return 0;
}
