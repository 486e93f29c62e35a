// StatusLine: the status bar's message, cut with "..." where the window is
// too narrow and shown whole in its tool tip, so that no text is lost.
// GUI thread.
#ifndef QUENSARIA_MOUNTER_STATUS_LINE_H_
#define QUENSARIA_MOUNTER_STATUS_LINE_H_

#include <QLabel>

namespace quensaria::mounter {

class StatusLine : public QLabel {
  Q_OBJECT

 public:
  explicit StatusLine(QWidget* parent = nullptr);

  void SetMessage(const QString& text);
  const QString& message() const { return message_; }

  QSize minimumSizeHint() const override;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void Elide();

  QString message_;
};

}  // namespace quensaria::mounter

#endif  // QUENSARIA_MOUNTER_STATUS_LINE_H_
