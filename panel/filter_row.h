// The row of filter menus under the pattern boxes: a file kind, a period the
// file was last written in, and a least size. Each narrows the rows a search
// reads; "any" narrows nothing.
//
// The filters are query nodes of the filter kinds (query/query_language.h),
// decided per catalogue row by query::PassesFilters, so that a kind, a date
// or a size means here what it means in a typed query.
// Only the dialog's thread touches the row.
#pragma once

#include <QWidget>
#include <cstdint>
#include <vector>

#include "query/query_language.h"

class QComboBox;

namespace trovix::panel {

enum class ModifiedPeriod { kAnyTime, kToday, kThisWeek, kThisMonth, kThisYear };

// FILETIME ticks of the local midnight that starts the period holding `now`
// (Unix seconds): today, the week (which starts on `first_day`), the month,
// the year. 0 for kAnyTime.
[[nodiscard]] std::int64_t PeriodStart(ModifiedPeriod period, std::int64_t now,
                                       Qt::DayOfWeek first_day);

class FilterRow : public QWidget {
  Q_OBJECT

 public:
  explicit FilterRow(QWidget* parent = nullptr);

  // The filters the menus ask for at the time `now` (Unix seconds); empty
  // when every menu is at "any". The week starts on the user's locale's
  // first day.
  [[nodiscard]] std::vector<query::QueryNode> Filters(std::int64_t now) const;

  [[nodiscard]] QComboBox* type_menu() const { return menus_[0]; }
  [[nodiscard]] QComboBox* modified_menu() const { return menus_[1]; }
  [[nodiscard]] QComboBox* size_menu() const { return menus_[2]; }

 signals:
  // A menu's choice changed, by the user or by a program.
  void changed();

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  QComboBox* menus_[3] = {};  // type, modified, size
};

}  // namespace trovix::panel
