// The synthetic index the search benchmarks share: 100,000 files in 1,000
// directories and 200,000 distinct words, each file holding words drawn from
// a Zipf distribution (so a few words are in almost every file and most are
// in a handful). Files are catalogued only; none exists on disk.
#pragma once

#include <random>
#include <string>
#include <vector>

namespace trovix::bench {

inline constexpr int kFiles = 100000;
inline constexpr int kDirectories = 1000;
inline constexpr int kWords = 200000;
inline constexpr int kDrawsPerFile = 100;  // about 75 distinct words per file

// kWords distinct spellings with English letter frequencies; rank r is
// word r (rank 0 the most frequent in the index).
std::vector<std::string> MakeWords(std::mt19937& random);

// Writes the catalogue and the word index into the new database at `path`;
// `document_frequency[r]` receives the number of files holding word r.
// False, with a message on stderr, on failure.
bool BuildIndex(const std::string& path, const std::vector<std::string>& words,
                std::vector<int>* document_frequency);

// The rank whose document frequency is nearest `wanted`.
int RankWithFrequency(const std::vector<int>& frequency, int wanted);

}  // namespace trovix::bench
