// N RTSP sessions in one process, as the viewer runs them: one RtspClient per
// stream, each access unit moved into a small locked queue (a tile's queue,
// emptied here as the render thread would swap it out). After the run prints
// the process's resident memory, its CPU time and what arrived, as RESULT
// lines for bench/bench_rtsp_cpu.py.
//
//   multiclient_bench [--seconds 60] [--streams N] URL [URL...]
//
// With --streams N and fewer URLs the URLs are used in turn.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "rtsp/rtsp_client.h"

namespace {

struct Tile {
  std::mutex lock;
  std::vector<std::vector<uint8_t>> queue;
  std::atomic<uint64_t> units{0};
  std::atomic<uint64_t> bytes{0};
};

long StatusKb(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const size_t n = std::strlen(key);
  while (std::getline(in, line)) {
    if (line.compare(0, n, key) == 0) return std::atol(line.c_str() + n);
  }
  return -1;
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 60;
  size_t streams = 0;
  std::vector<std::string> urls;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else if (std::strcmp(argv[i], "--streams") == 0 && i + 1 < argc) {
      streams = static_cast<size_t>(std::max(1, std::atoi(argv[++i])));
    } else {
      urls.push_back(argv[i]);
    }
  }
  if (urls.empty()) {
    std::fprintf(stderr, "usage: multiclient_bench [--seconds S] [--streams N] URL [URL...]\n");
    return 2;
  }
  if (streams == 0) streams = urls.size();

  const long rssBefore = StatusKb("VmRSS:");
  std::vector<std::unique_ptr<Tile>> tiles;
  std::vector<std::unique_ptr<RtspClient>> clients;
  for (size_t i = 0; i < streams; ++i) {
    tiles.push_back(std::make_unique<Tile>());
    clients.push_back(std::make_unique<RtspClient>());
    Tile* tile = tiles.back().get();
    clients.back()->Start(
        urls[i % urls.size()],
        [tile](std::vector<uint8_t>&& unit, int64_t) {
          tile->units.fetch_add(1);
          tile->bytes.fetch_add(unit.size());
          std::lock_guard<std::mutex> lock(tile->lock);
          tile->queue.push_back(std::move(unit));
        },
        nullptr, nullptr);
  }

  // The "render thread": swaps every queue out 60 times a second and drops the units.
  const auto start = std::chrono::steady_clock::now();
  const auto end = start + std::chrono::duration<double>(seconds);
  std::vector<std::vector<uint8_t>> taken;
  while (std::chrono::steady_clock::now() < end) {
    for (auto& tile : tiles) {
      {
        std::lock_guard<std::mutex> lock(tile->lock);
        taken.swap(tile->queue);
      }
      taken.clear();
    }
    std::this_thread::sleep_for(std::chrono::microseconds(16667));
  }
  const long rss = StatusKb("VmRSS:");
  const long hwm = StatusKb("VmHWM:");
  const double cpu = CpuSeconds();
  for (auto& client : clients) client->Stop();

  uint64_t units = 0, bytes = 0;
  size_t silent = 0;
  for (auto& tile : tiles) {
    units += tile->units.load();
    bytes += tile->bytes.load();
    if (tile->units.load() == 0) ++silent;
  }
  std::printf("%zu streams, %.0f s: %llu access units, %.1f MB, %zu streams without data\n",
              streams, seconds, static_cast<unsigned long long>(units),
              static_cast<double>(bytes) / 1e6, silent);
  std::printf(
      "RSS %ld kB (before the clients %ld kB, peak %ld kB), CPU %.2f s = %.3f s per "
      "stream-minute\n",
      rss, rssBefore, hwm, cpu, cpu / (static_cast<double>(streams) * seconds / 60.0));
  std::printf(
      "RESULT streams %zu\nRESULT rss_kb %ld\nRESULT hwm_kb %ld\nRESULT cpu_s %.3f\n"
      "RESULT units %llu\nRESULT silent %zu\n",
      streams, rss, hwm, cpu, static_cast<unsigned long long>(units), silent);
  return silent == 0 ? 0 : 1;
}
