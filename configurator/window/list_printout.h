// ListPrintout: the printed form of the list view, page by page. Each page
// has a heading band ("Quensaria Server" at the left, the list's name at the
// right) ruled off by a black bar, the column headers, as many rows as fit,
// and a footer ruled off by another bar with "Page %d of %d". Sizes in
// printer pixels refer to a 600-dpi printer and scale with the device's
// resolution, so a PDF at 1200 dpi gets the same page as a laser printer.
// GUI thread only (fonts and painters are Qt GUI objects).
#ifndef QUENSARIA_CONFIGURATOR_WINDOW_LIST_PRINTOUT_H_
#define QUENSARIA_CONFIGURATOR_WINDOW_LIST_PRINTOUT_H_

#include <QFont>
#include <QList>
#include <QRect>
#include <QString>
#include <QStringList>

class QPainter;
class QPaintDevice;
class QPrinter;

namespace quensaria::configurator {

inline constexpr char kPrintHeading[] = "Quensaria Server";
inline constexpr char kPrintServersList[] = "Servers List";
inline constexpr char kPrintClientsList[] = "Clients List";
inline constexpr char kPrintPageFooter[] = "Page %1 of %2";
inline constexpr int kPrintReferenceDpi = 600;
inline constexpr int kPrintMarginPixels = 100;  // on every side, at the reference resolution
inline constexpr int kPrintBarPixels = 5;       // the heading's and the footer's rules

// What is printed: the list's name, its columns with their widths on the
// screen, and the rows' cell texts in the order the view shows them.
struct PrintTable {
  QString list_name;
  QStringList headers;
  QList<int> screen_widths;  // pixels, one per header
  QList<QStringList> rows;   // one text per header
};

// The printer font, or its metric-compatible stand-in when the family is
// missing ("Arial" → "Liberation Sans", "Times New Roman" → "Liberation Serif").
QFont PrintFont(const QString& family, int point_size, bool bold);

class ListPrintout {
 public:
  // Lays `table` out on pages of `device` (a QPrinter with full-page
  // painting, a QPdfWriter or an image). `screen_font` is the list view's
  // font: column widths scale by the printer row font's average character
  // width over the screen font's, and shrink further when the table would
  // be wider than the page. `device` must outlive the printout.
  ListPrintout(PrintTable table, QPaintDevice* device, const QFont& screen_font);

  int rows_per_page() const { return rows_per_page_; }
  // At least 1: an empty list still prints its headers.
  int page_count() const;
  const QList<int>& column_widths() const { return column_widths_; }

  // Paints page `page` (1-based) with `painter`, which is active on the device.
  void PaintPage(QPainter& painter, int page) const;

  enum class PrintResult { kPrinted, kNotOpened, kRangePastLastPage };
  // Prints `table` on `printer` (switched to full-page painting, so the
  // margins are ours): the printer's page range, or every page when none is
  // set. kNotOpened when the printer could not be opened; a range that
  // starts after the last page opens no job.
  static PrintResult Print(QPrinter& printer, PrintTable table, const QFont& screen_font);

 private:
  int Scaled(int reference_pixels) const;
  void PaintHeading(QPainter& painter) const;
  void PaintColumnHeaders(QPainter& painter) const;
  void PaintRows(QPainter& painter, int page) const;
  void PaintFooter(QPainter& painter, int page) const;
  void PaintCells(QPainter& painter, const QStringList& cells, int top, int height) const;

  PrintTable table_;
  QPaintDevice* device_;
  QFont heading_font_, header_font_, row_font_, footer_font_;
  QRect body_;  // inside the margins
  int heading_height_ = 0, header_height_ = 0, row_height_ = 0, footer_height_ = 0;
  int rows_top_ = 0;
  int rows_per_page_ = 1;
  QList<int> column_widths_;
};

}  // namespace quensaria::configurator

#endif  // QUENSARIA_CONFIGURATOR_WINDOW_LIST_PRINTOUT_H_
