#pragma once

#include <QStringList>

// How a single quote reads: as any other character (the monitor's own arguments, INI fields), or
// as a POSIX shell reads it (a task's command): single quotes group, are dropped and keep
// everything between them literally, blanks and double quotes included; one that is never closed
// is an error (RuntimeError), so a command is not guessed at.
enum class SingleQuotes { Ordinary, Literal };

// The tokens of a command line, as both the monitor's own arguments and a task's command are
// read: blanks separate, double quotes group and are dropped, tokens are trimmed and never empty
// (single-quoted text is kept as written, so '' is an empty argument). An open double quote drops
// the token it opens and the rest of the text.
QStringList splitCommandTokens(const QString& text,
                               SingleQuotes singleQuotes = SingleQuotes::Ordinary);

// The fields of an INI value by the same quoting: commas separate, double quotes group (commas
// included) and are dropped, and fields stay as written, blank or empty; a comma at the end only
// ends the last field. An open double quote drops the field it opens and the rest of the text.
QStringList splitQuotedFields(const QString& text);
