#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

// Talking to a monitor's control socket: one request line out, one reply line in.
struct Reply {
    enum class Outcome { Answered, NoMonitor, Refused, Failed };
    Outcome outcome = Outcome::Failed;
    QJsonObject object; // when answered
    QString error;      // otherwise
};

Reply ask(const QString& socketPath, const QJsonObject& request);

// The monitors that answer in the runtime directories this user may reach: the own one, then
// root's (/run/prowlix), where a CONTROL_GROUP member finds the system's monitor.
struct Found {
    QString socket;
    QJsonObject info; // the reply to {"cmd":"info"}
};
struct Search {
    QList<Found> answering;
    QStringList looked;  // the folders searched
    QStringList refused; // sockets this user may not use
};
Search findMonitors();
