#pragma once

#include <chrono>
#include <optional>
#include <vector>

// Measurements shared by the benchmarks.
namespace Benchmark {

using Clock = std::chrono::steady_clock;

struct Summary {
    double median { 0 };
    double mean { 0 };
};

Summary summarize(std::vector<double> microseconds);
double microsecondsSince(Clock::time_point start);

// Round trips of a Darwin notification between this process and a forked one on the current device:
// post "bench.ping", wait for the other's "bench.pong". In microseconds, after a warm-up; null when the
// other process stops answering. Call it before this process observes anything, so that the child
// starts without observers of its own.
std::optional<std::vector<double>> measureNotificationRoundTrips(int roundTrips);

// Round trips of one byte over a Unix datagram socket pair between this process and a forked one, in
// microseconds after a warm-up: the floor any message between two processes stands on.
std::optional<std::vector<double>> measureRawDatagramRoundTrips(int roundTrips);

} // namespace Benchmark
