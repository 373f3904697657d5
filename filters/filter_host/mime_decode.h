// The encodings of Internet mail: base64 and quoted-printable bodies,
// encoded words in header fields, and the parameters of Content-Type.
// Every decoder takes what it can from damaged input and never fails.
#pragma once

#include <string>
#include <string_view>

namespace docfilter {

// Base64; characters outside the alphabet (line breaks, garbage) are passed
// over, and '=' ends a group wherever it stands.
std::string DecodeBase64(std::string_view text);
// Quoted-printable: =XX bytes, soft line breaks ("=" at a line's end)
// removed; an '=' that starts neither stays as it is.
std::string DecodeQuotedPrintable(std::string_view text);
// An unfolded header field's value with its encoded words
// (=?charset?B?...?= and =?charset?Q?...?=) decoded, as UTF-8. White space
// between two encoded words is dropped; text outside them is read as UTF-8
// (bytes that are not, as Windows-1252).
std::string DecodeHeaderText(std::string_view value);

struct ContentType {
  std::string type;  // "type/subtype" in lower case; empty when none was given
  std::string charset;
  std::string boundary;
};
ContentType ParseContentType(std::string_view value);

}  // namespace docfilter
