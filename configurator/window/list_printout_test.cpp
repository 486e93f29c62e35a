#include "configurator/window/list_printout.h"

#include <gtest/gtest.h>

#include <QPrinter>
#include <numeric>

#include "platform/scratch_dir_for_testing.h"
#include "tests/pdf_pages_for_testing.h"

namespace quensaria::configurator {
namespace {

PrintTable ClientTable(int rows) {
  PrintTable table;
  table.list_name = QString::fromLatin1(kPrintClientsList);
  table.headers = QStringList{"IP 地址", "计算机名", "访问控制", "状态"};
  table.screen_widths = {120, 250, 100, 100};
  for (int row = 0; row < rows; ++row) {
    table.rows.append(QStringList{QStringLiteral("10.1.%1.7").arg(row),
                                  QStringLiteral("host-%1").arg(row), "完全控制",
                                  row % 2 ? "在线" : "静态"});
  }
  return table;
}

// A PDF of `table` read back as text, one string per page.
class PrintoutTest : public ::testing::Test {
 protected:
  QStringList PrintPages(const PrintTable& table, int from = 0, int to = 0) {
    QPrinter printer(QPrinter::HighResolution);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(QString::fromStdString(pdf_));
    printer.setPageSize(QPageSize(QPageSize::A4));
    if (from > 0) printer.setFromTo(from, to);
    EXPECT_EQ(ListPrintout::Print(printer, table, QFont()), ListPrintout::PrintResult::kPrinted);
    return testing::PdfPages(pdf_);
  }

  testing::ScratchDir scratch_;
  const std::string pdf_ = scratch_.File("list.pdf");
};

TEST_F(PrintoutTest, SixtyRowsFillNumberedPagesWithHeadingsAndEveryRowOnce) {
  const QStringList pages = PrintPages(ClientTable(60));
  ASSERT_GE(pages.size(), 2) << "60 rows of 10 point type do not fit one A4 page";
  const int count = static_cast<int>(pages.size());
  for (int page = 1; page <= count; ++page) {
    const QString& text = pages[page - 1];
    EXPECT_TRUE(text.contains("Quensaria Server")) << page;
    EXPECT_TRUE(text.contains("Clients List")) << page;
    for (const char* header : {"IP 地址", "计算机名", "访问控制", "状态"}) {
      EXPECT_TRUE(text.contains(QString::fromUtf8(header))) << page << header;
    }
    EXPECT_TRUE(text.contains(QStringLiteral("Page %1 of %2").arg(page).arg(count)))
        << text.toStdString();
  }
  for (int row = 0; row < 60; ++row) {
    const QString host = QStringLiteral("host-%1 ").arg(row);
    int seen = 0;
    for (const QString& page : pages) seen += static_cast<int>(page.count(host));
    EXPECT_EQ(seen, 1) << host.toStdString();
    // Rows keep their order: row n is on the page the rows before it filled.
    if (row > 0) {
      const auto on = [&](int r) {
        for (int p = 0; p < count; ++p)
          if (pages[p].contains(QStringLiteral("host-%1 ").arg(r))) return p;
        return -1;
      };
      EXPECT_LE(on(row - 1), on(row));
    }
  }
  EXPECT_TRUE(pages[0].contains("10.1.0.7"));
  EXPECT_TRUE(pages[0].contains("完全控制"));
  EXPECT_TRUE(pages[0].contains("在线"));
}

TEST_F(PrintoutTest, PageRangePrintsOnlyThosePages) {
  const QStringList all = PrintPages(ClientTable(60));
  ASSERT_GE(all.size(), 2);
  const QStringList second = PrintPages(ClientTable(60), 2, 2);
  ASSERT_EQ(second.size(), 1);
  EXPECT_TRUE(second[0].contains(QStringLiteral("Page 2 of %1").arg(all.size())));
  EXPECT_FALSE(second[0].contains("host-0 "));
}

TEST_F(PrintoutTest, EmptyListPrintsOnePageWithHeaders) {
  PrintTable table = ClientTable(0);
  table.list_name = QString::fromLatin1(kPrintServersList);
  table.headers = QStringList{"数据位置", "侦听 IP", "端口", "容量", "缓存", "状态"};
  table.screen_widths = {200, 100, 60, 80, 60, 80};
  const QStringList pages = PrintPages(table);
  ASSERT_EQ(pages.size(), 1);
  EXPECT_TRUE(pages[0].contains("Servers List"));
  EXPECT_TRUE(pages[0].contains("数据位置"));
  EXPECT_TRUE(pages[0].contains("Page 1 of 1"));
}

TEST(PrintoutLayoutTest, ColumnsKeepTheirProportionsAndFitThePage) {
  QPrinter printer(QPrinter::HighResolution);
  printer.setOutputFormat(QPrinter::PdfFormat);
  printer.setFullPage(true);
  PrintTable table = ClientTable(1);
  const ListPrintout normal(table, &printer, QFont());
  ASSERT_EQ(normal.column_widths().size(), 4);
  EXPECT_NEAR(normal.column_widths()[1] / double(normal.column_widths()[3]), 2.5, 0.05);
  EXPECT_GT(normal.column_widths()[0], 120);  // scaled up from screen pixels to 1200 dpi

  table.screen_widths = {4000, 4000, 4000, 4000};
  const ListPrintout wide(table, &printer, QFont());
  const int total = std::accumulate(wide.column_widths().begin(), wide.column_widths().end(), 0);
  const int margins = 2 * kPrintMarginPixels * printer.logicalDpiX() / kPrintReferenceDpi;
  EXPECT_LE(total, printer.width() - margins);
  EXPECT_GT(total, (printer.width() - margins) * 9 / 10);
}

}  // namespace
}  // namespace quensaria::configurator
