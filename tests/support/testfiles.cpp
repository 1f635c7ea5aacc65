#include "testfiles.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTcpSocket>

#include <memory>

namespace TestFiles {

QByteArray read(const QString &path, const QByteArray &missing) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : missing;
}

bool write(const QString &path, const QByteArray &bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QStringList entriesBelow(const QString &root, QDir::Filters filters) {
    QStringList found;
    QDirIterator it(root, filters | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext())
        found << QDir(root).relativeFilePath(it.next());
    found.sort();
    return found;
}

Tree snapshot(const QString &root) {
    Tree tree;
    for (const QString &rel : entriesBelow(root, QDir::AllEntries | QDir::System)) {
        const QFileInfo info(root + QLatin1Char('/') + rel);
        if (info.isSymLink())
            tree[rel] = "-> " + info.symLinkTarget().toUtf8();
        else if (info.isDir())
            tree[rel] = "<dir>";
        else
            tree[rel] = read(info.filePath());
    }
    return tree;
}

bool writeTree(const QString &root, const Tree &tree) {
    bool ok = QDir().mkpath(root);
    for (auto it = tree.cbegin(); it != tree.cend(); ++it) {
        const QString path = root + QLatin1Char('/') + it.key();
        ok = (it.value() == "<dir>" ? QDir().mkpath(path) : write(path, it.value())) && ok;
    }
    return ok;
}

} // namespace TestFiles

ScratchFolder::ScratchFolder(bool enter) : m_szPrevious(QDir::currentPath()) {
    m_bReady = isValid() && (!enter || QDir::setCurrent(path()));
}

ScratchFolder::~ScratchFolder() {
    QDir::setCurrent(m_szPrevious);
}

RawHttpServer::RawHttpServer(std::function<QByteArray(const QByteArray &)> answer)
    : m_answer(std::move(answer)) {
    listen(QHostAddress::LocalHost);
}

QString RawHttpServer::base() const {
    return QStringLiteral("http://127.0.0.1:%1/").arg(serverPort());
}

void RawHttpServer::incomingConnection(qintptr handle) {
    auto *socket = new QTcpSocket(this);
    socket->setSocketDescriptor(handle);
    auto head = std::make_shared<QByteArray>();
    connect(socket, &QTcpSocket::readyRead, socket, [this, socket, head] {
        *head += socket->readAll();
        if (!head->contains("\r\n\r\n"))
            return;
        requestLines << QString::fromLatin1(head->left(head->indexOf("\r\n")));
        socket->write(m_answer(*head));
        socket->disconnectFromHost();
    });
}

void TestFiles::endWatchingProcess(QProcess &process, int waitMs) {
    if (process.state() == QProcess::NotRunning)
        return;
    process.closeWriteChannel();
    if (process.waitForFinished(waitMs))
        return;
    process.terminate();
    if (!process.waitForFinished(waitMs)) {
        process.kill();
        process.waitForFinished(3000);
    }
}
