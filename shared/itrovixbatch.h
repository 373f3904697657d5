// The index store's interface for bulk work: many files per write
// transaction, their text read and counted in parallel beforehand. Objects
// of class TrovixDB hand it out through QueryInterface(IID_ITrovixBatch);
// a caller that never asks for it sees ITrovixDB exactly as before.
//
// Why: a transaction per file writes, at its commit, every page the file
// dirtied (about one leaf of the word-to-file index per distinct word), so
// small files cost a page per word each. Files written together share those
// pages, and the reading and counting, which is most of the work, runs on
// every core while one thread writes.
//
// States of one object's batch:
//  1. idle — no batch. PrepareFile, ReleasePrepared, ReadFolder,
//     ReadFolders and Contended work; BeginBatch moves to 2. WritePrepared, RemoveFile,
//     CommitBatch and AbortBatch answer E_UNEXPECTED.
//  2. open — BeginBatch took the write mutex and began a write transaction.
//     WritePrepared and RemoveFile add to it; CommitBatch and AbortBatch end
//     it (back to 1) and release the mutex; a checkpoint the commit made due
//     runs after the release. A failure of the database inside
//     the batch (see the methods) leaves it open but doomed: only AbortBatch
//     is then accepted.
//
// Invariants:
//  1. Nothing a batch did is visible to other connections, nor counted
//     (files indexed, processed and updated; the last indexed file), until
//     CommitBatch succeeded; after AbortBatch, a failed CommitBatch or a
//     crash, none of it happened. (ReadFolder reads its process's own
//     connection, and so the open batch: see there.)
//  2. The write mutex is held from BeginBatch to the end of the batch and by
//     nothing else of this interface. A caller that writes for long asks
//     Contended between files and ends the batch when someone waits, so a
//     reader waits about one file's write and a commit, however long the
//     batch would have been.
//  3. PrepareFile touches no table and takes no lock: any number of threads,
//     each with its own object, prepare at once.
//  4. Every path the catalogue holds can be named here: paths of up to
//     kMaxCataloguedPathBytes (shared/index_limits.h) in their UTF-8 form,
//     where ITrovixDB takes MAX_PATH units. "Over-long" below means longer
//     than that. Names are stored whole.
//
// Threads: an object is used on the thread that created it (which has
// initialised the component library). A batch's methods, from BeginBatch to
// its end, are called on one thread, which makes no ITrovixDB call that
// writes while the batch is open (it would start a transaction inside the
// batch's). A prepared file belongs to whoever holds its handle: it may be
// prepared by one object and written and released by another, on another
// thread, but by one thread at a time.
#pragma once

#include "platform/guid.h"
#include "platform/unknwn.h"

inline constexpr IID IID_ITrovixBatch = MakeGuid("{4D2B7C90-3E1A-4F6B-8A5D-92C0E7F1B3A4}");

// A file read and counted in memory, waiting to be written. Opaque.
struct PreparedFile;

// One catalogued file of a folder, as ReadFolder reports it. `name` is valid
// during the call only.
struct CatalogueRow {
  const WCHAR* name;
  UINT size_lo32;        // low 32 bits of the size when catalogued
  FILETIME last_update;  // when the row was last written (before its content was read)
  BOOL has_words;        // the term index holds the file (its name's terms at least)
};

struct ICatalogueRowSink {
  // S_OK goes on; any other answer ends the read and is ReadFolder's answer.
  [[nodiscard]] virtual HRESULT Row(const CatalogueRow& row) = 0;

 protected:
  ~ICatalogueRowSink() = default;
};

// One catalogued folder, as ReadFolders reports it: an absolute path ending
// in '/', valid during the call only.
struct ICatalogueFolderSink {
  // S_OK goes on; any other answer ends the read and is ReadFolders' answer.
  [[nodiscard]] virtual HRESULT Folder(const WCHAR* path) = 0;

 protected:
  ~ICatalogueFolderSink() = default;
};

struct ITrovixBatch : IUnknown {
  // Reads the text of `sFile` (an absolute path) through its content filter
  // and counts its words, and reads its attributes and checksum, all into
  // memory. `*pbContinue` (if given; its first byte) is read between pieces
  // of text: 0 stops the reading, and the handle is then only good for
  // release. Answers S_OK with `*phFile` set (also when the text could not
  // be read: WritePrepared then reports why); E_INVALIDARG for a null,
  // relative or over-long path, or one that names no regular file or
  // folder; E_ABORT when stopped (no handle); E_OUTOFMEMORY. `*phFile` is
  // null on failure.
  [[nodiscard]] virtual HRESULT PrepareFile(const WCHAR* sFile, UINT* pbContinue,
                                            PreparedFile** phFile) = 0;
  // Frees a prepared file; null is ignored. Written or not.
  virtual void ReleasePrepared(PreparedFile* hFile) = 0;

  // Takes the write mutex (waiting as long as it takes) and begins the
  // transaction. E_UNEXPECTED when a batch is open or the database is not
  // open; an engine failure (busy, I/O) otherwise, with no batch open.
  [[nodiscard]] virtual HRESULT BeginBatch() = 0;
  // Catalogues the prepared file (adds its row, or refreshes the row it has)
  // and replaces its words with the prepared ones, inside the batch. A
  // failure of this file alone undoes this file only. Answers what
  // AddFile and IndexFile together answer for it: S_OK (words complete),
  // S_FALSE (catalogued; too large, or text only partly read: the words
  // read are written), E_NOINTERFACE (catalogued; no filter reads it), the
  // filter's failure (catalogued without words), E_INVALIDARG (not
  // catalogued: the database's own file, or gone since it was prepared).
  // A database failure (busy, full, I/O, damaged) dooms the batch and is
  // returned. E_UNEXPECTED outside a batch; E_POINTER for a null handle.
  [[nodiscard]] virtual HRESULT WritePrepared(PreparedFile* hFile) = 0;
  // Removes a catalogued file, words and entry, inside the batch. S_OK,
  // S_FALSE when it was not catalogued, E_INVALIDARG for an unusable path, a
  // database failure (which dooms the batch), E_UNEXPECTED outside a batch.
  [[nodiscard]] virtual HRESULT RemoveFile(const WCHAR* sFile) = 0;
  // Commits and releases the write mutex; the batch is over whatever the
  // answer. On a failure nothing of the batch stays.
  [[nodiscard]] virtual HRESULT CommitBatch() = 0;
  // Rolls back and releases the write mutex. S_OK; E_UNEXPECTED without a
  // batch.
  virtual HRESULT AbortBatch() = 0;
  // Whether a thread of this process other than the caller, or another
  // process, waits for the write mutex: S_OK when one does, S_FALSE when
  // none does. Asked inside a batch, it tells the batch to end; after one,
  // whether the waiter has been served yet. One system call; cheap enough to
  // ask after every file.
  [[nodiscard]] virtual HRESULT Contended() = 0;

  // Reports, in one query, the catalogued files whose folder is `sFolder`
  // (an absolute path, with or without a trailing '/'; not those of folders
  // below it). S_OK after the last row; S_FALSE when the folder has no
  // entry; E_INVALIDARG for a relative or over-long path or a null sink; the
  // sink's answer when it stopped; an engine failure. It does not wait for
  // the write mutex, so a walk goes on while a batch of its process is
  // written: it reads the connection of its process, and so sees the rows of
  // that process's open batch and of any other write the process has not
  // committed yet (a row read from a batch later rolled back is harmless to
  // a walk: a batch is rolled back only on a database failure, which ends
  // the walk), and the rows other processes committed.
  [[nodiscard]] virtual HRESULT ReadFolder(const WCHAR* sFolder, ICatalogueRowSink* sink) = 0;
  // Reports, in one query, each folder at or below `sFolder` (an absolute
  // path, with or without a trailing '/') that holds at least one
  // catalogued file, as an absolute path ending in '/', in no particular
  // order. Paths are compared as stored, so no sibling whose name merely
  // begins with the folder's ("/a/bc/" for "/a/b") is reported. Answers and
  // locking as ReadFolder: S_OK after the last folder (also when there is
  // none), E_INVALIDARG for a relative path or a null sink, the sink's answer
  // when it stopped, an engine failure.
  [[nodiscard]] virtual HRESULT ReadFolders(const WCHAR* sFolder, ICatalogueFolderSink* sink) = 0;
};
