#include "app/kivimageapp.h"

#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

#include "app/apptexts.h"
#include "app/mainframe.h"
#include "app/qtservices.h"
#include "fileio/qt/iodialogs.h"
#include "platform/messagebox.h"
#include "platform/userprompts.h"
#include "settings/registry.h"

CKivImageApp::CKivImageApp() = default;

CKivImageApp::~CKivImageApp() {
  m_pFrame.reset();
  if (m_pServer) m_pServer->close();
  SetUserPrompts(nullptr);
  SetMessageBox(nullptr);
}

QString CKivImageApp::ServerName() {
  const QByteArray env = qgetenv("VANTOREL_SOCKET");
  if (!env.isEmpty()) return QString::fromLocal8Bit(env);
  return QStringLiteral("vantorel-%1").arg(static_cast<qulonglong>(getuid()));
}

bool CKivImageApp::HandOver(const QString& path, int timeoutMs) {
  QLocalSocket socket;
  socket.connectToServer(ServerName());
  if (!socket.waitForConnected(timeoutMs)) return false;
  // The running copy also finds the file under "Load" of section "Exchange".
  if (!path.isEmpty()) CRegistry::Write("Exchange", "Load", path.toStdString());
  socket.write(path.toUtf8() + '\n');
  if (!socket.waitForBytesWritten(timeoutMs)) return false;
  // The running copy answers once it has taken the request.
  if (!socket.waitForReadyRead(timeoutMs)) return false;
  return socket.readAll().startsWith("ok");
}

QString CKivImageApp::ResolveArgument(const QString& arg) {
  QString name = arg;
  if (!QFileInfo::exists(name) && (name.startsWith('-') || name.startsWith('/')) &&
      QFileInfo::exists(name.mid(1)))
    name = name.mid(1);
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
    const bool openable = !path.isEmpty() && QFileInfo(path).isFile();
    if (HandOver(openable ? path : QString(), 2000)) return 0;
    m_pServer = new QLocalServer(this);
    m_pServer->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_pServer->listen(ServerName())) {
      // A socket left behind by a copy that crashed.
      QLocalServer::removeServer(ServerName());
      (void)m_pServer->listen(ServerName());
    }
    connect(m_pServer, &QLocalServer::newConnection, this, &CKivImageApp::OnNewConnection);
  }

  SetApplicationTitle(app_text::kTitle);
  // 6. The main frame; questions of the core are answered with its dialogs.
  m_pFrame = std::make_unique<CMainFrame>(this);
  m_pMessageBox = std::make_unique<QtMessageBox>(m_pFrame.get());
  SetMessageBox(m_pMessageBox.get());
  m_pPrompts = std::make_unique<QtUserPrompts>(m_pFrame.get());
  SetUserPrompts(m_pPrompts.get());

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

  // 8. The files of the command line.
  for (const QString& a : files) {
    if (a.startsWith(QLatin1String("--"))) continue;
    m_pFrame->OpenDocumentFile(ResolveArgument(a));
  }
  return 1;
}

void CKivImageApp::OnNewConnection() {
  while (QLocalSocket* socket = m_pServer->nextPendingConnection()) {
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
