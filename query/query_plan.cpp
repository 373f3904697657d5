#include "query/query_plan.h"

#include <sys/stat.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <utility>

#include "platform/com.h"
#include "platform/filetime.h"
#include "platform/wstring.h"
#include "query/file_kinds.h"
#include "query/query_steps.h"
#include "shared/itrovixdb.h"
#include "shared/itrovixterms.h"

namespace trovix::query {
namespace {

using Step = QueryPlan::Step;

// The word or phrase of a leaf in the term search's grammar: a phrase
// between quotes, which the analysis drops from inside it anyway.
WString TermText(const QueryNode& node) {
  const bool phrase =
      node.kind == NodeKind::kPhrase || (node.kind == NodeKind::kName && node.phrase);
  if (!phrase) return node.text;
  WString text = u"\"";
  for (const char16_t unit : node.text) text.push_back(unit == u'"' ? u' ' : unit);
  return text + u"\"";
}

// The step of a filter node (extension, kind, folder, time, size).
Step FilterStep(const QueryNode& node) {
  Step step;
  step.kind = node.kind;
  step.text = Utf16ToUtf8(node.text);
  step.low = node.low;
  step.high = node.high;
  return step;
}

bool IsTextTerm(const QueryNode& node) {
  return node.kind == NodeKind::kWord || node.kind == NodeKind::kPhrase;
}

class Compiler {
 public:
  Compiler(ITrovixDB* store, UINT flags, bool to_read_whole)
      : store_(store), flags_(flags), to_read_whole_(to_read_whole) {
    static_cast<void>(store_->QueryInterface(IID_ITrovixTerms, terms_.put_void()));
  }

  // The step of `node`, or none when it narrows nothing (no searchable
  // term). `positive` while no NOT is above it.
  HRESULT Compile(const QueryNode& node, bool positive, std::optional<Step>* out) {
    switch (node.kind) {
      case NodeKind::kWord:
      case NodeKind::kPhrase:
      case NodeKind::kName:
        return Leaf({&node}, positive, out);
      case NodeKind::kNot: {
        std::optional<Step> inner;
        const HRESULT hr = Compile(node.children.front(), false, &inner);
        if (FAILED(hr) || !inner) return hr;
        Step step;
        step.kind = NodeKind::kNot;
        step.children.push_back(std::move(*inner));
        *out = std::move(step);
        return S_OK;
      }
      case NodeKind::kAnd:
      case NodeKind::kOr:
        return Group(node, positive, out);
      default:
        *out = FilterStep(node);
        return S_OK;
    }
  }

  [[nodiscard]] const WString& ranking() const { return ranking_; }
  [[nodiscard]] const WString& snippets() const { return snippets_; }

 private:
  // The words and phrases of an AND are one search, which the store
  // intersects; the other parts are steps of their own.
  HRESULT Group(const QueryNode& node, bool positive, std::optional<Step>* out) {
    Step step;
    step.kind = node.kind;
    std::vector<const QueryNode*> together;
    for (const QueryNode& child : node.children) {
      if (node.kind == NodeKind::kAnd && IsTextTerm(child)) {
        together.push_back(&child);
        continue;
      }
      std::optional<Step> part;
      const HRESULT hr = Compile(child, positive, &part);
      if (FAILED(hr)) return hr;
      if (part) step.children.push_back(std::move(*part));
    }
    if (!together.empty()) {
      std::optional<Step> words;
      const HRESULT hr = Leaf(together, positive, &words);
      if (FAILED(hr)) return hr;
      if (words) step.children.insert(step.children.begin(), std::move(*words));
    }
    if (step.children.empty()) return S_OK;
    if (step.children.size() == 1) {
      *out = std::move(step.children.front());
    } else {
      *out = std::move(step);
    }
    return S_OK;
  }

  // One term search for the leaves `nodes`, all of one kind of matching
  // (text words and phrases, or one name: word).
  HRESULT Leaf(const std::vector<const QueryNode*>& nodes, bool positive,
               std::optional<Step>* out) {
    if (terms_.get() == nullptr) return E_NOINTERFACE;
    WString text;
    for (const QueryNode* node : nodes) {
      const WString term = TermText(*node);
      UINT words = 0;
      if (terms_->CountQueryWords(term.c_str(), &words) != S_OK) continue;  // nothing searchable
      if (!text.empty()) text.push_back(u' ');
      text += term;
      if (positive) {
        Append(&ranking_, term);
        if (node->kind != NodeKind::kName) Append(&snippets_, term);
      }
    }
    if (text.empty()) return S_OK;
    const UINT flags = flags_ | (nodes.front()->kind == NodeKind::kName ? kTermsNameOnly : 0);
    Step step;
    step.kind = NodeKind::kWord;
    // A part the query repeats ("a OR b" in several places) is searched once.
    const auto key = std::make_pair(text, flags);
    if (const auto seen = searched_.find(key); seen != searched_.end()) {
      step.ids = seen->second;
    } else {
      ResultHandle handle;
      const HRESULT hr = OpenTerms(store_, text, flags, to_read_whole_, &handle);
      if (FAILED(hr)) return hr;
      if (hr == S_OK) step.ids = IdsOf(handle.get());
      searched_.emplace(key, step.ids);
    }
    *out = std::move(step);
    return S_OK;
  }

  static void Append(WString* text, const WString& term) {
    if (!text->empty()) text->push_back(u' ');
    *text += term;
  }

  ITrovixDB* store_;
  UINT flags_;
  bool to_read_whole_;
  ComPtr<ITrovixTerms> terms_;
  std::map<std::pair<WString, UINT>, std::vector<INT>> searched_;
  WString ranking_;
  WString snippets_;
};

std::vector<INT> Intersect(const std::vector<INT>& a, const std::vector<INT>& b) {
  std::vector<INT> both;
  std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(both));
  return both;
}

std::vector<INT> Join(const std::vector<INT>& a, const std::vector<INT>& b) {
  std::vector<INT> either;
  std::set_union(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(either));
  return either;
}

// The files `step` may match; none for every file.
std::optional<std::vector<INT>> Candidates(const Step& step) {
  switch (step.kind) {
    case NodeKind::kWord:
      return step.ids;
    case NodeKind::kAnd: {
      std::optional<std::vector<INT>> all;
      for (const Step& child : step.children) {
        std::optional<std::vector<INT>> part = Candidates(child);
        if (!part) continue;
        all = all ? Intersect(*all, *part) : std::move(*part);
      }
      return all;
    }
    case NodeKind::kOr: {
      std::vector<INT> any;
      for (const Step& child : step.children) {
        std::optional<std::vector<INT>> part = Candidates(child);
        if (!part) return std::nullopt;
        any = Join(any, *part);
      }
      return any;
    }
    default:
      return std::nullopt;
  }
}

bool OnlyWords(const Step& step) {
  if (step.kind == NodeKind::kWord) return true;
  return step.kind == NodeKind::kAnd &&
         std::all_of(step.children.begin(), step.children.end(), OnlyWords);
}

// The size on disk of a file whose catalogued size passed: the catalogue
// keeps the low 32 bits only.
std::int64_t SizeOnDisk(std::string_view path, UINT size_lo32) {
  struct stat st {};
  if (lstat(std::string(path).c_str(), &st) == 0 && S_ISREG(st.st_mode)) return st.st_size;
  return size_lo32;
}

bool Matches(const Step& step, const FileFacts& file) {
  switch (step.kind) {
    case NodeKind::kWord:
      return std::binary_search(step.ids.begin(), step.ids.end(), file.id);
    case NodeKind::kAnd:
      return std::all_of(step.children.begin(), step.children.end(),
                         [&](const Step& child) { return Matches(child, file); });
    case NodeKind::kOr:
      return std::any_of(step.children.begin(), step.children.end(),
                         [&](const Step& child) { return Matches(child, file); });
    case NodeKind::kNot:
      return !Matches(step.children.front(), file);
    case NodeKind::kExtension:
      return ExtensionOf(file.path) == step.text;
    case NodeKind::kType:
      return IsOfKind(ExtensionOf(file.path), step.text);
    case NodeKind::kFolder:
      return step.text == "/" || (file.path.size() > step.text.size() &&
                                  file.path.substr(0, step.text.size()) == step.text &&
                                  file.path[step.text.size()] == '/');
    case NodeKind::kModified: {
      const std::int64_t ticks = FileTimeToInt64(file.modification);
      return ticks >= step.low && ticks < step.high;
    }
    case NodeKind::kSize: {
      // The catalogue keeps the low 32 bits: a file that passes on them is
      // measured on disk, which tells a file of 4 GiB or more. One of those
      // whose low half falls below the range is missed; measuring every
      // file to find it would cost a system call per catalogued file.
      if (file.size_lo32 < step.low || file.size_lo32 > step.high) return false;
      const std::int64_t size = SizeOnDisk(file.path, file.size_lo32);
      return size >= step.low && size <= step.high;
    }
    default:
      return false;
  }
}

}  // namespace

HRESULT QueryPlan::Open(ITrovixDB* store, const QueryNode& root, UINT flags, bool to_read_whole,
                        QueryPlan* plan) {
  Compiler compiler(store, flags, to_read_whole);
  std::optional<Step> step;
  const HRESULT hr = compiler.Compile(root, /*positive=*/true, &step);
  if (FAILED(hr)) return hr;
  if (!step) return S_FALSE;
  plan->candidates_ = Candidates(*step);
  plan->tests_rows_ = !OnlyWords(*step);
  plan->ranking_text_ = compiler.ranking();
  plan->snippet_text_ = compiler.snippets();
  plan->root_ = std::move(*step);
  return S_OK;
}

bool QueryPlan::Accepts(const FileFacts& file) const { return Matches(root_, file); }

bool PassesFilters(const std::vector<QueryNode>& filters, const FileFacts& file) {
  return std::all_of(filters.begin(), filters.end(),
                     [&](const QueryNode& filter) { return Matches(FilterStep(filter), file); });
}

}  // namespace trovix::query
