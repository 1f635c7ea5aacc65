#pragma once

#include <QByteArray>
#include <QDir>
#include <QMap>
#include <QProcess>
#include <QStringList>
#include <QTcpServer>
#include <QTemporaryDir>

#include <functional>

// Small file and folder helpers shared by the test programs.
namespace TestFiles {

// The file's bytes, or missing when it cannot be read.
QByteArray read(const QString &path, const QByteArray &missing = QByteArrayLiteral("<missing>"));
// Writes the bytes, creating missing parent folders; false when anything fails.
bool write(const QString &path, const QByteArray &bytes);
// Relative paths of the entries below root (hidden ones included), sorted.
QStringList entriesBelow(const QString &root, QDir::Filters filters = QDir::AllEntries);

// A folder's content by relative path: file bytes, "<dir>" for folders, "-> target" for links.
using Tree = QMap<QString, QByteArray>;
Tree snapshot(const QString &root);
bool writeTree(const QString &root, const Tree &tree);

// Ends a helper program that watches its standard input: closes it, then terminates and finally
// kills the program if it does not end within waitMs each time.
void endWatchingProcess(QProcess &process, int waitMs);
} // namespace TestFiles

// A temporary folder for one test function, optionally the working folder while it lives.
class ScratchFolder : public QTemporaryDir {
public:
    explicit ScratchFolder(bool enter = false);
    ~ScratchFolder();
    bool isReady() const { return m_bReady; }

private:
    QString m_szPrevious;
    bool m_bReady = false;
};

// Caps the size of every file this process writes, so that writes fail half-way as on a full
// disk (root included); the previous limit comes back when it goes. Windows has no such cap:
// there the limit is never active.
class FileSizeLimit {
public:
    explicit FileSizeLimit(qint64 bytes);
    ~FileSizeLimit();
    bool isActive() const { return m_bActive; }

private:
    quint64 m_previousSoft = 0;
    quint64 m_previousHard = 0;
    void (*m_pPreviousHandler)(int) = nullptr;
    bool m_bActive = false;
};

// Answers each connection once, right after the request head, with what answer() makes of
// that head, then closes it: for framings and request lines the stand-in server cannot show.
class RawHttpServer : public QTcpServer {
public:
    explicit RawHttpServer(std::function<QByteArray(const QByteArray &head)> answer);
    QString base() const; // "http://127.0.0.1:PORT/"
    QStringList requestLines;

protected:
    void incomingConnection(qintptr handle) override;

private:
    std::function<QByteArray(const QByteArray &)> m_answer;
};
