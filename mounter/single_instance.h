// The single-instance rule: the first mounter listens on a local socket
// named after its window title; a second start knocks there, which makes
// the first one show its window, and ends. The socket is the user's own
// (in XDG_RUNTIME_DIR when set and nobody else may write to it, else in a
// folder of the user's own in the temporary folder), so other users'
// mounters do not answer.
#ifndef QUENSARIA_MOUNTER_SINGLE_INSTANCE_H_
#define QUENSARIA_MOUNTER_SINGLE_INSTANCE_H_

#include <QObject>
#include <QString>

class QLocalServer;

namespace quensaria::mounter {

// The main window's title and the instance's name.
inline constexpr char kMounterTitle[] = "Velmoran Client Mounter";

class SingleInstance : public QObject {
  Q_OBJECT

 public:
  explicit SingleInstance(const QString& name = QString::fromLatin1(kMounterTitle),
                          QObject* parent = nullptr);
  ~SingleInstance() override;

  // True when a running instance answered: it was asked to show its window
  // and this start should end.
  bool AskRunningInstanceToShow();
  // Starts listening (replacing a socket a crashed instance left); false if
  // that fails or another instance listens there already. Needs an event loop to deliver
  // showRequested.
  bool Listen();

  QString serverName() const { return server_name_; }

 signals:
  void showRequested();

 private:
  // Whether the socket's folder is this user's alone.
  bool Usable() const;

  QString server_name_;
  QString private_folder_;  // the socket's folder, when the mounter makes it
  QLocalServer* server_ = nullptr;
};

}  // namespace quensaria::mounter

#endif  // QUENSARIA_MOUNTER_SINGLE_INSTANCE_H_
