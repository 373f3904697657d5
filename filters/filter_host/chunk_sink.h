// Where a format's parser puts the text it finds: chunk after chunk, each
// handed on at once (a long document never sits whole in memory), with one
// cap on the text of the whole file.
//
// Invariants: chunk ids start at 1 and increase by one per chunk; no chunk
// is empty; the units handed on never exceed the cap, and a cut never
// splits a surrogate pair. Once the cap is reached or delivery fails, every
// further Add returns false and the parser should stop.
//
// Threads: one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace docfilter {

enum class ChunkKind { kTitle, kText };

class ChunkSink {
 public:
  explicit ChunkSink(std::size_t max_units) : left_(max_units) {}
  virtual ~ChunkSink() = default;
  ChunkSink(const ChunkSink&) = delete;
  ChunkSink& operator=(const ChunkSink&) = delete;

  // Hands on `text` as one chunk of its own, ended by a line break unless
  // it ends in white space or was cut at the cap. Empty text is no chunk.
  // False when nothing more is wanted.
  bool Add(ChunkKind kind, std::u16string_view text);
  // The same for UTF-8 text (an invalid byte becomes a lone surrogate,
  // which the tokenizer never takes into a word).
  bool AddUtf8(ChunkKind kind, std::string_view text);

  // UTF-16 units that may still be handed on.
  std::size_t left() const { return left_; }
  // Text was dropped at the cap.
  bool truncated() const { return truncated_; }
  // Delivery failed (the reader went away): the parse should stop.
  bool failed() const { return failed_; }
  bool stopped() const { return truncated_ || failed_; }
  std::uint32_t chunks() const { return last_id_; }

 protected:
  // Takes one whole chunk. False when it could not be delivered.
  virtual bool Deliver(std::uint32_t id, ChunkKind kind, std::u16string_view text) = 0;

 private:
  std::size_t left_;
  std::uint32_t last_id_ = 0;
  bool truncated_ = false;
  bool failed_ = false;
};

// Keeps what it is given: for tests and fuzz targets.
class CollectingSink : public ChunkSink {
 public:
  struct Chunk {
    ChunkKind kind;
    std::u16string text;
  };
  using ChunkSink::ChunkSink;
  // The chunks of `kind`, each without the line break that ends it, joined
  // by line breaks, as UTF-8.
  std::string Text(ChunkKind kind) const;
  const std::vector<Chunk>& collected() const { return chunks_; }

 protected:
  bool Deliver(std::uint32_t id, ChunkKind kind, std::u16string_view text) override;

 private:
  std::vector<Chunk> chunks_;
};

}  // namespace docfilter
