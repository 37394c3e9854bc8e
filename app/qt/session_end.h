#pragma once
// The end of the session as the window hears of it: SIGTERM (the desktop logging out),
// SIGHUP (the terminal it was started from closing) and SIGINT (Ctrl+C there). The
// handler asks the run to stop before its next device request and wakes the window
// through a pipe; a second signal ends the program at once.

#include <QObject>
#include <QSocketNotifier>
#include <memory>

namespace vesk::qt {

class SessionEnd : public QObject {
  Q_OBJECT
 public:
  // One at a time: installs the handlers, which the destructor puts back.
  SessionEnd();
  ~SessionEnd() override;
  SessionEnd(const SessionEnd&) = delete;
  SessionEnd& operator=(const SessionEnd&) = delete;

  // The first signal that came, 0 if none.
  int Signal() const;

 signals:
  void requested();

 private:
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace vesk::qt
