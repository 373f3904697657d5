// The mail decoders on damaged and unusual input: they take what they can
// and never fail.
#include "filters/filter_host/mime_decode.h"

#include <gtest/gtest.h>

namespace docfilter {
namespace {

TEST(MimeDecodeTest, Base64PassesOverBreaksGarbageAndInnerPadding) {
  EXPECT_EQ(DecodeBase64("aGVs\r\nbG8g\nd29y bGQ="), "hello world");
  EXPECT_EQ(DecodeBase64("*aGk=aGk=#"), "hihi");  // two encoded pieces joined
  EXPECT_EQ(DecodeBase64("aGVsbA"), "hell");      // unpadded end
  EXPECT_EQ(DecodeBase64("a"), "");
  EXPECT_EQ(DecodeBase64("===="), "");
}

TEST(MimeDecodeTest, QuotedPrintableKeepsWhatItCannotDecode) {
  EXPECT_EQ(DecodeQuotedPrintable("caf=E9 =\nsoft=  \t\r\nbreak =3d=3D"), "caf\xE9 softbreak ==");
  EXPECT_EQ(DecodeQuotedPrintable("a=ZZb =4 ="), "a=ZZb =4 ");
  EXPECT_EQ(DecodeQuotedPrintable("line one\nline two"), "line one\nline two");
}

TEST(MimeDecodeTest, HeaderWordsDecodeAndJoin) {
  EXPECT_EQ(DecodeHeaderText("=?iso-8859-1?q?caf=E9?= =?iso-8859-1?q?_au_lait?= ok"),
            "caf\xC3\xA9 au lait ok");
  // Words in different charsets, separated by folding white space.
  EXPECT_EQ(DecodeHeaderText("=?UTF-8*en?B?zrE=?=\t =?windows-1251?Q?=E4?="), "\xCE\xB1\xD0\xB4");
  // Broken words stay as they are; an unknown charset is read as UTF-8.
  EXPECT_EQ(DecodeHeaderText("=?utf-8?x?abc?= =?utf-8?q?a b?= =?"),
            "=?utf-8?x?abc?= =?utf-8?q?a b?= =?");
  EXPECT_EQ(DecodeHeaderText("=?x-bogus?Q?na=C3=AFve?= plain \xE9t\xE9"),
            "na\xC3\xAFve plain \xC3\xA9t\xC3\xA9");
}

TEST(MimeDecodeTest, ContentTypeParameters) {
  const ContentType a = ParseContentType(
      "Multipart/Mixed; charset=UTF-8;\tBOUNDARY=\"=_a; \\\"b\\\"\" ; format=flowed");
  EXPECT_EQ(a.type, "multipart/mixed");
  EXPECT_EQ(a.charset, "UTF-8");
  EXPECT_EQ(a.boundary, "=_a; \"b\"");
  const ContentType b = ParseContentType("text/plain; flowed; charset = koi8-r ; boundary=");
  EXPECT_EQ(b.type, "text/plain");
  EXPECT_EQ(b.charset, "koi8-r");
  EXPECT_EQ(b.boundary, "");
  EXPECT_EQ(ParseContentType("").type, "");
  EXPECT_EQ(ParseContentType("text/html; charset=\"unterminated").charset, "unterminated");
}

}  // namespace
}  // namespace docfilter
