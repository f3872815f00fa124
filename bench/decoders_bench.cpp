// Times the multipart decoder on one file part of 1 MB and of 20 MB (the
// largest upload a run takes) and shows the heap it holds while the sink
// sees the file. Time per MB should stay about flat as the body grows (the
// 20 MB body leaves the caches, so memory speed sets its figure), and the
// heap should not grow with the file: its bytes are handed over in place.
//
//   ninja -C build bench_decoders && build/bench_decoders

#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>

#include "form/multipart.h"

namespace {

size_t g_peak_heap;
size_t g_base_heap;
size_t g_file_size;

void note_heap() {
  size_t used = mallinfo2().uordblks;
  if (used > g_base_heap && used - g_base_heap > g_peak_heap) g_peak_heap = used - g_base_heap;
}

void on_text(void*, const char*, size_t, const char*, size_t) { note_heap(); }
void on_file(void*, const MultipartFile* file) {
  g_file_size = file->size;
  note_heap();
}
void on_warning(void*, const char*) {}

// A text field and a file of `size` random bytes, with line ends and
// boundary-like lines among them as real files have.
std::string make_body(size_t size) {
  std::mt19937 random(42);
  std::string file(size, '\0');
  for (char& c : file) c = static_cast<char>(random());
  for (size_t at = 1000; at + 20 < size; at += 4096) file.replace(at, 12, "\r\n--XyZabc\r\n");
  return "--XyZ\r\nContent-Disposition: form-data; name=\"note\"\r\n\r\nhello\r\n"
         "--XyZ\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.bin\"\r\n"
         "Content-Type: application/octet-stream\r\n\r\n" +
         file + "\r\n--XyZ--\r\n";
}

}  // namespace

int main() {
  printf("%10s %12s %10s %14s\n", "file MB", "ms/decode", "ms/MB", "heap bytes");
  for (size_t mb : {1, 20}) {
    std::string body = make_body(mb * 1024 * 1024);
    MultipartSink sink = {on_text, on_file, on_warning, nullptr};
    double best = 1e30;
    g_peak_heap = 0;
    for (int round = 0; round < 5; ++round) {
      g_base_heap = mallinfo2().uordblks;
      auto start = std::chrono::steady_clock::now();
      MultipartResult result;
      if (!multipart_decode(body.data(), body.size(), "XyZ", 1000, SIZE_MAX, &sink, &result) ||
          g_file_size != mb * 1024 * 1024) {
        fprintf(stderr, "decoding failed\n");
        return 1;
      }
      std::chrono::duration<double, std::milli> spent = std::chrono::steady_clock::now() - start;
      if (spent.count() < best) best = spent.count();
    }
    printf("%10zu %12.3f %10.3f %14zu\n", mb, best, best / static_cast<double>(mb), g_peak_heap);
  }
  return 0;
}
