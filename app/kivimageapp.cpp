#include "app/kivimageapp.h"

#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

#include "app/apptexts.h"
#include "app/instancesocket.h"
#include "app/mainframe.h"
#include "app/qtservices.h"
#include "fileio/qt/iodialogs.h"
#include "platform/messagebox.h"
#include "platform/userprompts.h"
#include "settings/registry.h"

namespace {

// The settings value that remembers the socket problem last told ("code:path").
constexpr const char* kReportedSection = "General";
constexpr const char* kReportedValue = "SocketProblemReported";

}  // namespace

CKivImageApp::CKivImageApp(bool qtServices) : m_bQtServices(qtServices) {}

CKivImageApp::~CKivImageApp() {
  m_pFrame.reset();
  if (m_pServer) m_pServer->close();
  if (m_bQtServices) {
    SetUserPrompts(nullptr);
    SetMessageBox(nullptr);
  }
}

QString CKivImageApp::ServerName(int* problem) {
  if (problem) *problem = instance_socket::kOk;
  QString name = QString::fromLocal8Bit(qgetenv("VANTOREL_SOCKET"));
  if (name.startsWith('/')) return name;
  if (name.isEmpty()) name = QStringLiteral("vantorel.socket");
  const instance_socket::Folder folder = instance_socket::UserFolder();
  if (problem) *problem = folder.problem;
  return QString::fromStdString(folder.path) + '/' + name;
}

CKivImageApp::HandOverResult CKivImageApp::HandOver(const QString& path, int timeoutMs,
                                                    uid_t trustedUid) {
  int problem = instance_socket::kOk;
  const QString name = ServerName(&problem);
  if (problem != instance_socket::kOk) return HandOverResult::kNoCopy;
  QLocalSocket socket;
  socket.connectToServer(name);
  if (!socket.waitForConnected(timeoutMs)) return HandOverResult::kNoCopy;
  // Whoever listens learns nothing, not even the file's name, unless the kernel vouches
  // that it runs as the trusted user; its answer is then never read either.
  if (!instance_socket::IsPeerOf(socket.socketDescriptor(), trustedUid)) {
    socket.abort();
    return HandOverResult::kUntrusted;
  }
  // The running copy also finds the file under "Load" of section "Exchange".
  if (!path.isEmpty()) CRegistry::Write("Exchange", "Load", path.toStdString());
  socket.write(path.toUtf8() + '\n');
  if (!socket.waitForBytesWritten(timeoutMs)) return HandOverResult::kNoAnswer;
  // The running copy answers with a line once it has taken the request (the line may
  // already have come in while the request was written).
  while (!socket.canReadLine())
    if (!socket.waitForReadyRead(timeoutMs)) return HandOverResult::kNoAnswer;
  return socket.readLine().startsWith("ok") ? HandOverResult::kTaken : HandOverResult::kNoAnswer;
}

bool CKivImageApp::IsListening() const {
  return m_pServer && m_pServer->isListening();
}

int CKivImageApp::Listen() {
  // Qt is given only a free name: a failed bind can make it remove the file of that
  // name. Only a socket left by a copy that ended is removed here; anything else stays.
  const int problem = instance_socket::ClearStaleSocket(
      QFile::encodeName(m_SocketPath).toStdString(), m_TrustedUid);
  if (problem != instance_socket::kOk) return problem;
  // No access options: with them Qt binds elsewhere and renames over the name. The
  // folder already keeps other users out.
  auto server = std::make_unique<QLocalServer>(this);
  if (!server->listen(m_SocketPath)) return instance_socket::kListenFailed;
  m_pServer = server.release();
  connect(m_pServer, &QLocalServer::newConnection, this, &CKivImageApp::OnNewConnection);
  return instance_socket::kOk;
}

void CKivImageApp::ReportSocketProblem() {
  std::string told;
  const bool remembered = CRegistry::Read(kReportedSection, kReportedValue, "", told) != 0;
  if (m_SocketProblem == instance_socket::kOk) {
    // Told again should the socket go missing another time.
    if (remembered) CRegistry::DeleteValue(kReportedSection, kReportedValue);
    return;
  }
  // A lasting problem would otherwise be told at every start; a new path or reason is
  // told afresh.
  const std::string key = std::to_string(m_SocketProblem) + ':' + m_SocketPath.toStdString();
  if (remembered && told == key) return;
  QString text = QString::fromUtf8(app_text::kSocketFailed);
  text.replace(text.indexOf(QLatin1String("%s")), 2, m_SocketPath);
  text.replace(text.indexOf(QLatin1String("%s")), 2,
               QString::fromUtf8(instance_socket::ProblemText(m_SocketProblem)));
  AfxMessageBox(text.toStdString(), MB_OK | MB_ICONWARNING);
  CRegistry::Write(kReportedSection, kReportedValue, key);
}

QString CKivImageApp::ResolveArgument(const QString& arg) {
  QString name = arg;
  if (!QFileInfo::exists(name) && (name.startsWith('-') || name.startsWith('/')) &&
      QFileInfo::exists(name.mid(1)))
    name = name.mid(1);
  // "file.fits[SCI,2]": a unit of a FITS file, the file's path made absolute.
  if (const qsizetype open = name.lastIndexOf('['); !QFileInfo::exists(name) &&
                                                    name.endsWith(']') && open > 0 &&
                                                    QFileInfo(name.left(open)).isFile())
    return QFileInfo(name.left(open)).absoluteFilePath() + name.mid(open);
  const QFileInfo info(name);
  if (!info.exists()) {
    // A name in another letter case than the stored one still finds its file.
    const QDir dir = info.absoluteDir();
    for (const QString& entry : dir.entryList(QDir::Files))
      if (entry.compare(info.fileName(), Qt::CaseInsensitive) == 0) return dir.filePath(entry);
    return name;
  }
  return info.absoluteFilePath();
}

int CKivImageApp::InitInstance(const QStringList& args) {
  QStringList files;
  for (const QString& a : args)
    if (a != QLatin1String("--default-settings")) files << a;

  // 1. One running copy, unless several are allowed.
  int allow = 0;
  CRegistry::Read("General", "AllowMultipleInstance", 0, allow, CRegistry::TYPE_BOOL);
  m_bAllowMultiple = allow != 0;
  if (!m_bAllowMultiple) {
    const QString path = files.size() == 1 ? ResolveArgument(files.front()) : QString();
    const qsizetype unit = path.endsWith(']') ? path.lastIndexOf('[') : -1;
    const bool openable = !path.isEmpty() && QFileInfo(unit > 0 ? path.left(unit) : path).isFile();
    int problem = instance_socket::kOk;
    m_SocketPath = ServerName(&problem);
    if (problem == instance_socket::kOk) {
      switch (HandOver(openable ? path : QString(), 2000, m_TrustedUid)) {
        case HandOverResult::kTaken:
          return 0;
        case HandOverResult::kUntrusted:
          problem = instance_socket::kOtherUser;
          break;
        case HandOverResult::kNoAnswer:
        case HandOverResult::kNoCopy:
          break;
      }
    }
    // Without a socket this copy still works; only later starts open windows of their own.
    if (problem == instance_socket::kOk) problem = Listen();
    m_SocketProblem = problem;
  }

  SetApplicationTitle(app_text::kTitle);
  // 6. The main frame; questions of the core are answered with its dialogs.
  m_pFrame = std::make_unique<CMainFrame>(this);
  if (m_bQtServices) {
    m_pMessageBox = std::make_unique<QtMessageBox>(m_pFrame.get());
    SetMessageBox(m_pMessageBox.get());
    m_pPrompts = std::make_unique<QtUserPrompts>(m_pFrame.get());
    SetUserPrompts(m_pPrompts.get());
  }

  // 7. Settings read at start.
  int v = 0;
  CRegistry::Read("Dialog\\Enviroment", "DlgBkGnd", 0, v, CRegistry::TYPE_BOOL);
  m_bDlgBkGnd = v != 0;
  CRegistry::Read("IO", "FitsBottomUp", 1, v, CRegistry::TYPE_BOOL);
  m_bFitsBottomUp = v != 0;
  CRegistry::Read("Dialog\\Enviroment", "Maximized", 0, v, CRegistry::TYPE_BOOL);
  m_bMaximized = v != 0;

  // 9. Placement first, so the images open into a frame of its final size.
  m_pFrame->RestorePlacement(m_bMaximized);
  if (!m_bAllowMultiple) ReportSocketProblem();

  // 8. The files of the command line.
  for (const QString& a : files) {
    if (a.startsWith(QLatin1String("--"))) continue;
    m_pFrame->OpenDocumentFile(ResolveArgument(a));
  }
  return 1;
}

void CKivImageApp::OnNewConnection() {
  while (QLocalSocket* socket = m_pServer->nextPendingConnection()) {
    // Only programs of the trusted user may hand over files or raise the frame.
    if (!instance_socket::IsPeerOf(socket->socketDescriptor(), m_TrustedUid)) {
      socket->abort();
      socket->deleteLater();
      continue;
    }
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
      if (!socket->canReadLine()) return;
      const QString path = QString::fromUtf8(socket->readLine()).trimmed();
      socket->write("ok\n");
      socket->flush();
      // Opened from the event loop, once this handler (owned by the socket) has returned.
      QTimer::singleShot(0, this, [this, path] {
        if (!m_pFrame) return;
        m_pFrame->BringToFront();
        if (path.isEmpty()) return;
        std::string load;
        CRegistry::Read("Exchange", "Load", "", load);
        m_pFrame->OpenDocumentFile(load.empty() ? path : QString::fromStdString(load));
      });
    });
  }
}
