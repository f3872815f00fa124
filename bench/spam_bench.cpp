// What the content rules cost: the CPU time of links, words (1,000 entries,
// set built beforehand), scripts and same-value over a message of 10, 20
// and 40 KB, and the same with the words file read as a run reads it.
// Prints the median of many rounds per case; the goal is at most 0.05 ms
// for 10 KB with the file's reading aside, growing linearly.
//
//   spam_bench

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "config/settings.h"
#include "form/form.h"
#include "guard/content_rules.h"

namespace {

double now_us() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

// A contact-form text of about `bytes` bytes: words, accents, one link.
std::string message(size_t bytes) {
  static const char* const kWords[] = {"please",
                                       "send",
                                       "me",
                                       "a",
                                       "quote",
                                       "for",
                                       "the",
                                       "r\xc3\xa9novation",
                                       "of",
                                       "our",
                                       "kitchen",
                                       "Gr\xc3\xbc\xc3\x9f"
                                       "e,",
                                       "thanks",
                                       "order",
                                       "4711",
                                       "delivery"};
  std::string text = "See https://www.example.org/about for details. ";
  for (size_t i = 0; text.size() < bytes; ++i) {
    text += kWords[(i * 7) % (sizeof kWords / sizeof kWords[0])];
    text += i % 12 == 11 ? ".\n" : " ";
  }
  return text;
}

std::string word_list() {
  std::string list;
  for (int i = 0; i < 1000; ++i) {
    list += i % 4 == 0 ? "cheap offer " : "spamword";
    list += std::to_string(i) + "\n";
  }
  return list;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main() {
  std::string list = word_list();
  WordSet set;
  word_set_from_text(list.data(), list.size(), &set);
  const char* path = "/tmp/quillon-spam-bench-words.txt";
  FILE* file = fopen(path, "w");
  fwrite(list.data(), 1, list.size(), file);
  fclose(file);
  static Settings settings;
  settings.spam_max_links = 5;
  settings.spam_same_value = true;
  static char latin[] = "Latin";
  static char* items[] = {latin};
  settings.spam_scripts = SettingList{items, 1};
  int latin_script[] = {1};
  printf("%-8s %18s %22s\n", "message", "rules, set built", "rules + words file");
  for (size_t kb : {10, 20, 40}) {
    std::string text = message(kb * 1024);
    static FormTable form;
    static char name_name[] = "Name:", name_value[] = "Anne",
                mail_name[] = "Email:", mail_value[] = "anne@example.net", text_name[] = "Message:";
    form.names[0] = name_name;
    form.values[0] = name_value;
    form.names[1] = mail_name;
    form.values[1] = mail_value;
    form.names[2] = text_name;
    form.values[2] = &text[0];
    form.count = 3;
    std::vector<double> rules, whole;
    for (int round = 0; round < 300; ++round) {
      double start = now_us();
      int links = 0, foreign = 0;
      char found[64];
      bool hit = false;
      for (int i = 0; i < form.count; ++i) {
        size_t length = strlen(form.values[i]);
        links += count_links(form.values[i], length);
        hit = word_set_find(set, form.values[i], length, found, sizeof found) || hit;
        count_scripts(form.values[i], length, latin_script, 1, &foreign);
      }
      hit = only_a_link(form.values[2]) || hit;
      rules.push_back(now_us() - start);
      if (hit || links > 5) printf("unexpected catch\n");
      settings.spam_words = const_cast<char*>(path);
      char reasons[256];
      start = now_us();
      content_rules_catch(settings, form, reasons, sizeof reasons);
      whole.push_back(now_us() - start);
      settings.spam_words = nullptr;
    }
    printf("%3zu KB   %14.1f us %18.1f us\n", kb, median(rules), median(whole));
  }
  word_set_free(&set);
  remove(path);
  return 0;
}
