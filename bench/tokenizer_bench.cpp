// Tokenizer throughput on mixed English text: the scanner and word map that
// IndexFile runs over every piece of text it reads.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "bench/english_text.h"
#include "indexstore/tokenizer.h"
#include "indexstore/word_count_map.h"
#include "platform/wstring.h"

namespace {

const WString& Text() {
  static const WString text = Utf8ToUtf16(trovix::bench::EnglishText().Make(4 << 20));
  return text;
}

// Scanning alone, in pieces of 4095 units as the text source hands them out.
void ScanWords(benchmark::State& state) {
  const WString& text = Text();
  std::size_t words = 0;
  for (auto _ : state) {
    ordalis::WordScanner scanner;
    const auto on_word = [&words](std::u16string_view) { ++words; };
    for (std::size_t at = 0; at < text.size(); at += 4095) {
      scanner.Scan(std::u16string_view(text).substr(at, 4095), on_word);
    }
    scanner.Finish(on_word);
  }
  benchmark::DoNotOptimize(words);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.counters["units/s"] = benchmark::Counter(
      static_cast<double>(state.iterations() * text.size()), benchmark::Counter::kIsRate);
}
BENCHMARK(ScanWords)->Unit(benchmark::kMillisecond);

// Scanning, acceptance and counting in the word map: the whole in-memory
// part of indexing.
void ScanAndCount(benchmark::State& state) {
  const WString& text = Text();
  for (auto _ : state) {
    ordalis::WordCountMap map;
    ordalis::WordScanner scanner;
    const auto count = [&map](std::u16string_view word) {
      if (!ordalis::HasBadCodeUnit(word) && ordalis::AcceptWord(word)) map.CountWord(word);
    };
    for (std::size_t at = 0; at < text.size(); at += 4095) {
      scanner.Scan(std::u16string_view(text).substr(at, 4095), count);
    }
    scanner.Finish(count);
    benchmark::DoNotOptimize(map.size());
  }
  state.counters["units/s"] = benchmark::Counter(
      static_cast<double>(state.iterations() * text.size()), benchmark::Counter::kIsRate);
}
BENCHMARK(ScanAndCount)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
#if !defined(__OPTIMIZE__) || !defined(NDEBUG)
  std::fprintf(stderr, "warning: built without optimisation or with assertions on\n");
#endif
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
