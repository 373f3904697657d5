// E-mail text: messages written here are read in process; truncated,
// deeply nested, damaged and mislabelled ones through the real helper.
#include "filters/filter_host/mail_text.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "filters/filter_host/testing/extract_file.h"
#include "filters/testing/filter_run.h"
#include "platform/testing/private_tree.h"
#include "platform/wstring.h"

namespace docfilter {
namespace {

using testing::FilterRun;
using trovix::testing::WriteFile;

// Base64 in lines of 76 characters, as mail programs write it.
std::string Base64(const std::string& bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const auto byte = [&](std::size_t k) {
      return k < bytes.size() ? static_cast<unsigned char>(bytes[k]) : 0u;
    };
    const unsigned n = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
    out += kAlphabet[n >> 18];
    out += kAlphabet[(n >> 12) & 63];
    out += i + 1 < bytes.size() ? kAlphabet[(n >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kAlphabet[n & 63] : '=';
    if (out.size() % 77 == 76) out += "\n";
  }
  return out + "\n";
}

using testing::Extracted;

class MailTextTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = tree_.home() + "/" + name;
    WriteFile(path, bytes);
    return path;
  }
  Extracted Extract(const std::string& mail) {
    return testing::ExtractFile(ExtractMail, Write("mail.eml", mail), std::size_t{1} << 24);
  }
  static bool Has(const std::string& text, const std::string& word) {
    return text.find(word) != std::string::npos;
  }
  static std::size_t Count(const std::string& text, const std::string& word) {
    std::size_t n = 0;
    for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
      ++n;
    }
    return n;
  }
  trovix::testing::PrivateTree tree_;
};

TEST_F(MailTextTest, HeadersGiveTheTitleAndOneChunkBeforeTheBody) {
  const Extracted r = Extract(
      "From nobody Mon Jan  1 00:00:00 2024\r\n"
      "Received: from relay by mx; Mon, 1 Jan 2024\r\n"
      "From: Alice Example <alice@example.com>\r\n"
      "To: Bob <bob@example.org>,\r\n\tCarol <carol@example.org>\r\n"
      "Subject: Quarterly\r\n report\r\n"
      "X-Mailer: mailerword\r\n"
      "\r\n"
      "Hello Bob,\r\nthe numbers are in.\r\n");
  EXPECT_EQ(r.hr, S_OK);
  EXPECT_EQ(r.title, "Quarterly report");
  EXPECT_EQ(r.text,
            "Alice Example <alice@example.com>\n"
            "Bob <bob@example.org>,\tCarol <carol@example.org>\n"
            "Quarterly report\n"
            "Hello Bob,\nthe numbers are in.");
}

TEST_F(MailTextTest, TransferEncodingsAndCharsetsAreDecoded) {
  const Extracted qp = Extract(
      "Subject: =?ISO-8859-1?Q?caf=E9_cr=E8me?=\n"
      "Content-Type: text/plain; charset=\"ISO-8859-1\"\n"
      "Content-Transfer-Encoding: quoted-printable\n\n"
      "br=FBl=E9e a long line that was cut by a so=  \nft break, =3D sign\n");
  EXPECT_EQ(qp.title, "caf\xC3\xA9 cr\xC3\xA8me");
  EXPECT_TRUE(Has(qp.text,
                  "br\xC3\xBBl\xC3\xA9"
                  "e a long line that was cut by a soft break, = sign"))
      << qp.text;

  const std::string utf8 = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E \xCE\xB1\xCE\xB2 " +
                           std::string(100, 'x') + " \xF0\x9F\x98\x80";
  const Extracted b64 = Extract(
      "Content-Type: text/plain; charset=utf-8\n"
      "Content-Transfer-Encoding: BASE64\n\n" +
      Base64(utf8));
  EXPECT_EQ(b64.text, utf8);

  // Adjacent encoded words join, even where one splits a character; the
  // space before plain text stays. Stateful ISO-2022-JP decodes too.
  const Extracted words = Extract(
      "Subject: =?UTF-8?B?5pel?= =?UTF-8?B?5pys6A==?=\n =?UTF-8?B?qp4=?= and =?iso-2022-jp?B?"
      "GyRCRnxLXDhsGyhC?= end\n"
      "From: =?utf-8?q?Ren=C3=A9e?= <renee@example.com>\n\nbody\n");
  EXPECT_EQ(words.title,
            "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E and \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E end");
  EXPECT_TRUE(Has(words.text,
                  "Ren\xC3\xA9"
                  "e <renee@example.com>"))
      << words.text;
}

TEST_F(MailTextTest, AlternativesGiveThePlainVersionOnly) {
  const std::string html_part =
      "--alt\nContent-Type: text/html; charset=windows-1251\n\n"
      "<html><body><p>htmlonly \xCF\xF0\xE8\xE2\xE5\xF2</p><script>scriptword</script></body>"
      "</html>\n";
  const std::string plain_part = "--alt\nContent-Type: text/plain\n\nshared plainonly\n";
  const std::string head = "Content-Type: multipart/alternative; boundary=alt\n\nPreamble word\n";
  for (const std::string& mail : {head + plain_part + html_part + "--alt--\nepilogue\n",
                                  head + html_part + plain_part + "--alt--\n"}) {
    const Extracted r = Extract(mail);
    EXPECT_EQ(r.text, "shared plainonly");
  }
  // Without plain text (or with an empty one) the html is read, decoded
  // from the part's charset.
  const Extracted html =
      Extract(head + "--alt\nContent-Type: text/plain\n\n \n" + html_part + "--alt--\n");
  EXPECT_EQ(html.text, "htmlonly \xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82");
  // Plain text and html in a related group below the alternative.
  const Extracted related = Extract(
      "Content-Type: multipart/alternative; boundary=\"a; b\"\n\n"
      "--a; b\nContent-Type: multipart/related; boundary=rel\n\n"
      "--rel\nContent-Type: text/html\n\n<p>htmlonly</p>\n--rel--\n"
      "--a; b\nContent-Type: text/plain\n\nplainonly\n--a; b--\n");
  EXPECT_EQ(related.text, "plainonly");
}

TEST_F(MailTextTest, AttachmentsGiveTextOnlyWhenTheyAreText) {
  const Extracted r = Extract(
      "From: a@example.com\nSubject: Files\nMIME-Version: 1.0\n"
      "Content-Type: multipart/mixed;\n boundary=\"outer\"\n\n"
      "--outer\nContent-Type: text/plain; charset=us-ascii\n\nSee the files.\n"
      "--outer\nContent-Type: image/png; name=pic.png\nContent-Transfer-Encoding: base64\n"
      "Content-Disposition: attachment\n\n" +
      Base64("imagesecretword") +
      "--outer\nContent-Type: text/plain; name=notes.txt\nContent-Disposition: attachment\n"
      "Content-Transfer-Encoding: base64\n\n" +
      Base64("notesword") +
      "--outer\nContent-Type: application/octet-stream\n\nrawsecretword\n"
      "--outer--\n");
  EXPECT_EQ(r.text, "a@example.com\nFiles\nSee the files.\nnotesword");
}

TEST_F(MailTextTest, AttachedMessagesGiveTheirHeadersAndText) {
  const Extracted r = Extract(
      "From: outer@example.com\nSubject: Fwd: inner\n"
      "Content-Type: multipart/mixed; boundary=b1\n\n"
      "--b1\n\nforwarding note\n"
      "--b1\nContent-Type: message/rfc822\n\n"
      "From: inner@example.com\nSubject: Inner subject\n"
      "Content-Type: multipart/mixed; boundary=b2\n\n"
      "--b2\nContent-Type: text/plain\n\ninner body\n"
      "--b2\nContent-Type: application/pdf\n\n%PDF-1.4 pdfword\n"
      "--b1--\n");
  EXPECT_EQ(r.title, "Fwd: inner");
  EXPECT_EQ(r.text,
            "outer@example.com\nFwd: inner\nforwarding note\n"
            "inner@example.com\nInner subject\ninner body");
  // In a digest, parts are messages unless they say otherwise.
  const Extracted digest = Extract(
      "Content-Type: multipart/digest; boundary=d\n\n"
      "--d\n\nSubject: First\n\nfirst body\n--d\n\nSubject: Second\n\nsecond body\n--d--\n");
  EXPECT_EQ(digest.text, "First\nfirst body\nSecond\nsecond body");
  EXPECT_EQ(digest.title, "");
}

TEST_F(MailTextTest, FilesWithoutHeadersAreReadAsTextUnlessBinary) {
  EXPECT_EQ(Extract("Just a note\nwith two lines\n").text, "Just a note\nwith two lines");
  // Latin-1 where UTF-8 was expected keeps its words.
  EXPECT_EQ(Extract("Subject: x\n\ncaf\xE9 na\xC3\xAFve\n").text, "x\ncaf\xC3\xA9 na\xC3\xAFve");
  EXPECT_EQ(Extract("").hr, S_OK);
  EXPECT_EQ(Extract(std::string("GIF89a\0\0", 8)).hr, HRESULT_FROM_WIN32(ERROR_BAD_FORMAT));
}

// Through the real helper: whatever these do, the test survives them.
class MailHostileTest : public MailTextTest {
 protected:
  FilterRun Filter(const std::string& name, const std::string& bytes) {
    return testing::RunHostileFilter(Write(name, bytes));
  }
};

TEST_F(MailHostileTest, DamagedMessagesGiveWhatTheyHaveAndEnd) {
  // Cut inside a base64 part and inside the headers.
  const std::string full =
      "Subject: Cut\nContent-Type: multipart/mixed; boundary=x\n\n"
      "--x\nContent-Type: text/plain\nContent-Transfer-Encoding: base64\n\n" +
      Base64("first second third fourth fifth sixth");
  const FilterRun cut = Filter("cut.eml", full.substr(0, full.size() - 20));
  EXPECT_EQ(cut.end, FILTER_E_END_OF_CHUNKS);
  EXPECT_EQ(cut.Title(), "Cut");
  EXPECT_TRUE(Has(cut.Body(), "first second")) << cut.Body();
  EXPECT_EQ(Filter("head.eml", "From: a@b\nSubject: Trunc").Title(), "Trunc");

  // A boundary that never appears: the body is all there is.
  const FilterRun missing =
      Filter("nobound.eml",
             "Content-Type: multipart/mixed; boundary=never\n\nlost body text\n--nevermore\n");
  EXPECT_EQ(missing.end, FILTER_E_END_OF_CHUNKS);
  EXPECT_TRUE(Has(missing.Body(), "lost body text")) << missing.Body();

  // Base64 that is mostly garbage, and a charset nobody knows.
  const FilterRun garbage =
      Filter("garbage.eml", "Content-Transfer-Encoding: base64\n\n!!!@@@***%%%" +
                                std::string(5000, '=') + "aGVsbG8gd29ybGQ=====@@@\n");
  EXPECT_EQ(garbage.end, FILTER_E_END_OF_CHUNKS);
  EXPECT_TRUE(Has(garbage.Body(), "hello world")) << garbage.Body();
  const FilterRun unknown = Filter("charset.eml",
                                   "Content-Type: text/plain; charset=x-no-such-set//TRANSLIT\n\n"
                                   "d\xC3\xA9j\xC3\xA0 vu, caf\xE9\n");
  EXPECT_EQ(unknown.Body(), "d\xC3\xA9j\xC3\xA0 vu, caf\xC3\xA9");

  // A line without any break, far longer than a line buffer.
  const FilterRun line = Filter("line.eml", "Subject: L\n\nstart " + std::string(1 << 20, 'y'));
  EXPECT_EQ(line.end, FILTER_E_END_OF_CHUNKS);
  EXPECT_EQ(line.Body().size(), std::string("Lstart ").size() + (1 << 20));
}

TEST_F(MailHostileTest, DeepNestingIsSkippedWithoutCost) {
  std::string multiparts =
      "Subject: Deep\nContent-Type: multipart/mixed; boundary=b0\n\n"
      "--b0\nContent-Type: text/plain\n\nshallow text\n";
  for (int i = 0; i < 100000; ++i) {
    multiparts += "--b" + std::to_string(i) + "\nContent-Type: multipart/mixed; boundary=b" +
                  std::to_string(i + 1) + "\n\n";
  }
  multiparts += "--b100000\nContent-Type: text/plain\n\ndeepword\n";
  const FilterRun m = Filter("deep.eml", multiparts);
  EXPECT_EQ(m.end, FILTER_E_END_OF_CHUNKS);
  EXPECT_TRUE(Has(m.Body(), "shallow text"));
  EXPECT_FALSE(Has(m.Body(), "deepword"));

  std::string messages;
  for (int i = 0; i < 100000; ++i) messages += "Subject: s\nContent-Type: message/rfc822\n\n";
  messages += "deepword\n";
  const FilterRun n = Filter("nested.eml", messages);
  EXPECT_EQ(n.end, FILTER_E_END_OF_CHUNKS);
  EXPECT_EQ(n.Title(), "s");
  EXPECT_FALSE(Has(n.Body(), "deepword"));
  EXPECT_LT(Count(n.Body(), "s"), 64u);
}

TEST_F(MailHostileTest, BinaryFilesNamedEmlAreRefused) {
  const FilterRun r = Filter("image.eml", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16));
  EXPECT_EQ(r.end, HRESULT_FROM_WIN32(ERROR_BAD_FORMAT));
  EXPECT_TRUE(r.chunks.empty());
}

}  // namespace
}  // namespace docfilter
