// CKivImageApp: starts the program: the single running copy (a second copy hands its
// file to the first over a local socket of the user and ends), the settings read at
// start, the main frame, the files of the command line and the frame's placement.
#pragma once

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
  CKivImageApp();
  ~CKivImageApp() override;

  // Runs the start-up steps with the arguments after the program name. Returns 0 when
  // the process is to end now (a running copy took the file, or start-up failed).
  int InitInstance(const QStringList& args);

  // The socket a copy of this user listens on: VANTOREL_SOCKET when set, else one name
  // per user.
  static QString ServerName();
  // Hands path to the running copy; true when it took it.
  static bool HandOver(const QString& path, int timeoutMs = 3000);
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

 private:
  void OnNewConnection();

  std::unique_ptr<QtMessageBox> m_pMessageBox;
  std::unique_ptr<QtUserPrompts> m_pPrompts;
  std::unique_ptr<CMainFrame> m_pFrame;
  QLocalServer* m_pServer = nullptr;
  bool m_bAllowMultiple = false;
  bool m_bMaximized = false;
  bool m_bDlgBkGnd = false;
  bool m_bFitsBottomUp = true;
};
