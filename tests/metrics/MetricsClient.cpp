#include "MetricsClient.h"

#include "TestSupport.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QUrl>

namespace metricsclient {

Scrape get(quint16 port) {
    QNetworkAccessManager manager;
    QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1/metrics").arg(port)));
    request.setTransferTimeout(10000);
    QNetworkReply* reply = manager.get(request);
    testsupport::waitUntil([reply] { return reply->isFinished(); }, std::chrono::seconds(15));
    Scrape scrape;
    scrape.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    scrape.contentType = reply->rawHeader("Content-Type");
    scrape.body = reply->readAll();
    delete reply;
    return scrape;
}

QByteArray exchange(quint16 port, const QByteArray& request) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    socket.write(request);
    QByteArray answer;
    testsupport::waitUntil(
        [&] {
            answer += socket.readAll();
            return socket.state() == QAbstractSocket::UnconnectedState;
        },
        std::chrono::seconds(15));
    return answer + socket.readAll();
}

QMap<QByteArray, QByteArray> samples(const QByteArray& exposition) {
    QMap<QByteArray, QByteArray> result;
    for (const QByteArray& line : exposition.split('\n')) {
        const qsizetype blank = line.lastIndexOf(' ');
        if (!line.startsWith('#') && blank > 0)
            result.insert(line.left(blank), line.mid(blank + 1));
    }
    return result;
}

QByteArray promtoolComplaint(const QByteArray& exposition) {
    const QString promtool = QStandardPaths::findExecutable(QStringLiteral("promtool"));
    if (promtool.isEmpty())
        return "promtool not installed";
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(promtool, {QStringLiteral("check"), QStringLiteral("metrics")});
    process.write(exposition);
    process.closeWriteChannel();
    if (!process.waitForFinished(30000))
        return "promtool did not finish";
    // Lint remarks (units, naming) also make it fail; either way its text says why.
    return process.exitCode() == 0 ? QByteArray() : process.readAll();
}

} // namespace metricsclient
