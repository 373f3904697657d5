#include "analysis/cjk.h"

#include <unicode/uchar.h>
#include <unicode/uscript.h>

namespace trovix::analysis {

bool IsCjkCharacter(UChar32 c) {
  if (c < 0x1100) return false;  // nothing below the Hangul jamo
  switch (c) {
    case 0x3099:  // combining voiced and semi-voiced sound marks
    case 0x309A:
    case 0x30FC:  // ー, of script Common
    case 0xFF70:  // ｰ
    case 0xFF9E:  // ﾞ and ﾟ
    case 0xFF9F:
      return true;
    default:
      break;
  }
  UErrorCode status = U_ZERO_ERROR;
  const UScriptCode script = uscript_getScript(c, &status);
  if (script != USCRIPT_HAN && script != USCRIPT_HIRAGANA && script != USCRIPT_KATAKANA &&
      script != USCRIPT_BOPOMOFO && script != USCRIPT_HANGUL) {
    return false;
  }
  return u_hasBinaryProperty(c, UCHAR_ALPHABETIC) || u_charType(c) == U_MODIFIER_LETTER;
}

}  // namespace trovix::analysis
