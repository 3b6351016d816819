#include "core/View.h"
#include "platform/StandardError.h"

// Standard error may be a pipe nobody reads: these messages are dropped rather than waited on.
void HeadlessView::showMessage(const QString& text) {
    writeStandardError(text);
}

void HeadlessView::openFile(const QString& path) {
    writeStandardError(QStringLiteral("log file ") + path);
}
