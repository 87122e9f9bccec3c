// CKivImageApp: starts the program: the single running copy (a second copy hands its
// file to the first over a socket in a folder private to the user, and ends), the
// settings read at start, the main frame, the files of the command line and the frame's
// placement.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>

class CMainFrame;
class QLocalServer;
class QtMessageBox;
class QtUserPrompts;

class CKivImageApp : public QObject {
  Q_OBJECT

 public:
  // With qtServices false the message box and prompts already installed answer (tests
  // record them); otherwise Qt dialogs over the main frame do.
  explicit CKivImageApp(bool qtServices = true);
  ~CKivImageApp() override;

  // Runs the start-up steps with the arguments after the program name. Returns 0 when
  // the process is to end now (a running copy took the file, or start-up failed).
  int InitInstance(const QStringList& args);

  // The path of the socket a copy of this user listens on: in the user's private
  // folder, under the name VANTOREL_SOCKET gives (a full path there is taken as it
  // stands) or "vantorel.socket". problem receives why the folder was refused
  // (instance_socket codes); the path is then not to be used.
  static QString ServerName(int* problem = nullptr);

  enum class HandOverResult {
    kTaken,      // the running copy took the file
    kNoCopy,     // nobody listens: this copy starts on its own
    kUntrusted,  // the listener does not run as the trusted user; it was told nothing
    kNoAnswer,   // a copy listens but did not answer in time
  };
  // Hands path (may be empty: only come to the front) to the copy listening on
  // ServerName(), provided the kernel says it runs as trustedUid.
  static HandOverResult HandOver(const QString& path, int timeoutMs = 3000,
                                 uid_t trustedUid = getuid());
  // An argument as it is to be opened: a leading '-' or '/' switch mark is removed
  // when no file of the full name exists; an existing file is named as it is stored
  // (its letter case in its folder).
  static QString ResolveArgument(const QString& arg);

  CMainFrame* MainFrame() const { return m_pFrame.get(); }
  bool IsMaximized() const { return m_bMaximized; }
  bool IsDlgBkGnd() const { return m_bDlgBkGnd; }
  int FitsBottomUp() const { return m_bFitsBottomUp ? 1 : 0; }
  void SetFitsBottomUp(int on) { m_bFitsBottomUp = on != 0; }
  // Associations are written to the user's own XDG folders, so every user may set them.
  bool IsAdministrator() const { return true; }

  // The user whose programs are trusted at either end of the socket (this process's user
  // unless changed before InitInstance).
  void SetTrustedUid(uid_t uid) { m_TrustedUid = uid; }
  // Why this copy has no socket of its own (instance_socket codes; 0 when it listens or
  // several copies are allowed), and the socket's path.
  int SocketProblem() const { return m_SocketProblem; }
  QString SocketPath() const { return m_SocketPath; }
  bool IsListening() const;

 private:
  void OnNewConnection();
  // Listens on m_SocketPath; returns the problem when it cannot.
  int Listen();
  // Tells the user once that there is no socket (once per socket path and reason).
  void ReportSocketProblem();

  std::unique_ptr<QtMessageBox> m_pMessageBox;
  std::unique_ptr<QtUserPrompts> m_pPrompts;
  std::unique_ptr<CMainFrame> m_pFrame;
  QLocalServer* m_pServer = nullptr;
  bool m_bQtServices = true;
  uid_t m_TrustedUid = getuid();
  QString m_SocketPath;
  int m_SocketProblem = 0;
  bool m_bAllowMultiple = false;
  bool m_bMaximized = false;
  bool m_bDlgBkGnd = false;
  bool m_bFitsBottomUp = true;
};
