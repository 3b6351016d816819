#include "View.h"

#include <cstdio>

void HeadlessView::showMessage(const QString& text) {
    std::fprintf(stderr, "Prowlix: %s\n", qPrintable(text));
    std::fflush(stderr);
}

void HeadlessView::openFile(const QString& path) {
    std::fprintf(stderr, "Prowlix: log file %s\n", qPrintable(path));
    std::fflush(stderr);
}
