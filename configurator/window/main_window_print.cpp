// The frame's printing, page setup and print preview, the new-image dialog
// and the About box.
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPageSetupDialog>
#include <QPrintDialog>
#include <QPrintPreviewDialog>
#include <QPrintPreviewWidget>
#include <QShortcut>
#include <QTableView>
#include <QVBoxLayout>

#include "configurator/document/server_document.h"
#include "configurator/document/user_prompts.h"
#include "configurator/window/list_model.h"
#include "configurator/window/main_window.h"
#include "configurator/window/new_image_dialog.h"

namespace quensaria::configurator {

PrintTable MainWindow::CurrentPrintTable() const {
  PrintTable table;
  table.list_name =
      QString::fromLatin1(document_->showing_servers() ? kPrintServersList : kPrintClientsList);
  const QAbstractItemModel* shown = list_view_->model();
  for (int column = 0; column < shown->columnCount(); ++column) {
    table.headers << shown->headerData(column, Qt::Horizontal, Qt::DisplayRole).toString();
    table.screen_widths << list_view_->columnWidth(column);
  }
  for (int row = 0; row < shown->rowCount(); ++row) {
    QStringList cells;
    for (int column = 0; column < shown->columnCount(); ++column)
      cells << shown->index(row, column).data().toString();
    table.rows << cells;
  }
  return table;
}

ListPrintout::PrintResult MainWindow::PrintList(QPrinter& printer) const {
  return ListPrintout::Print(printer, CurrentPrintTable(), list_view_->font());
}

void MainWindow::Print() {
  QPrintDialog dialog(&printer_, this);
  dialog.setObjectName(QStringLiteral("printDialog"));
  if (prompts_->Exec(dialog) != QDialog::Accepted) return;
  switch (PrintList(printer_)) {
    case ListPrintout::PrintResult::kPrinted:
      break;
    case ListPrintout::PrintResult::kNotOpened:
      prompts_->Message(QStringLiteral("The printer could not be opened."));
      break;
    case ListPrintout::PrintResult::kRangePastLastPage:
      prompts_->Message(QStringLiteral("The print range starts after the last page."));
      break;
  }
}

void MainWindow::PageSetup() {
  QPageSetupDialog dialog(&printer_, this);
  dialog.setObjectName(QStringLiteral("pageSetupDialog"));
  prompts_->Exec(dialog);
}

void MainWindow::PrintPreview() {
  QPrintPreviewDialog dialog(&printer_, this);
  dialog.setObjectName(QStringLiteral("printPreviewDialog"));
  connect(&dialog, &QPrintPreviewDialog::paintRequested, this,
          [this](QPrinter* printer) { PrintList(*printer); });
  // Esc closes (every dialog does); Page Down and Page Up turn the pages.
  if (auto* preview = dialog.findChild<QPrintPreviewWidget*>()) {
    auto* next = new QShortcut(QKeySequence(Qt::Key_PageDown), &dialog);
    connect(next, &QShortcut::activated, preview,
            [preview] { preview->setCurrentPage(preview->currentPage() + 1); });
    auto* previous = new QShortcut(QKeySequence(Qt::Key_PageUp), &dialog);
    connect(previous, &QShortcut::activated, preview,
            [preview] { preview->setCurrentPage(preview->currentPage() - 1); });
  }
  prompts_->Exec(dialog);
}

void MainWindow::CreateImage() {
  NewImageDialog dialog(*prompts_, this);
  prompts_->Exec(dialog);
}

void MainWindow::About() {
  QDialog dialog(this);
  dialog.setObjectName(QStringLiteral("aboutDialog"));
  dialog.setWindowTitle(QStringLiteral("关于 Ludrane"));
  auto* icon = new QLabel;
  icon->setPixmap(QPixmap(QStringLiteral(":/icons/ludrane-48.png")));
  auto* text = new QLabel(QStringLiteral("<b>Ludrane %1</b><br>Quensaria Server 配置程序<br>"
                                         "管理 Quensaria 服务的服务器、客户端和磁盘镜像。")
                              .arg(QStringLiteral(QUENSARIA_VERSION)));
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
  connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  auto* row = new QHBoxLayout;
  row->addWidget(icon, 0, Qt::AlignTop);
  row->addSpacing(12);
  row->addWidget(text, 1);
  auto* layout = new QVBoxLayout(&dialog);
  layout->addLayout(row);
  layout->addWidget(buttons);
  prompts_->Exec(dialog);
}

}  // namespace quensaria::configurator
