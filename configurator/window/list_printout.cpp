#include "configurator/window/list_printout.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QPaintDevice>
#include <QPainter>
#include <QPrinter>
#include <algorithm>
#include <cmath>

namespace quensaria::configurator {
namespace {

constexpr int kGapPixels = 20;      // between the bands, at the reference resolution
constexpr int kCellPadPixels = 15;  // left of each cell's text

QString StandIn(const QString& family) {
  if (family == QLatin1String("Arial")) return QStringLiteral("Liberation Sans");
  if (family == QLatin1String("Times New Roman")) return QStringLiteral("Liberation Serif");
  return family;
}

// A face of the same style that has the Chinese glyphs, so a cell is drawn
// in one font: mixing in fallback glyphs shifts them off the baseline in
// print preview.
QFont ChineseTwin(const QFont& font) {
  const bool serif = font.styleHint() == QFont::Serif;
  const QString family =
      serif ? QStringLiteral("Noto Serif CJK SC") : QStringLiteral("Noto Sans CJK SC");
  if (!QFontDatabase::hasFamily(family)) return font;
  QFont twin = font;
  twin.setFamilies({family, font.family()});
  return twin;
}

bool HasChinese(const QString& text) {
  for (QChar c : text) {
    if (c.unicode() >= 0x2E80) return true;
  }
  return false;
}

}  // namespace

QFont PrintFont(const QString& family, int point_size, bool bold) {
  const QString chosen = QFontDatabase::hasFamily(family) ? family : StandIn(family);
  QFont font(chosen, point_size, bold ? QFont::Bold : QFont::Normal);
  // Chinese cells fall back to whatever CJK face fontconfig offers.
  font.setStyleHint(chosen.contains(QLatin1String("Serif")) ||
                            chosen.startsWith(QLatin1String("Times"))
                        ? QFont::Serif
                        : QFont::SansSerif);
  return font;
}

ListPrintout::ListPrintout(PrintTable table, QPaintDevice* device, const QFont& screen_font)
    : table_(std::move(table)),
      device_(device),
      heading_font_(PrintFont(QStringLiteral("Arial"), 12, true)),
      header_font_(PrintFont(QStringLiteral("Arial"), 9, true)),
      row_font_(PrintFont(QStringLiteral("Times New Roman"), 10, false)),
      footer_font_(PrintFont(QStringLiteral("Arial"), 10, false)) {
  const int margin = Scaled(kPrintMarginPixels);
  body_ = QRect(margin, margin, device_->width() - 2 * margin, device_->height() - 2 * margin);

  heading_height_ = QFontMetrics(heading_font_, device_).height();
  // Rows get room for the taller CJK faces that Chinese cells fall back to.
  header_height_ = std::max(QFontMetrics(header_font_, device_).height(),
                            QFontMetrics(ChineseTwin(header_font_), device_).height()) *
                   3 / 2;
  row_height_ = std::max(QFontMetrics(row_font_, device_).height(),
                         QFontMetrics(ChineseTwin(row_font_), device_).height()) *
                4 / 3;
  footer_height_ = QFontMetrics(footer_font_, device_).height();

  const int gap = Scaled(kGapPixels), bar = Scaled(kPrintBarPixels);
  rows_top_ = body_.top() + heading_height_ + gap + bar + gap + header_height_;
  const int rows_bottom = body_.bottom() - footer_height_ - gap - bar - gap;
  rows_per_page_ = std::max(1, (rows_bottom - rows_top_) / std::max(1, row_height_));

  const double printer_char = QFontMetrics(row_font_, device_).averageCharWidth();
  const double screen_char = std::max(1, QFontMetrics(screen_font).averageCharWidth());
  double total = 0;
  for (int width : table_.screen_widths) total += width * printer_char / screen_char;
  // A table wider than the page would lose its right-hand columns.
  const double fit = total > body_.width() ? body_.width() / total : 1.0;
  for (int width : table_.screen_widths) {
    column_widths_.append(static_cast<int>(std::floor(width * printer_char / screen_char * fit)));
  }
}

int ListPrintout::Scaled(int reference_pixels) const {
  return std::max(1, reference_pixels * device_->logicalDpiY() / kPrintReferenceDpi);
}

int ListPrintout::page_count() const {
  const int rows = static_cast<int>(table_.rows.size());
  return std::max(1, (rows + rows_per_page_ - 1) / rows_per_page_);
}

void ListPrintout::PaintPage(QPainter& painter, int page) const {
  painter.save();
  painter.setPen(Qt::black);
  PaintHeading(painter);
  PaintColumnHeaders(painter);
  PaintRows(painter, page);
  PaintFooter(painter, page);
  painter.restore();
}

void ListPrintout::PaintHeading(QPainter& painter) const {
  const QRect band(body_.left(), body_.top(), body_.width(), heading_height_);
  painter.setFont(heading_font_);
  painter.drawText(band, Qt::AlignLeft | Qt::AlignVCenter, QString::fromLatin1(kPrintHeading));
  painter.drawText(band, Qt::AlignRight | Qt::AlignVCenter, table_.list_name);
  painter.fillRect(body_.left(), band.bottom() + Scaled(kGapPixels), body_.width(),
                   Scaled(kPrintBarPixels), Qt::black);
}

void ListPrintout::PaintColumnHeaders(QPainter& painter) const {
  painter.setFont(header_font_);
  const int top = rows_top_ - header_height_;
  PaintCells(painter, table_.headers, top, header_height_);
  painter.drawLine(body_.left(), rows_top_ - 1, body_.left() + body_.width(), rows_top_ - 1);
}

void ListPrintout::PaintRows(QPainter& painter, int page) const {
  painter.setFont(row_font_);
  const int first = (page - 1) * rows_per_page_;
  const int end = std::min(static_cast<int>(table_.rows.size()), first + rows_per_page_);
  for (int row = first; row < end; ++row) {
    PaintCells(painter, table_.rows[row], rows_top_ + (row - first) * row_height_, row_height_);
  }
}

void ListPrintout::PaintFooter(QPainter& painter, int page) const {
  const QRect band(body_.left(), body_.bottom() - footer_height_, body_.width(), footer_height_);
  painter.fillRect(body_.left(), band.top() - Scaled(kGapPixels) - Scaled(kPrintBarPixels),
                   body_.width(), Scaled(kPrintBarPixels), Qt::black);
  painter.setFont(footer_font_);
  painter.drawText(band, Qt::AlignHCenter | Qt::AlignVCenter,
                   QString::fromLatin1(kPrintPageFooter).arg(page).arg(page_count()));
}

void ListPrintout::PaintCells(QPainter& painter, const QStringList& cells, int top,
                              int height) const {
  const QFont latin = painter.font(), chinese = ChineseTwin(latin);
  const QFontMetrics latin_metrics(latin, device_);
  const QFontMetrics chinese_metrics(chinese, device_);
  // One baseline for the row, whichever face draws each cell.
  const int ascent = std::max(latin_metrics.ascent(), chinese_metrics.ascent());
  const int descent = std::max(latin_metrics.descent(), chinese_metrics.descent());
  const int baseline = top + (height - ascent - descent) / 2 + ascent;
  const int pad = Scaled(kCellPadPixels);
  int left = body_.left();
  for (int column = 0; column < column_widths_.size(); ++column) {
    const int width = column_widths_[column];
    const QString text = column < cells.size() ? cells[column] : QString();
    const bool in_chinese = HasChinese(text);
    painter.setFont(in_chinese ? chinese : latin);
    const QFontMetrics& metrics = in_chinese ? chinese_metrics : latin_metrics;
    painter.drawText(QPoint(left + pad, baseline),
                     metrics.elidedText(text, Qt::ElideRight, std::max(0, width - 2 * pad)));
    left += width;
  }
  painter.setFont(latin);
}

ListPrintout::PrintResult ListPrintout::Print(QPrinter& printer, PrintTable table,
                                              const QFont& screen_font) {
  printer.setFullPage(true);
  // Laid out before the job opens: a range with no page in it prints nothing.
  const ListPrintout printout(std::move(table), &printer, screen_font);
  int from = 1, to = printout.page_count();
  if (printer.fromPage() > 0) {
    from = std::max(from, printer.fromPage());
    to = std::min(to, std::max(printer.toPage(), from));
  }
  if (from > to) return PrintResult::kRangePastLastPage;
  QPainter painter;
  if (!painter.begin(&printer)) return PrintResult::kNotOpened;
  for (int page = from; page <= to; ++page) {
    if (page > from) printer.newPage();
    printout.PaintPage(painter, page);
  }
  return painter.end() ? PrintResult::kPrinted : PrintResult::kNotOpened;
}

}  // namespace quensaria::configurator
