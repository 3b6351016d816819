#include "SMTPClient.h"

SMTPClient::SMTPClient(QObject* parent) : QObject(parent) {}
SMTPClient::~SMTPClient() = default;

void SMTPClient::Send() {}
