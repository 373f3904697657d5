// The state behind ITrovixBatch (shared/itrovixbatch.h): a prepared file,
// and the open batch of one TrovixDB object.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "indexstore/catalogue.h"
#include "indexstore/engine.h"
#include "indexstore/index_store_module.h"
#include "indexstore/term_rows.h"
#include "shared/itrovixbatch.h"

// Made by PrepareFile without any lock; read by WritePrepared under the
// batch's. Never changed after PrepareFile returns.
struct PreparedFile {
  WString path;
  std::string os_path;
  ordalis::PathParts parts;
  ordalis::FileRow row{};
  // What reading the text answered: S_OK complete, S_FALSE too large or only
  // partly read, E_NOINTERFACE without a filter, or the filter's failure.
  HRESULT text_status = S_OK;
  // The terms of its name and text, smallest first.
  std::vector<ordalis::PreparedTerm> terms;
  // The text gave terms (Files.Analysis 2 rather than 1).
  bool has_text_terms = false;
};

namespace ordalis {

// Defers the connection's checkpoints for its life (see
// Engine::DeferCheckpoints). Made and destroyed under the write mutex.
class CheckpointDeferral {
 public:
  explicit CheckpointDeferral(Engine& engine) : engine_(engine) { engine_.DeferCheckpoints(true); }
  ~CheckpointDeferral() { engine_.DeferCheckpoints(false); }
  CheckpointDeferral(const CheckpointDeferral&) = delete;
  CheckpointDeferral& operator=(const CheckpointDeferral&) = delete;

 private:
  Engine& engine_;
};

// The larger page cache of a batch (see Engine::FitCacheForBatch) for its
// life. Made before the batch's transaction begins and destroyed after it
// ended, under the write mutex.
class BatchCache {
 public:
  explicit BatchCache(Engine& engine) : engine_(engine) { engine_.FitCacheForBatch(); }
  ~BatchCache() { engine_.RestoreCache(); }
  BatchCache(const BatchCache&) = delete;
  BatchCache& operator=(const BatchCache&) = delete;

 private:
  Engine& engine_;
};

// An open batch. Owned by the TrovixDB object that began it and used on the
// thread that began it (the write mutex is that thread's). Declared so that
// destruction rolls back, and ends the deferral of checkpoints, before the
// mutex is released.
struct Batch {
  WriteLock lock;
  BatchCache cache{IndexStoreModule::Get().engine()};
  Transaction transaction{IndexStoreModule::Get().engine()};
  CheckpointDeferral deferral{IndexStoreModule::Get().engine()};
  // A database failure inside the batch: only AbortBatch is accepted.
  bool doomed = false;
  // Changes to the module's counters, made at the commit.
  std::int64_t files_processed = 0;
  std::int64_t files_indexed = 0;
  std::int64_t files_updated = 0;
  WString last_indexed_file;
  // Identifiers of the terms the batch added, for the module's cache.
  TermIdCache learned;
  // Files written so far; the page cache is fitted to the growing database
  // every kCacheRefitFiles of them.
  std::size_t files_written = 0;
  static constexpr std::size_t kCacheRefitFiles = 16;
};

}  // namespace ordalis
