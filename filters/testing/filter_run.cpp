#include "filters/testing/filter_run.h"

#include <gtest/gtest.h>

#include "platform/wstring.h"

namespace docfilter::testing {
namespace {

std::string Joined(const std::vector<FilteredChunk>& chunks, bool titles) {
  std::string joined;
  for (const FilteredChunk& c : chunks) {
    if (c.title != titles) continue;
    joined += c.text;
    if (!joined.empty() && joined.back() == '\n') joined.pop_back();
  }
  return joined;
}

}  // namespace

std::string BuiltHost() { return std::string(TROVIX_BUILD_DIR) + "/bin/trovix-filterhost"; }

std::string FilterRun::Body() const { return Joined(chunks, false); }
std::string FilterRun::Title() const { return Joined(chunks, true); }

FilterRun RunFilter(const std::string& path, HelperSettings settings) {
  FilterRun r;
  DocFilter* filter = DocFilter::Create(nullptr, std::move(settings));
  r.load = filter->Load(Utf8ToUtf16(path).c_str(), STGM_READ | STGM_SHARE_DENY_NONE);
  ULONG flags = 0;
  if (SUCCEEDED(r.load) && SUCCEEDED(filter->Init(0, 0, nullptr, &flags))) {
    STAT_CHUNK stat{};
    while (SUCCEEDED(r.end = filter->GetChunk(&stat))) {
      FilteredChunk chunk{stat.attribute.guidPropSet == FMTID_SummaryInformation, {}};
      std::u16string text;
      WCHAR buffer[4096];
      ULONG count = 4095;
      while (SUCCEEDED(filter->GetText(&count, buffer))) {
        r.pieces.push_back(count);
        text.append(buffer, count);
        count = 4095;
      }
      chunk.text = Utf16ToUtf8(text);
      r.chunks.push_back(chunk);
    }
  }
  filter->Release();
  return r;
}

FilterRun RunHostileFilter(const std::string& path) {
  FilterRun run = RunFilter(path);
  EXPECT_EQ(run.load, S_OK) << path;
  EXPECT_NE(run.end, E_FAIL) << path << ": the helper died or hit a limit";
  EXPECT_NE(run.end, HRESULT_FROM_WIN32(ERROR_TIMEOUT)) << path;
  return run;
}

}  // namespace docfilter::testing
