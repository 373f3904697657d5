#include "panel/filter_row.h"

#include <QComboBox>
#include <QLocale>
#include <ctime>
#include <string>

#include "query/file_kinds.h"

namespace trovix::panel {
namespace {

// What the type menu calls a kind; a kind without an entry shows its name.
QString KindLabel(const std::string& kind) {
  static const struct {
    const char* kind;
    const char* label;
  } kLabels[] = {
      {"document", "Documents"},
      {"pdf", "PDF files"},
      {"text", "Text files"},
      {"web", "Web pages"},
      {"mail", "Mail"},
      {"ebook", "E-books"},
      {"spreadsheet", "Spreadsheets"},
      {"presentation", "Presentations"},
      {"image", "Images"},
      {"audio", "Audio"},
      {"video", "Video"},
      {"archive", "Archives"},
  };
  for (const auto& entry : kLabels) {
    if (kind == entry.kind) return QString::fromLatin1(entry.label);
  }
  return QString::fromStdString(kind);
}

// Sizes count in units of 1024 bytes, as in a typed query.
constexpr qint64 kKilobyte = 1024;

}  // namespace

std::int64_t PeriodStart(ModifiedPeriod period, std::int64_t now, Qt::DayOfWeek first_day) {
  const auto at = static_cast<std::time_t>(now);
  std::tm parts{};
  localtime_r(&at, &parts);
  switch (period) {
    case ModifiedPeriod::kToday:
      return query::DayStart(now, 0);
    case ModifiedPeriod::kThisWeek: {
      const int weekday = parts.tm_wday == 0 ? Qt::Sunday : parts.tm_wday;  // Monday is 1
      return query::DayStart(now, (weekday - first_day + 7) % 7);
    }
    case ModifiedPeriod::kThisMonth:
      return query::DayStart(now, parts.tm_mday - 1);
    case ModifiedPeriod::kThisYear:
      return query::DayStart(now, parts.tm_yday);
    case ModifiedPeriod::kAnyTime:
      break;
  }
  return 0;
}

FilterRow::FilterRow(QWidget* parent) : QWidget(parent) {
  for (QComboBox*& menu : menus_) {
    menu = new QComboBox(this);
    connect(menu, &QComboBox::currentIndexChanged, this, &FilterRow::changed);
  }
  type_menu()->addItem(QStringLiteral("Any type"), QString());
  for (const std::string& kind : query::FileKindNames()) {
    type_menu()->addItem(KindLabel(kind), QString::fromStdString(kind));
  }

  static const struct {
    const char* label;
    ModifiedPeriod period;
  } kPeriods[] = {
      {"Modified any time", ModifiedPeriod::kAnyTime},
      {"Modified today", ModifiedPeriod::kToday},
      {"Modified this week", ModifiedPeriod::kThisWeek},
      {"Modified this month", ModifiedPeriod::kThisMonth},
      {"Modified this year", ModifiedPeriod::kThisYear},
  };
  for (const auto& entry : kPeriods) {
    modified_menu()->addItem(QString::fromLatin1(entry.label), static_cast<int>(entry.period));
  }

  static const struct {
    const char* label;
    qint64 bytes;
  } kSizes[] = {
      {"Any size", 0},
      {"At least 10 KB", 10 * kKilobyte},
      {"At least 100 KB", 100 * kKilobyte},
      {"At least 1 MB", kKilobyte * kKilobyte},
      {"At least 10 MB", 10 * kKilobyte * kKilobyte},
      {"At least 100 MB", 100 * kKilobyte * kKilobyte},
      {"At least 1 GB", kKilobyte * kKilobyte * kKilobyte},
  };
  for (const auto& entry : kSizes)
    size_menu()->addItem(QString::fromLatin1(entry.label), entry.bytes);
}

std::vector<query::QueryNode> FilterRow::Filters(std::int64_t now) const {
  std::vector<query::QueryNode> filters;
  const QString kind = type_menu()->currentData().toString();
  if (!kind.isEmpty()) {
    query::QueryNode node;
    node.kind = query::NodeKind::kType;
    node.text = kind.toStdU16String();
    filters.push_back(std::move(node));
  }
  const auto period = static_cast<ModifiedPeriod>(modified_menu()->currentData().toInt());
  if (period != ModifiedPeriod::kAnyTime) {
    query::QueryNode node;
    node.kind = query::NodeKind::kModified;
    node.low = PeriodStart(period, now, QLocale::system().firstDayOfWeek());
    node.high = query::kUnbounded;
    filters.push_back(std::move(node));
  }
  const qint64 bytes = size_menu()->currentData().toLongLong();
  if (bytes > 0) {
    query::QueryNode node;
    node.kind = query::NodeKind::kSize;
    node.low = bytes;
    node.high = query::kUnbounded;
    filters.push_back(std::move(node));
  }
  return filters;
}

// The three menus share the row's width equally, a small gap apart.
void FilterRow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  const int gap = fontMetrics().averageCharWidth();
  const int each = (width() - 2 * gap) / 3;
  for (int i = 0; i < 3; ++i) {
    const int x = i * (each + gap);
    menus_[i]->setGeometry(x, 0, i == 2 ? width() - x : each, height());
  }
}

}  // namespace trovix::panel
