#include "SocketControl.h"

#include <QTcpServer>
#include <QTcpSocket>

class SocketControl::Server : public QTcpServer {};

SocketControl::SocketControl(QObject* parent) : QObject(parent) {}
SocketControl::~SocketControl() = default;
qint16 SocketControl::State() const { return sckClosed; }
void SocketControl::Listen() {}
void SocketControl::Accept(qintptr) {}
void SocketControl::Connect() {}
void SocketControl::SendData(const QString&) {}
void SocketControl::GetData(QString& data) { data.clear(); }
void SocketControl::Close() {}
quint16 SocketControl::boundPort() const { return 0; }
void SocketControl::adopt(QTcpSocket*) {}
