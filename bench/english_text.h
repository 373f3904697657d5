// Synthetic English text for the benchmarks: words drawn with a Zipf-like
// distribution from a vocabulary of common words and generated rarer ones,
// with punctuation, numbers and line breaks, from a fixed seed.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace trovix::bench {

class EnglishText {
 public:
  explicit EnglishText(std::uint32_t seed = 42) : random_(seed) {
    static const char* const kCommon[] = {
        "the",    "of",     "and",     "to",      "in",       "is",        "that",    "for",
        "it",     "as",     "was",     "with",    "be",       "by",        "on",      "not",
        "he",     "this",   "are",     "or",      "his",      "from",      "at",      "which",
        "but",    "have",   "an",      "had",     "they",     "you",       "were",    "their",
        "one",    "all",    "we",      "can",     "her",      "has",       "there",   "been",
        "if",     "more",   "when",    "will",    "would",    "who",       "so",      "no",
        "report", "budget", "meeting", "project", "customer", "quarterly", "results", "analysis"};
    for (const char* word : kCommon) vocabulary_.emplace_back(word);
    // Rarer words: pronounceable made-up words of 4 to 11 letters.
    static const char kConsonants[] = "bcdfghklmnprstvwz";
    static const char kVowels[] = "aeiou";
    for (int i = 0; i < 20000; ++i) {
      std::string word;
      const int syllables = 2 + static_cast<int>(random_() % 4);
      for (int s = 0; s < syllables; ++s) {
        word += kConsonants[random_() % 17];
        word += kVowels[random_() % 5];
        if (random_() % 3 == 0) word += kConsonants[random_() % 17];
      }
      vocabulary_.push_back(word);
    }
  }

  // About `bytes` bytes of text.
  std::string Make(std::size_t bytes) {
    std::string text;
    text.reserve(bytes + 64);
    std::size_t line = 0;
    while (text.size() < bytes) {
      // Zipf-like: small indexes are much more likely.
      const double u = std::uniform_real_distribution<double>(0.0, 1.0)(random_);
      const auto index = static_cast<std::size_t>(std::pow(vocabulary_.size(), u)) - 1;
      std::string word = vocabulary_[index % vocabulary_.size()];
      if (random_() % 11 == 0) word[0] = static_cast<char>(word[0] - 32);
      text += word;
      const unsigned r = random_() % 20;
      text += r == 0 ? ", " : r == 1 ? ". " : r == 2 ? " 2026 " : " ";
      if (text.size() - line > 72) {
        text += '\n';
        line = text.size();
      }
    }
    return text;
  }

 private:
  std::mt19937 random_;
  std::vector<std::string> vocabulary_;
};

}  // namespace trovix::bench
