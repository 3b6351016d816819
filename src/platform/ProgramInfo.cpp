#include "platform/ProgramInfo.h"

#include <QCoreApplication>
#include <QFileInfo>

ProgramInfo ProgramInfo::current() {
    const QFileInfo exe(QCoreApplication::applicationFilePath());
    return {exe.absolutePath(), exe.completeBaseName()};
}
