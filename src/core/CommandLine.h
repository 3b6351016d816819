#pragma once

#include <QString>
#include <QStringList>

// Splits the program's argument text into tokens and answers option questions about it.
// Blanks separate tokens, double quotes group and are dropped; options are "/name" or
// "/name:value", matched without regard to letter case.
class clsCommandLine final {
  public:
    QString CommandValue(const QString& key, const QString& CommandLine);
    bool CommandFlag(const QString& key, const QString& CommandLine);

    // Tokens of the text last asked about (after any query, or after split()).
    const QStringList& Commands() const { return Commands_; }
    const QStringList& split(const QString& CommandLine);

    // A token is an option only when no further "/" stands between its leading "/" and the
    // first ":" (or its end): "/usr/bin/xclock" names a program, "/I:/etc/p.ini" an option.
    static bool isOption(const QString& token);

    // The tokens of a text; an open quote drops the token it opens and the rest of the text.
    static QStringList SplitCommandLine(const QString& text);

    // The argument text of a process: the arguments joined by single blanks, an argument that
    // contains a blank wrapped in double quotes so that splitting gives it back whole. An
    // argument that holds a double quote is left out: in the text it could not be told apart
    // from the quoting, and would swallow or forge the arguments after it.
    static QString argumentText(const QStringList& arguments);
    // The arguments that argumentText leaves out, to be reported.
    static QStringList refusedArguments(const QStringList& arguments);

  private:
    QStringList Commands_;
    QString LastCommandLine;
    bool split_ = false;
};
