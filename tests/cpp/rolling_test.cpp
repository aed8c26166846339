// A rolling run shares work between its windows; each of its windows must
// still be exactly the window analysed alone over the same bounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "fhr_core/analysis/analysis.hpp"
#include "fhr_core/csv_input.hpp"

namespace fhr_core {
namespace {

// Every field of a window, floats to the bit (hexadecimal), events included.
std::string exact_text(const WindowAnalysis& w) {
    std::string out;
    const auto number = [&](double value) {
        char text[48];
        std::snprintf(text, sizeof text, "%a ", value);
        out += text;
    };
    const auto optional = [&](const auto& value) {
        if (value) number(static_cast<double>(*value));
        else out += "- ";
    };
    const auto word = [&](std::string_view text) {
        out += text;
        out += ' ';
    };
    word(w.window_start), word(w.window_end), number(w.duration_seconds);
    word(to_text(w.classification)), word(to_text(w.alert_level));
    optional(w.baseline_bpm), optional(w.variability_bpm);
    word(w.baseline_class ? to_text(*w.baseline_class) : "-");
    word(w.variability_class ? to_text(*w.variability_class) : "-");
    const WindowFeatures& f = w.features;
    for (const auto* value : {&f.fetal_hr_min_bpm, &f.fetal_hr_p05_bpm, &f.fetal_hr_mean_bpm, &f.fetal_hr_median_bpm,
                              &f.fetal_hr_p95_bpm, &f.fetal_hr_max_bpm, &f.fetal_hr_std_dev_bpm,
                              &f.baseline_delta_mean_bpm, &f.deepest_deceleration_nadir_bpm,
                              &f.max_deceleration_depth_bpm, &f.toco_mean, &f.toco_max, &f.maternal_hr_mean_bpm,
                              &f.fetal_maternal_mean_difference_bpm}) {
        optional(*value);
    }
    for (const std::uint64_t count : {f.fetal_hr_seconds_below_110, f.fetal_hr_seconds_110_to_160,
                                      f.fetal_hr_seconds_above_160, f.acceleration_count, f.deceleration_count,
                                      f.prolonged_deceleration_count, f.contraction_count,
                                      w.data_quality.expected_seconds, w.data_quality.raw_samples}) {
        word(std::to_string(count));
    }
    for (const double value : {f.fetal_hr_percent_below_110, f.fetal_hr_percent_110_to_160,
                               f.fetal_hr_percent_above_160, f.total_deceleration_seconds, f.contractions_per_10_min,
                               w.data_quality.fetal_usable_ratio, w.data_quality.maternal_usable_ratio,
                               w.data_quality.toco_usable_ratio, w.data_quality.suspected_maternal_capture_ratio,
                               w.toco_summary.contractions_per_10_min}) {
        number(value);
    }
    optional(w.toco_summary.tachysystole);
    for (const ContractionEvent& c : w.toco_summary.contractions) {
        word(c.start), word(c.peak), word(c.end), number(c.duration_seconds), number(c.peak_toco);
    }
    for (const AccelerationEvent& a : w.accelerations) {
        word(a.start), word(a.end), number(a.duration_seconds), number(a.peak_bpm);
    }
    for (const DecelerationEvent& d : w.decelerations) {
        word(d.start), word(d.end), number(d.duration_seconds), number(d.nadir_bpm), number(d.depth_bpm);
        number(d.time_to_nadir_seconds), word(std::to_string(static_cast<int>(d.kind)));
    }
    for (const auto* list : {&w.reasons, &w.high_risk_features, &w.protective_features, &w.limitations}) {
        for (std::string_view text : *list) word(text);
        out += "| ";
    }
    return out;
}

void expect_windows_as_alone(const InputData& data, const AnalysisSettings& settings, const std::string& name) {
    const AnalysisReport report = analyze_rolling_windows(data, settings);
    const std::vector<WindowBounds> plan =
        plan_windows(data.samples.front().timestamp_ms, data.samples.back().timestamp_ms, settings);
    ASSERT_EQ(report.windows.size(), plan.size()) << name;
    for (std::size_t i = 0; i < plan.size(); ++i) {
        const WindowAnalysis alone = analyze_window(data.all(), settings, plan[i].start_ms, plan[i].end_ms);
        ASSERT_EQ(exact_text(report.windows[i]), exact_text(alone)) << name << ", window " << i;
    }
}

struct Deterministic {  // 64-bit LCG, high bits
    std::uint64_t state;
    double uniform() noexcept {  // in [0, 1)
        state = state * 6364136223846793005u + 1442695040888963407u;
        return static_cast<double>(state >> 11) / 9007199254740992.0;
    }
};

// A monitor export of `minutes` at about 4 Hz from a time `offset_ms` past a
// whole second: times jittered within their quarter second, two gaps (3
// minutes and 15 seconds), a repeated time every 53 rows, an early row written
// after its successor every 97 rows, signal losses written as 0 or left
// empty, contractions with decelerations after them and a tachycardic hour
// part. HR1 and HR2 differ so that the channel matters.
std::string irregular_export(int minutes, int offset_ms, std::uint64_t seed) {
    Deterministic noise{seed};
    std::vector<std::string> rows;
    char line[160];
    const int quarters = minutes * 240;
    for (int i = 0; i < quarters; ++i) {
        const double t = i / 4.0;
        if ((t >= 900.0 && t < 1080.0) || (t >= 1500.0 && t < 1515.0)) continue;
        const std::int64_t ms = offset_ms + i * 250 + static_cast<int>(noise.uniform() * 40.0);
        const double phase = std::fmod(t, 190.0);
        const double contraction = phase > 20.0 && phase < 90.0 ? 50.0 * std::sin((phase - 20.0) / 70.0 * M_PI) : 0.0;
        const double late = phase > 60.0 && phase < 130.0 ? -25.0 * std::sin((phase - 60.0) / 70.0 * M_PI) : 0.0;
        const double level = t > 2400.0 ? 172.0 : 138.0;
        const double fetal = level + 6.0 * std::sin(t / 9.0) + 3.0 * noise.uniform() + late;
        const double lost = noise.uniform();
        char hr1[24] = "";
        if (lost > 0.04) std::snprintf(hr1, sizeof hr1, "%.2f", fetal);
        else if (lost > 0.02) std::snprintf(hr1, sizeof hr1, "0");
        std::snprintf(line, sizeof line, "2024-03-01 %02lld:%02lld:%02lld.%03lld,%s,%.1f,,%.1f,%.1f\n",
                      static_cast<long long>(9 + ms / 3600000), static_cast<long long>(ms / 60000 % 60),
                      static_cast<long long>(ms / 1000 % 60), static_cast<long long>(ms % 1000), hr1, fetal - 11.0,
                      84.0 + 3.0 * noise.uniform(), 10.0 + contraction + noise.uniform());
        rows.emplace_back(line);
        if (i % 53 == 0) rows.push_back(rows.back());
        if (i % 97 == 0 && rows.size() >= 2) std::iter_swap(rows.end() - 1, rows.end() - 2);
    }
    std::string text = "Date,HR1,HR2,HR3,HRM,TOCO\n";
    for (const std::string& row : rows) text += row;
    return text;
}

AnalysisSettings rolling(std::uint32_t minutes, std::uint32_t step_seconds,
                         FetalChannel channel = FetalChannel::HR1) {
    AnalysisSettings settings;
    settings.window_minutes = minutes;
    settings.step_seconds = step_seconds;
    settings.channel = channel;
    return settings;
}

struct Mode {
    const char* name;
    AnalysisSettings settings;
};

TEST(RollingWindows, EveryWindowIsTheWindowAnalysedAlone) {
    const Mode modes[] = {
        {"10 min / 60 s", rolling(10, 60)},
        {"10 min / 1 s", rolling(10, 1)},
        {"10 min / 7 s", rolling(10, 7)},
        {"30 min / 61 s, HR2", rolling(30, 61, FetalChannel::HR2)},
        {"17 min / 600 s", rolling(17, 600)},
        {"10 min / 1500 s: windows apart", rolling(10, 1500)},
        {"0 min / 7 s: single instants", rolling(0, 7)},
    };
    for (const auto& [minutes, offset_ms] : {std::pair{55, 0}, std::pair{55, 637}, std::pair{12, 999}}) {
        const std::string text = irregular_export(minutes, offset_ms, 7 + static_cast<std::uint64_t>(offset_ms));
        const Result<InputData> data = read_monitor_csv_str(text);
        ASSERT_TRUE(data) << data.error();
        ASSERT_GT(data->out_of_order_rows, 0u);
        ASSERT_GT(data->duplicate_timestamps, 0u);
        for (const Mode& mode : modes) {
            expect_windows_as_alone(*data, mode.settings,
                                    std::to_string(minutes) + " min from +" + std::to_string(offset_ms) + " ms, " +
                                        mode.name);
        }
    }
}

TEST(RollingWindows, RealRecordingsAsAlone) {
    const std::filesystem::path folder = std::filesystem::path(PULSEQUILL_SHARED_DATA) / "ctu-uhb";
    if (!std::filesystem::is_directory(folder)) GTEST_SKIP() << "no recordings in " << folder;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().extension() == ".csv") files.push_back(entry.path());
    }
    std::ranges::sort(files);
    files.resize(std::min<std::size_t>(files.size(), 4));
    for (const std::filesystem::path& file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        const Result<InputData> data = read_monitor_csv_str(text);
        ASSERT_TRUE(data) << file << ": " << data.error();
        for (const Mode& mode : {Mode{"30 min / 60 s", rolling(30, 60)}, Mode{"10 min / 13 s", rolling(10, 13)}}) {
            expect_windows_as_alone(*data, mode.settings, file.filename().string() + ", " + mode.name);
        }
    }
}

}  // namespace
}  // namespace fhr_core
