#pragma once

#include <QHash>
#include <QNetworkAccessManager>
#include <QObject>
#include <QString>

class QNetworkReply;
class QSaveFile;

// Fetches product pictures into one folder without blocking its caller. Each picture is
// bounded in time and size, lands under a temporary name and replaces the file in place only
// when it arrived completely and looks like a picture, so a failed fetch never costs the
// picture already there. Every id has one file name (fileNameFor), used for saving and
// showing alike.
class PictureFetcher : public QObject {
    Q_OBJECT
public:
    static constexpr int kDefaultTimeLimitMs = 8000;
    static constexpr qint64 kDefaultSizeLimit = 4 * 1024 * 1024;

    explicit PictureFetcher(const QString &folder, QObject *parent = nullptr);
    ~PictureFetcher() override;

    // A file name for a product id that is safe on every file system and never leaves the
    // folder: letters A-Z, digits and "-" stay, every other character becomes "_" and four
    // hex digits, and Windows device names (CON, COM1, ...) get their first letter encoded.
    // Distinct ids give distinct names, also where the file system ignores case. Empty for an
    // empty id.
    static QString fileNameFor(const QString &id);
    // Only http and https addresses are fetched.
    static bool isFetchableUrl(const QString &url);

    QString folder() const { return m_szFolder; }
    // folder + "/" + fileNameFor(id), or empty for an empty id.
    QString pathFor(const QString &id) const;

    void setLimits(int timeLimitMs, qint64 sizeLimit);

    // Starts fetching url as the picture of id; a running fetch for the same id is dropped.
    // Returns false, and reports nothing, for an empty id or an address that is not http(s),
    // and for an https address while the station's CA setting cannot be used (ServerTrust).
    // Over https the server is verified as for package downloads.
    bool fetch(const QString &id, const QString &url);
    // Drops every running fetch; none of them reports anything afterwards.
    void cancelAll();
    int pendingCount() const { return m_pending.size(); }

signals:
    // The picture of id is now complete at path.
    void sigPictureFetched(QString id, QString path);
    // The fetch of id failed; whatever file was there before is unchanged.
    void sigPictureFailed(QString id);

private:
    struct Fetch {
        QString id;
        QSaveFile *file = nullptr;
        qint64 received = 0;
        QByteArray head; // first bytes, to tell a picture from an error page
        bool tooLarge = false;
    };
    void onReadyRead(QNetworkReply *reply);
    void onFinished(QNetworkReply *reply);
    void drop(QNetworkReply *reply);

    QString m_szFolder;
    int m_iTimeLimitMs = kDefaultTimeLimitMs;
    qint64 m_iSizeLimit = kDefaultSizeLimit;
    QNetworkAccessManager m_netManager;
    QHash<QNetworkReply *, Fetch> m_pending;
};
