#pragma once

#include <QStringList>

// The tokens of a command line, as both the monitor's own arguments and a task's command are
// read: blanks separate, double quotes group and are dropped, tokens are trimmed and never empty.
// An open quote drops the token it opens and the rest of the text.
QStringList splitCommandTokens(const QString& text);
