// Writes a synthetic home folder for the scale benchmark: FILES files in a
// folder tree shaped like a real home (documents, projects, a browser cache,
// pictures, music, downloads), of which 15% are text or HTML documents and the
// rest binary or otherwise non-indexable files.
//
// Document text is drawn word by word from a vocabulary of common English
// words followed by 200,000 pronounceable made-up words, ranked with a Zipf
// distribution (exponent 1.07), so that a few words are in nearly every
// document and most in a handful. Sizes are log-normal: documents around 4 KB
// (a few reach megabytes); other files are kept small (around 1 KB, media
// around 8 KB) so that a million of them fit in a few GB; the indexer only
// catalogues them.
//
// Everything follows from the seed: the tree's shape from one generator, each
// file's bytes from a generator seeded by (seed, file number), so the same
// arguments give the same tree, byte for byte.
//
// Prints `key value` lines: counts, bytes, and the words for the queries:
// words in about 30%, 15%, 5% and 2.5% of the documents, a rare word, a
// second rare word that shares a document with it, and the word of that
// document whose count is closest to the 30% word's.
//
// With --ages, each file's modification time lies in the past instead of at
// the moment it was written, as in a home used for years: about 1% of the
// files were changed in the last day, 4% more in the last week, the rest
// spread evenly over six years. The age follows from (seed, file number),
// so the same arguments give the same ages, counted back from the run.
//
// Usage: scale_home FOLDER FILES SEED [--ages]
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Random = std::mt19937_64;

constexpr double kDocumentShare = 0.15;
constexpr int kMadeUpWords = 200000;
constexpr double kZipfExponent = 1.07;

template <typename T, std::size_t N>
const T& Pick(Random& random, const T (&choices)[N]) {
  return choices[random() % N];
}

std::size_t LogNormal(Random& random, double median, double sigma, std::size_t low,
                      std::size_t high) {
  const double size = median * std::exp(sigma * std::normal_distribution<double>()(random));
  return std::clamp(static_cast<std::size_t>(size), low, high);
}

// The vocabulary, most frequent first, and the Zipf draw over its ranks.
class Vocabulary {
 public:
  explicit Vocabulary(std::uint64_t seed) {
    static const char* const kCommon[] = {
        "the",      "of",       "and",      "to",       "in",      "is",       "that",    "for",
        "it",       "as",       "was",      "with",     "be",      "by",       "on",      "not",
        "he",       "this",     "are",      "or",       "his",     "from",     "at",      "which",
        "but",      "have",     "an",       "had",      "they",    "you",      "were",    "their",
        "one",      "all",      "we",       "can",      "her",     "has",      "there",   "been",
        "if",       "more",     "when",     "will",     "would",   "who",      "so",      "no",
        "time",     "people",   "year",     "work",     "report",  "budget",   "meeting", "project",
        "customer", "results",  "analysis", "schedule", "invoice", "contract", "design",  "review",
        "summary",  "proposal", "release",  "server",   "account", "holiday",  "travel",  "recipe",
        "garden",   "letter",   "family",   "school",   "thesis",  "chapter",  "draft",   "minutes",
        "agenda",   "deadline", "estimate", "quarterly"};
    std::unordered_set<std::string> seen;
    for (const char* word : kCommon) {
      words_.emplace_back(word);
      seen.insert(word);
    }
    static const char* const kOnsets[] = {
        "b", "c",  "d",  "f",  "g",  "h",  "k",  "l",  "m",  "n",  "p",  "r",  "s",  "t",  "v",
        "w", "br", "cl", "dr", "gr", "pl", "st", "tr", "sh", "ch", "th", "sp", "fl", "cr", "pr"};
    static const char* const kVowels[] = {"a", "e", "i", "o", "u", "ea", "ou", "ai", "io", "y"};
    static const char* const kCodas[] = {"", "", "", "", "", "n", "r", "s", "t", "l", "nd", "ck"};
    static const char* const kSuffixes[] = {"",   "",   "",     "",     "s",    "ed",   "ing",
                                            "er", "ly", "ment", "ness", "able", "tion", "ist"};
    Random random(seed);
    while (words_.size() < std::size(kCommon) + kMadeUpWords) {
      std::string word;
      // One to three syllables, mostly two; four now and then.
      static const int kSyllables[] = {1, 1, 2, 2, 2, 2, 3, 3, 3, 4};
      for (int s = Pick(random, kSyllables); s > 0; --s) {
        word += Pick(random, kOnsets);
        word += Pick(random, kVowels);
        word += Pick(random, kCodas);
      }
      word += Pick(random, kSuffixes);
      if (word.size() >= 4 && seen.insert(word).second) words_.push_back(std::move(word));
    }
    double total = 0;
    cumulative_.reserve(words_.size());
    for (std::size_t rank = 1; rank <= words_.size(); ++rank) {
      total += 1.0 / std::pow(static_cast<double>(rank), kZipfExponent);
      cumulative_.push_back(total);
    }
  }

  std::size_t size() const { return words_.size(); }
  const std::string& operator[](std::size_t rank) const { return words_[rank]; }

  std::size_t Draw(Random& random) const {
    const double u = std::uniform_real_distribution<double>(0.0, cumulative_.back())(random);
    const auto at = std::upper_bound(cumulative_.begin(), cumulative_.end(), u);
    return std::min<std::size_t>(at - cumulative_.begin(), words_.size() - 1);
  }

 private:
  std::vector<std::string> words_;
  std::vector<double> cumulative_;
};

// A file's own generator: the same (seed, number) always gives the same file.
Random FileRandom(std::uint64_t seed, std::uint64_t number) {
  std::seed_seq sequence{static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32),
                         static_cast<std::uint32_t>(number),
                         static_cast<std::uint32_t>(number >> 32)};
  return Random(sequence);
}

// Seconds before the generation that file `number` was last changed.
std::int64_t AgeSeconds(std::uint64_t seed, std::uint64_t number) {
  constexpr std::int64_t kDay = 86400;
  Random random = FileRandom(seed ^ 0x9e3779b97f4a7c15ULL, number);
  const double u = std::uniform_real_distribution<double>(0, 1)(random);
  const auto within = [&](std::int64_t low, std::int64_t high) {
    return low + static_cast<std::int64_t>(random() % static_cast<std::uint64_t>(high - low));
  };
  if (u < 0.01) return within(60, kDay);
  if (u < 0.05) return within(kDay, 7 * kDay);
  return within(8 * kDay, 6 * 365 * kDay);
}

// The word ranks of document `number`, about `bytes` of text in all.
std::vector<std::size_t> DocumentWords(const Vocabulary& vocabulary, std::uint64_t seed,
                                       std::uint64_t number, std::size_t* bytes) {
  Random random = FileRandom(seed, number);
  *bytes = LogNormal(random, 4096, 1.2, 120, 4 << 20);
  std::vector<std::size_t> ranks;
  for (std::size_t length = 0; length < *bytes;) {
    ranks.push_back(vocabulary.Draw(random));
    length += vocabulary[ranks.back()].size() + 1;
  }
  return ranks;
}

// The document's text: sentences of its words, with capitals, punctuation,
// numbers and line breaks; paragraphs in HTML for a web page.
std::string DocumentText(const Vocabulary& vocabulary, const std::vector<std::size_t>& ranks,
                         Random& random, bool html) {
  std::string text;
  if (html) {
    text += "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>";
    for (std::size_t i = 0; i < std::min<std::size_t>(5, ranks.size()); ++i) {
      text += vocabulary[ranks[i]] + (i + 1 < std::min<std::size_t>(5, ranks.size()) ? " " : "");
    }
    text += "</title></head>\n<body>\n<p>";
  }
  std::size_t line = text.size();
  bool sentence_start = true;
  for (std::size_t i = 0; i < ranks.size(); ++i) {
    std::string word = vocabulary[ranks[i]];
    if (sentence_start) word[0] = static_cast<char>(word[0] - 32);
    text += word;
    const unsigned r = random() % 24;
    sentence_start = r < 2;
    text += r == 0   ? ". "
            : r == 1 ? "? "
            : r == 2 ? ", "
            : r == 3 ? " 20" + std::to_string(10 + random() % 17) + " "
                     : " ";
    if (text.size() - line > 72) {
      text += '\n';
      line = text.size();
    }
    if (html && r == 0 && random() % 6 == 0) text += "</p>\n<p>";
  }
  if (html) text += "</p>\n</body></html>\n";
  return text;
}

// Bytes that look like a file of the given kind: its signature, then noise.
std::string BinaryBytes(Random& random, std::size_t size, const std::string& extension) {
  std::string bytes;
  if (extension == ".jpg") bytes = "\xff\xd8\xff\xe0";
  if (extension == ".png") bytes = "\x89PNG\r\n\x1a\n";
  if (extension == ".zip") bytes = std::string("PK\x03\x04", 4);
  if (extension == ".gz") bytes = "\x1f\x8b\x08";
  if (extension == ".o" || extension == ".so")
    bytes =
        "\x7f"
        "ELF";
  if (extension == ".mp3") bytes = "ID3\x04";
  if (extension == ".sqlite") bytes = std::string("SQLite format 3\0", 16);
  bytes.resize(std::max(size, bytes.size()));
  for (std::size_t i = std::min(bytes.size(), std::size_t{16}); i < bytes.size(); i += 8) {
    const std::uint64_t noise = random();
    std::copy_n(reinterpret_cast<const char*>(&noise), std::min<std::size_t>(8, bytes.size() - i),
                bytes.begin() + static_cast<std::ptrdiff_t>(i));
  }
  return bytes;
}

std::string Hex(Random& random, int digits) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (int i = 0; i < digits; ++i) text += kDigits[random() % 16];
  return text;
}

// Where the files of one kind go: a folder that takes a run of files before
// the next folder of that kind is made up.
struct Kind {
  const char* name;
  double share;  // of the documents, or of the other files
  std::vector<const char*> extensions;
  int per_folder_low, per_folder_high;
  std::string folder;
  int left = 0;
};

// A new folder for files of `kind`. Each draw is its own statement, so the
// order in which the generator is used does not depend on the compiler.
std::string NewFolder(std::string_view kind, Random& random, const Vocabulary& vocabulary) {
  static const char* const kAreas[] = {"work", "personal", "archive", "taxes", "school", "notes"};
  static const char* const kParts[] = {"src", "docs", "tests", "include"};
  static const char* const kApps[] = {"mozilla",    "chromium",          "thumbnails", "pip",
                                      "fontconfig", "mesa_shader_cache", "evolution",  "tracker"};
  const std::string year = std::to_string(2012 + random() % 14);
  const std::string first = vocabulary[100 + random() % 3000];
  const std::string second = vocabulary[100 + random() % 3000];
  const std::string hex = Hex(random, 2);
  const std::string hex2 = Hex(random, 2);
  const std::string area = Pick(random, kAreas);
  const std::string part = Pick(random, kParts);
  const std::string app = Pick(random, kApps);
  if (kind == "documents") return "Documents/" + area + "/" + year + "/" + first;
  if (kind == "projects") return "Projects/" + first + "/" + part + "/" + second;
  if (kind == "downloads") return "Downloads/" + first + "-" + year;
  if (kind == "sites") return "Sites/" + first + "/" + second;
  if (kind == "cache") return ".cache/" + app + "/" + hex + "/" + hex2;
  if (kind == "pictures") return "Pictures/" + year + "/" + first + "-" + second;
  if (kind == "music") return "Music/" + first + " " + second + "/" + year;
  if (kind == "build") return "Projects/" + first + "/build/" + second;
  if (kind == "git") return "Projects/" + first + "/.git/objects/" + hex;
  if (kind == "python") return ".local/lib/python3.11/site-packages/" + first + "/__pycache__";
  return ".config/" + first + "/storage/" + hex + hex2;
}

}  // namespace

int main(int argc, char** argv) {
  const bool ages = argc == 5 && std::string_view(argv[4]) == "--ages";
  if (argc != 4 && !ages) {
    std::fprintf(stderr, "usage: scale_home FOLDER FILES SEED [--ages]\n");
    return 2;
  }
  const fs::path home = argv[1];
  const std::uint64_t files = std::strtoull(argv[2], nullptr, 10);
  const std::uint64_t seed = std::strtoull(argv[3], nullptr, 10);
  const auto start = std::chrono::steady_clock::now();
  const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
  const Vocabulary vocabulary(seed);

  std::vector<Kind> documents = {
      {"documents", 0.50, {".txt", ".txt", ".md", ".html", ".htm"}, 5, 40, {}},
      {"projects", 0.30, {".c", ".h", ".py", ".cpp", ".md", ".txt"}, 3, 30, {}},
      {"downloads", 0.12, {".txt", ".html", ".html"}, 10, 60, {}},
      {"sites", 0.08, {".html"}, 5, 50, {}}};
  std::vector<Kind> others = {
      {"cache", 0.34, {""}, 20, 150, {}},
      {"pictures", 0.10, {".jpg", ".jpg", ".png"}, 20, 300, {}},
      {"music", 0.03, {".mp3"}, 8, 16, {}},
      {"build", 0.12, {".o", ".o", ".so", ".a"}, 10, 80, {}},
      {"git", 0.17, {""}, 1, 12, {}},
      {"python", 0.12, {".pyc"}, 3, 40, {}},
      {"profiles", 0.12, {".sqlite", ".bin", ".dat", ".zip", ".gz", ".db"}, 2, 30, {}}};

  Random shape(seed);
  const std::uint64_t wanted_documents = static_cast<std::uint64_t>(files * kDocumentShare);
  std::uint64_t documents_left = wanted_documents, document_bytes = 0, other_bytes = 0;
  std::vector<std::uint32_t> document_frequency(vocabulary.size(), 0);
  std::vector<std::uint64_t> first_document(vocabulary.size(), UINT64_MAX);
  std::vector<std::uint64_t> seen_in(vocabulary.size(), UINT64_MAX);
  for (std::uint64_t number = 0; number < files; ++number) {
    // Selection sampling: exactly `wanted_documents` documents, spread evenly.
    const bool is_document =
        std::uniform_int_distribution<std::uint64_t>(0, files - number - 1)(shape) < documents_left;
    std::vector<Kind>& kinds = is_document ? documents : others;
    double u = std::uniform_real_distribution<double>(0, 1)(shape);
    Kind* kind = &kinds.back();
    for (Kind& k : kinds) {
      if ((u -= k.share) < 0) {
        kind = &k;
        break;
      }
    }
    if (kind->left == 0) {
      kind->folder = NewFolder(kind->name, shape, vocabulary);
      kind->left = kind->per_folder_low +
                   static_cast<int>(shape() % (kind->per_folder_high - kind->per_folder_low + 1));
      fs::create_directories(home / kind->folder);
    }
    --kind->left;
    const std::string extension = kind->extensions[shape() % kind->extensions.size()];
    const std::string_view kind_name = kind->name;
    std::string name;
    if (kind_name == "git" || kind_name == "cache") {
      name = Hex(shape, kind_name == "git" ? 38 : 16);
    } else if (kind_name == "pictures") {
      name = "IMG_" + std::to_string(1000 + number % 9000);
    } else {
      name = vocabulary[50 + shape() % 5000];
      name += '_';
      name += vocabulary[50 + shape() % 20000];
    }
    // The file number keeps every name unique in its folder.
    name += '-';
    name += std::to_string(number);
    name += extension;

    std::string bytes;
    if (is_document) {
      --documents_left;
      std::size_t size = 0;
      const std::vector<std::size_t> ranks = DocumentWords(vocabulary, seed, number, &size);
      for (std::size_t rank : ranks) {
        if (seen_in[rank] == number) continue;
        seen_in[rank] = number;
        ++document_frequency[rank];
        if (first_document[rank] == UINT64_MAX) first_document[rank] = number;
      }
      Random punctuation = FileRandom(seed ^ 0x5bd1e995, number);
      bytes =
          DocumentText(vocabulary, ranks, punctuation, extension == ".html" || extension == ".htm");
      document_bytes += bytes.size();
    } else {
      Random random = FileRandom(seed, number);
      const bool media = extension == ".jpg" || extension == ".png" || extension == ".mp3";
      bytes =
          BinaryBytes(random, LogNormal(random, media ? 8192 : 1024, 1.4, 0, 4 << 20), extension);
      other_bytes += bytes.size();
    }
    const fs::path path = home / kind->folder / name;
    std::ofstream(path, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (ages) {
      const timespec when{static_cast<time_t>(now - AgeSeconds(seed, number)), 0};
      const timespec times[2] = {when, when};
      if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) {
        std::perror(path.c_str());
        return 1;
      }
    }
  }

  // Query words, picked by how many documents hold them.
  auto closest = [&](double share, std::size_t skip) {
    const double target = std::max(2.0, share * static_cast<double>(wanted_documents));
    std::size_t best = 0;
    double best_distance = 1e300;
    for (std::size_t rank = 0; rank < vocabulary.size(); ++rank) {
      const double distance = std::fabs(document_frequency[rank] - target);
      if (rank != skip && document_frequency[rank] > 0 && distance < best_distance) {
        best = rank;
        best_distance = distance;
      }
    }
    return best;
  };
  const std::size_t common = closest(0.30, SIZE_MAX);
  const std::size_t common2 = closest(0.15, common);
  const std::size_t medium = closest(0.05, SIZE_MAX);
  const std::size_t medium2 = closest(0.025, medium);
  const std::size_t rare = closest(0.0002, SIZE_MAX);
  // A second rare word from the rare word's first document: the other word
  // there whose document count is closest to the rare word's.
  std::size_t size = 0;
  std::size_t rare2 = common;
  const auto gap = [&](std::size_t rank) {
    return std::abs(static_cast<long>(document_frequency[rank]) -
                    static_cast<long>(document_frequency[rare]));
  };
  // And the word of that document whose count is closest to the common
  // word's, for a common and a rare word that share a document.
  std::size_t rare_common = rare;
  const auto common_gap = [&](std::size_t rank) {
    return std::abs(static_cast<long>(document_frequency[rank]) -
                    static_cast<long>(document_frequency[common]));
  };
  for (std::size_t rank : DocumentWords(vocabulary, seed, first_document[rare], &size)) {
    if (rank != rare && gap(rank) < gap(rare2)) rare2 = rank;
    if (common_gap(rank) < common_gap(rare_common)) rare_common = rank;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("files %llu\ndocuments %llu\ndocument_bytes %llu\nother_bytes %llu\nseconds %.1f\n",
              static_cast<unsigned long long>(files),
              static_cast<unsigned long long>(wanted_documents),
              static_cast<unsigned long long>(document_bytes),
              static_cast<unsigned long long>(other_bytes), seconds);
  for (const auto& [key, rank] : {std::pair{"common", common},
                                  {"common2", common2},
                                  {"medium", medium},
                                  {"medium2", medium2},
                                  {"rare", rare},
                                  {"rare2", rare2},
                                  {"rare_common", rare_common}}) {
    std::printf("%s %s %u\n", key, vocabulary[rank].c_str(), document_frequency[rank]);
  }
  return 0;
}
