#pragma once

#include "platform/HostSource.h"

#include <QString>
#include <QStringList>
#include <optional>

// The host's name, DNS domain and name servers, loaded once per run. The alert's sender address
// is built from the domain; the mail sender greets with the host's full name when it has one.
class IPInfo final {
  public:
    // Used when no source names a domain at all.
    static constexpr const char* defaultDomain = "localdomain";

    explicit IPInfo(HostSource source = HostSource());

    // The process-wide instance that the mail sender and the failure alert share.
    static IPInfo& shared();

    bool HostInfoLoaded = false;
    QString HostName;
    QString DomainName;
    // Keyed by the server text itself, so a repeated server is kept once; absent until the
    // first entry is added.
    std::optional<QStringList> NameServers;

    void LoadHostInfo();
    static QString FilterHostText(const QString& text);
    void SplitNameList(const QString& text);
    // The host's name in its DNS domain, or empty when the system names no domain (the default
    // domain is no host's) or no host.
    QString fullyQualifiedName() const;

  private:
    void ReadHostName();
    void ReadDomainName();
    void ReadNameServers();

    HostSource source_;
    bool domainFromSystem_ = false;
};
