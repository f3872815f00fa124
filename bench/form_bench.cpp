// Times the decoding of form bodies of growing size. The largest is the
// biggest body a run accepts: 100000 bytes in 1000 pairs. Time per decode
// should grow with the body, not with its square.
//
//   ninja -C build bench_form && build/bench_form

#include <chrono>
#include <cstdio>
#include <string>

#include "form/form.h"

namespace {

// `pairs` pairs like "n0042=...%41...&", `size` bytes in all.
std::string make_body(int pairs, int size) {
  std::string body;
  int pair_size = size / pairs;
  for (int i = 0; i < pairs; ++i) {
    char name[16];
    snprintf(name, sizeof name, "n%04d=", i);
    std::string pair = name;
    while (static_cast<int>(pair.size()) < pair_size - 4) pair += "a+%41";
    pair.resize(pair_size - 1, 'z');
    body += pair + "&";
  }
  return body;
}

FormTable table{};

double microseconds_per_decode(const std::string& body, int rounds) {
  using Clock = std::chrono::steady_clock;
  double best = 1e30;
  // The best of several batches: the figure least disturbed by other work
  // on the machine.
  for (int batch = 0; batch < 5; ++batch) {
    Clock::time_point start = Clock::now();
    for (int i = 0; i < rounds; ++i) {
      form_free(&table);
      form_decode(&table, body.data(), body.size());
    }
    std::chrono::duration<double, std::micro> spent = Clock::now() - start;
    if (spent.count() / rounds < best) best = spent.count() / rounds;
  }
  return best;
}

}  // namespace

int main() {
  const struct {
    int pairs;
    int size;
  } shapes[] = {{10, 1000}, {100, 10000}, {1000, 100000}};
  printf("%8s %8s %14s %12s\n", "pairs", "bytes", "us/decode", "ns/byte");
  for (const auto& shape : shapes) {
    std::string body = make_body(shape.pairs, shape.size);
    double us = microseconds_per_decode(body, 200000 / shape.pairs);
    if (table.count != shape.pairs) {
      fprintf(stderr, "decoded %d pairs, expected %d\n", table.count, shape.pairs);
      return 1;
    }
    printf("%8d %8zu %14.1f %12.2f\n", shape.pairs, body.size(), us,
           us * 1000.0 / static_cast<double>(body.size()));
  }
  form_free(&table);
  return 0;
}
