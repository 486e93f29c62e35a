// The text of a printed PDF, for tests of printing: pdftotext's layout
// output split into pages.
#ifndef QUENSARIA_TESTS_PDF_PAGES_FOR_TESTING_H_
#define QUENSARIA_TESTS_PDF_PAGES_FOR_TESTING_H_

#include <gtest/gtest.h>

#include <QChar>
#include <QString>
#include <QStringList>
#include <string>

#include "tests/program_for_testing.h"

namespace quensaria::testing {

// The text of the PDF file `pdf`, one string per page (a failure if
// pdftotext cannot read it).
inline QStringList PdfPages(const std::string& pdf) {
  const ProgramResult text = RunProgram({"pdftotext", "-layout", pdf, "-"});
  EXPECT_EQ(text.exit_code, 0) << text.err;
  // The CJK font maps some glyphs back to Kangxi radicals (⼝ for 口); NFKC
  // folds them into the ideographs the text was written with.
  QStringList pages =
      QString::fromStdString(text.out).normalized(QString::NormalizationForm_KC).split(QChar('\f'));
  if (!pages.isEmpty() && pages.last().trimmed().isEmpty()) pages.removeLast();
  return pages;
}

}  // namespace quensaria::testing

#endif  // QUENSARIA_TESTS_PDF_PAGES_FOR_TESTING_H_
