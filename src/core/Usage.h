#pragma once

#include <QStringList>
#include <optional>

// The options that only inform (--help or -h, --version): when one is among the arguments, the
// text to print on standard output instead of starting a monitor. Looked at before anything else,
// so such a run starts no task and writes no log.
std::optional<QString> informationRequested(const QStringList& arguments);
