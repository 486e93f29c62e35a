#include "mounter/status_line.h"

#include <QFontMetrics>

namespace quensaria::mounter {

StatusLine::StatusLine(QWidget* parent) : QLabel(parent) {
  setObjectName("statusLine");
  setTextFormat(Qt::PlainText);
  setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

void StatusLine::SetMessage(const QString& text) {
  message_ = text;
  setToolTip(text);
  Elide();
}

QSize StatusLine::minimumSizeHint() const {
  // Any width will do: the text is cut to it.
  return QSize(0, QLabel::minimumSizeHint().height());
}

void StatusLine::resizeEvent(QResizeEvent* event) {
  QLabel::resizeEvent(event);
  Elide();
}

void StatusLine::Elide() {
  setText(fontMetrics().elidedText(message_, Qt::ElideRight, std::max(0, contentsRect().width())));
}

}  // namespace quensaria::mounter
