#include "indexer/notify_panels.h"

#include <vector>

#include "platform/message_port.h"

namespace trovix::indexer {
namespace {

bool TitleBegins(const PortInfo& port, std::u16string_view prefix) {
  return !port.title.empty() && port.title.starts_with(prefix);
}

void Post(const PortInfo& port, UINT message) {
  static_cast<void>(PostPortMessage(port, message, 0, 0));
}

}  // namespace

void NotifyPanels(UINT message) {
  std::vector<PortInfo> panels;
  if (SUCCEEDED(EnumerateTopLevelPorts(u"Vistrel", &panels))) {
    for (const PortInfo& panel : panels) {
      if (TitleBegins(panel, u"Vistrel")) Post(panel, message);
    }
  }
  std::vector<PortInfo> hosts;
  if (FAILED(EnumerateTopLevelPorts(u"Trovix", &hosts))) return;
  for (const PortInfo& host : hosts) {
    if (!TitleBegins(host, u"Trovix")) continue;
    std::vector<PortInfo> children;
    if (FAILED(EnumerateChildPorts(host.id, &children))) continue;
    for (const PortInfo& child : children) {
      if (TitleBegins(child, u"Trovix")) Post(child, message);
    }
  }
}

}  // namespace trovix::indexer
