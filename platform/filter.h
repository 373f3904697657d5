// The content filter interfaces: IPersist, IPersistFile and IFilter with the
// Windows identifiers, vtable order and structure layouts, so that a filter
// module written against them serves any reader of this suite.
//
// A reader drives a filter in this order: IPersistFile::Load, IFilter::Init,
// then GetChunk and, for a text chunk, GetText until FILTER_E_NO_MORE_TEXT;
// GetChunk answers FILTER_E_END_OF_CHUNKS after the last chunk.
#pragma once

#include "platform/unknwn.h"

// Access and sharing bits of IPersistFile::Load. Sharing has no meaning for
// Linux files, which stay open to other processes whatever is asked.
inline constexpr DWORD STGM_READ = 0x0;
inline constexpr DWORD STGM_WRITE = 0x1;
inline constexpr DWORD STGM_READWRITE = 0x2;
inline constexpr DWORD STGM_SHARE_DENY_NONE = 0x40;

using PROPID = ULONG;
inline constexpr ULONG PRSPEC_LPWSTR = 0;
inline constexpr ULONG PRSPEC_PROPID = 1;

struct PROPSPEC {
  ULONG ulKind;  // PRSPEC_LPWSTR or PRSPEC_PROPID
  union {
    PROPID propid;
    WCHAR* lpwstr;
  };
};

// A property: its property set and its name or number within the set.
struct FULLPROPSPEC {
  GUID guidPropSet;
  PROPSPEC psProperty;
};

// The property of a document's body text.
inline constexpr GUID PSGUID_STORAGE = MakeGuid("{B725F130-47EF-101A-A5F1-02608C9EEBAC}");
inline constexpr PROPID PID_STG_CONTENTS = 0x13;

// The break between the previous chunk and the current one.
enum CHUNK_BREAKTYPE {
  CHUNK_NO_BREAK = 0,
  CHUNK_EOW = 1,
  CHUNK_EOS = 2,
  CHUNK_EOP = 3,
  CHUNK_EOC = 4,
};

// Bit flags: what a chunk holds.
enum CHUNKSTATE {
  CHUNK_TEXT = 0x1,
  CHUNK_VALUE = 0x2,
  CHUNK_FILTER_OWNED_VALUE = 0x4,
};

struct STAT_CHUNK {
  ULONG idChunk;  // non-zero, increasing through the document
  CHUNK_BREAKTYPE breakType;
  CHUNKSTATE flags;
  LCID locale;
  FULLPROPSPEC attribute;
  ULONG idChunkSource;   // idChunk for a chunk not derived from another
  ULONG cwcStartSource;  // where a derived chunk starts in its source chunk
  ULONG cwcLenSource;    // 0: one-to-one correspondence with the source
};

struct FILTERREGION {
  ULONG idChunk;
  ULONG cwcStart;
  ULONG cwcExtent;
};

// Flags of IFilter::Init; filters may treat all of them as hints.
enum IFILTER_INIT {
  IFILTER_INIT_CANON_PARAGRAPHS = 0x1,
  IFILTER_INIT_HARD_LINE_BREAKS = 0x2,
  IFILTER_INIT_CANON_HYPHENS = 0x4,
  IFILTER_INIT_CANON_SPACES = 0x8,
  IFILTER_INIT_APPLY_INDEX_ATTRIBUTES = 0x10,
  IFILTER_INIT_APPLY_OTHER_ATTRIBUTES = 0x20,
  IFILTER_INIT_INDEXING_ONLY = 0x40,
  IFILTER_INIT_SEARCH_LINKS = 0x80,
  IFILTER_INIT_APPLY_CRAWL_ATTRIBUTES = 0x100,
  IFILTER_INIT_FILTER_OWNED_VALUE_OK = 0x200,
};

// Flag returned by IFilter::Init: the caller should read the file's property
// sets itself.
inline constexpr ULONG IFILTER_FLAGS_OLE_PROPERTIES = 0x1;

// Property values of value chunks. No filter of this suite delivers any, so
// the type stays opaque.
struct PROPVARIANT;

struct IPersist : IUnknown {
  [[nodiscard]] virtual HRESULT GetClassID(CLSID* pClassID) = 0;
};

struct IPersistFile : IPersist {
  // S_OK when the object changed since it was saved, else S_FALSE.
  [[nodiscard]] virtual HRESULT IsDirty() = 0;
  [[nodiscard]] virtual HRESULT Load(const WCHAR* pszFileName, DWORD dwMode) = 0;
  [[nodiscard]] virtual HRESULT Save(const WCHAR* pszFileName, BOOL fRemember) = 0;
  [[nodiscard]] virtual HRESULT SaveCompleted(const WCHAR* pszFileName) = 0;
  [[nodiscard]] virtual HRESULT GetCurFile(WCHAR** ppszFileName) = 0;
};

struct IFilter : IUnknown {
  // Starts (or restarts) at the beginning of the loaded document. A
  // non-empty attribute list limits the chunks to those properties.
  [[nodiscard]] virtual HRESULT Init(ULONG grfFlags, ULONG cAttributes,
                                     const FULLPROPSPEC* aAttributes, ULONG* pFlags) = 0;
  // Moves to the next chunk and describes it; FILTER_E_END_OF_CHUNKS after
  // the last one.
  [[nodiscard]] virtual HRESULT GetChunk(STAT_CHUNK* pStat) = 0;
  // Copies up to *pcwcBuffer units of the current text chunk, unterminated,
  // and sets *pcwcBuffer to the count copied. FILTER_S_LAST_TEXT marks the
  // last piece of the chunk; FILTER_E_NO_MORE_TEXT follows it.
  [[nodiscard]] virtual HRESULT GetText(ULONG* pcwcBuffer, WCHAR* awcBuffer) = 0;
  [[nodiscard]] virtual HRESULT GetValue(PROPVARIANT** ppPropValue) = 0;
  [[nodiscard]] virtual HRESULT BindRegion(FILTERREGION origPos, REFIID riid, void** ppunk) = 0;
};
