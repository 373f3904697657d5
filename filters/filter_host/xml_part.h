// One XML part of an archive (held in memory) read as a stream of start
// tags, end tags and text, with libxml2's streaming reader: memory stays
// small for big parts and nesting depth costs no stack.
//
// The part is read the way every document here is: no network, no DTD
// loaded, no external entity ever read, entities not expanded (an expansion
// bomb gives no text), and libxml2's limits on nesting depth and entity
// amplification left on. A part that breaks these limits or is not
// well-formed ends early with failed() set; what came before stays valid.
#pragma once

#include <libxml/xmlreader.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace docfilter {

class XmlPart {
 public:
  enum class Event { kStart, kEnd, kText };

  // `bytes` must outlive the reader.
  explicit XmlPart(std::string_view bytes);

  // Moves to the next event. An empty element gives a start and an end.
  // False at the end of the part, or where it stops being readable.
  bool Next();
  bool failed() const { return failed_; }

  Event event() const { return event_; }
  // The element's local name and namespace (kStart, kEnd).
  std::string_view local_name() const;
  std::string_view namespace_uri() const;
  bool Is(std::string_view ns, std::string_view local) const {
    return local_name() == local && namespace_uri() == ns;
  }
  // An attribute of the element (kStart); empty when absent. `ns` null: an
  // attribute without a namespace prefix.
  std::string Attribute(const char* local, const char* ns = nullptr) const;
  // The text (kText), as UTF-8.
  std::string_view text() const;

 private:
  struct FreeReader {
    void operator()(xmlTextReader* reader) const { xmlFreeTextReader(reader); }
  };
  std::unique_ptr<xmlTextReader, FreeReader> reader_;
  Event event_ = Event::kEnd;
  bool end_pending_ = false;  // the current element is empty: its end comes next
  bool failed_ = false;
};

// Called at an element's start: the text inside it, up to its end, with
// white-space runs folded into single spaces and no more than `max_bytes`
// kept (cut between characters).
std::string ElementText(XmlPart* part, std::size_t max_bytes = 64 * 1024);

// The text of the first element `ns`:`local` of the part; empty when it has
// none.
std::string FirstElementText(std::string_view bytes, std::string_view ns, std::string_view local);

}  // namespace docfilter
