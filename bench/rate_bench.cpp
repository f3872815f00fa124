// What the rate limit adds to a run: the wall time of its step (open and
// lock the state file, read, check, write back, unlock), measured inside
// each of N processes that all take the step at the same moment, as N
// concurrent submissions would. Prints median, 90th percentile and maximum
// per case; the goal is a median under 1 ms with 200 at once.
//
//   rate_bench [N]      (default 200)

#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/program.h"
#include "guard/rate.h"
#include "config/settings.h"

namespace {

long long now_ns() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

Settings bench_settings;

// A state file holding `entries` recent entries of other clients.
void prepare_state(const std::string& path, int entries) {
  unlink(path.c_str());
  if (entries == 0) return;
  static RateHeader header;
  static RateSlot slots[kRateMaxEntries];
  rate_header_start(&header);
  long long now = time(nullptr);
  for (int i = 0; i < entries; ++i) {
    slots[i] = rate_slot_make(0x9e3779b97f4a7c15ULL * static_cast<unsigned>(i + 1), now, 600);
  }
  header.next_slot = static_cast<uint32_t>(entries % kRateMaxEntries);
  header.checksum = rate_header_terms(header) +
                    rate_terms(slots, sizeof header / 8, 2 * kRateMaxEntries);
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr || fwrite(&header, 1, sizeof header, file) != sizeof header ||
      fwrite(slots, 1, sizeof slots, file) != sizeof slots) {
    perror(path.c_str());
    exit(1);
  }
  fclose(file);
}

// Runs the step in `processes` children released together; returns each
// one's wall time in microseconds. `same_client`: all from one address
// (most are refused and write nothing), else each from its own.
std::vector<double> concurrent_step(int processes, bool same_client, int first = 0) {
  int gate[2];
  int results[2];
  if (pipe(gate) != 0 || pipe(results) != 0) {
    perror("pipe");
    exit(1);
  }
  for (int i = 0; i < processes; ++i) {
    pid_t pid = fork();
    if (pid < 0) {
      perror("fork");
      exit(1);
    }
    if (pid == 0) {
      close(gate[1]);
      char byte;
      (void)!read(gate[0], &byte, 1);  // returns at the parent's close
      int n = first + i;
      char address[32];
      snprintf(address, sizeof address, "10.%d.%d.%d", (n >> 16) & 255, (n >> 8) & 255,
               n & 255);
      const char* client = same_client ? "192.0.2.1" : address;
      long long start = now_ns();
      rate_limit_allows(bench_settings, client);
      long long took = now_ns() - start;
      (void)!write(results[1], &took, sizeof took);
      _exit(0);
    }
  }
  close(gate[0]);
  close(results[1]);
  close(gate[1]);  // releases every child at once
  std::vector<double> times;
  long long took;
  while (read(results[0], &took, sizeof took) == static_cast<ssize_t>(sizeof took)) {
    times.push_back(static_cast<double>(took) / 1000.0);
  }
  close(results[0]);
  while (wait(nullptr) > 0) {
  }
  return times;
}

void print_case(const char* label, std::vector<double> times) {
  std::sort(times.begin(), times.end());
  size_t n = times.size();
  std::printf("%-52s %4zu %9.1f %9.1f %9.1f\n", label, n, times[n / 2],
              times[(n - 1) * 9 / 10], times[n - 1]);
}

}  // namespace

int main(int argc, char** argv) {
  int processes = argc > 1 ? atoi(argv[1]) : 200;
  if (processes < 1 || processes > 5000) {
    fprintf(stderr, "usage: rate_bench [N from 1 to 5000]\n");
    return 2;
  }
  char dir[] = "/tmp/quillon-rate-bench-XXXXXX";
  if (mkdtemp(dir) == nullptr) {
    perror("mkdtemp");
    return 1;
  }
  std::string state = std::string(dir) + "/quillon.rate";
  std::string log = std::string(dir) + "/quillon.log";
  snprintf(g_program.rate_path, kPathAreaSize, "%s", state.c_str());
  g_log.path = log.c_str();
  bench_settings.rate_limit_count = 5;
  bench_settings.rate_limit_minutes = 10;

  std::printf("rate_limit 5/10: wall time of the rate step per run, in microseconds\n");
  std::printf("%-52s %4s %9s %9s %9s\n", "case", "runs", "median", "p90", "max");
  const struct {
    int entries;
    bool at_once;
    bool same_client;
    const char* label;
  } cases[] = {
      {0, false, false, "one at a time, each its own address"},
      {0, true, false, "all at once, each its own address"},
      {0, true, true, "all at once, one address (5 sent)"},
      {9000, false, false, "one at a time, each its own, 9000 entries already"},
      {9000, true, false, "all at once, each its own, 9000 entries already"},
  };
  for (const auto& c : cases) {
    prepare_state(state, c.entries);
    std::vector<double> times;
    if (c.at_once) {
      times = concurrent_step(processes, c.same_client);
    } else {
      for (int i = 0; i < processes; ++i) {
        std::vector<double> one = concurrent_step(1, c.same_client, i);
        times.insert(times.end(), one.begin(), one.end());
      }
    }
    print_case(c.label, times);
  }
  std::string cleanup = std::string("rm -rf '") + dir + "'";
  return system(cleanup.c_str()) == 0 ? 0 : 1;
}
