// GoogleTest prints Qt strings and string lists readably in failed checks.
#ifndef QUENSARIA_TESTS_QT_PRINT_FOR_TESTING_H_
#define QUENSARIA_TESTS_QT_PRINT_FOR_TESTING_H_

#include <QString>
#include <QStringList>
#include <ostream>

inline void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QStringList& list, std::ostream* out) {
  *out << '{' << list.join(QStringLiteral("|")).toStdString() << '}';
}

#endif  // QUENSARIA_TESTS_QT_PRINT_FOR_TESTING_H_
