// trovix-band: the strip window that plays the shell's part for desk band
// components, since a Linux desktop has no taskbar band interface of its own.
//
// Lifecycle of each band the host loads (the order a band relies on):
//   created by class identifier -> SetSite(site) -> GetBandInfo -> ShowDW(TRUE)
//   ... -> CloseDW -> SetSite(nullptr) -> Release.
// A band that fails SetSite is released at once and never shown.
#pragma once

#include <QPoint>
#include <QSize>
#include <QWidget>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/guid.h"
#include "platform/message_port.h"
#include "platform/shell_band.h"

namespace trovix::band {

// The title of the host's top-level port; the band's own port lies below it.
inline constexpr std::u16string_view kHostPortTitle = u"Trovix Desk Band";

// Classes registered as implementing CATID_DeskBand (a key
// HKCR\CLSID\{clsid}\Implemented Categories\{CATID_DeskBand}), in registry
// order. Subkeys whose names are not class identifiers are skipped.
[[nodiscard]] std::vector<CLSID> FindDeskBandClasses();

// The strip's saved rectangle: left, top, right, bottom as 32-bit integers
// (REG_BINARY, 16 bytes). A value of any other size or type counts as none.
struct StripRect {
  INT left = 0;
  INT top = 0;
  INT right = 0;
  INT bottom = 0;
};
[[nodiscard]] bool ReadStripPosition(StripRect* rect);
void WriteStripPosition(const StripRect& rect);

// The size a band is given in a strip of `strip_height` pixels: its minimum
// width (or its ideal width when wider), and the strip's height, held to the
// band's maximum height when it has one. Variable-height bands are not given
// their minimum height: the strip is one text line high.
[[nodiscard]] QSize BandSize(const DESKBANDINFO& info, int strip_height);

// Where a strip of `size` goes on `screen` (available geometry) when asked
// for `wanted`: inside the screen horizontally, against the nearer of its top
// and bottom edges.
[[nodiscard]] QPoint SnapToEdge(QPoint wanted, QSize size, const QRect& screen);

class BandSite;

class BandHost final : public QWidget {
 public:
  BandHost();
  // Closes every band in the order above, then saves the position.
  ~BandHost() override;
  BandHost(const BandHost&) = delete;
  BandHost& operator=(const BandHost&) = delete;

  // Opens the top-level port titled kHostPortTitle.
  [[nodiscard]] HRESULT OpenPort();
  // Loads, sites and shows every desk band class; answers how many are shown.
  // The calling thread must have initialised the component runtime.
  int LoadBands();
  // Closes and releases every band (idempotent).
  void CloseBands();

  [[nodiscard]] const MessagePort* port() const { return port_.get(); }
  [[nodiscard]] std::size_t band_count() const { return bands_.size(); }

  // Places the strip from the saved position, or at the top right of the
  // primary screen when none is saved.
  void RestorePosition();
  void SavePosition() const;

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct Band;
  [[nodiscard]] bool AddBand(const CLSID& clsid);
  void DrainPort();
  void MoveSnapped(QPoint wanted);

  std::unique_ptr<MessagePort> port_;
  std::vector<std::unique_ptr<Band>> bands_;
  QPoint drag_offset_;
  bool dragging_ = false;
};

}  // namespace trovix::band
