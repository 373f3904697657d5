#include "filters/filter_host/testing/extract_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>

namespace docfilter::testing {

std::vector<std::string> Extracted::Words() const {
  std::istringstream stream(text);
  std::vector<std::string> words;
  for (std::string word; stream >> word;) words.push_back(word);
  return words;
}

Extracted ExtractFile(HRESULT (*extract)(int, ChunkSink*), const std::string& path,
                      std::size_t max_units) {
  Extracted result;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_GE(fd, 0) << path;
  if (fd < 0) return result;
  CollectingSink sink(max_units);
  result.hr = extract(fd, &sink);
  close(fd);
  result.title = sink.Text(ChunkKind::kTitle);
  result.text = sink.Text(ChunkKind::kText);
  result.chunks = sink.collected();
  for (const CollectingSink::Chunk& chunk : sink.collected()) {
    if (chunk.kind == ChunkKind::kText) ++result.text_chunks;
  }
  return result;
}

}  // namespace docfilter::testing
