#include "ProcessControl.h"

std::unique_ptr<ProcessControl> createProcessControl(QObject*) { return nullptr; }
