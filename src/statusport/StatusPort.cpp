#include "StatusPort.h"

StatusPort::StatusPort(QObject* parent) : QObject(parent) {}
void StatusPort::setPort(double) {}
void StatusPort::listen() {}
void StatusPort::close() {}
bool StatusPort::isListening() const { return false; }
void StatusPort::Winsock1_ConnectionRequest(qintptr) {}
void StatusPort::Winsock2_SendComplete() {}
