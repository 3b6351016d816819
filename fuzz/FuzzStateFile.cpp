// The state file and its journal on arbitrary bytes: neither crashes the reader, and what either
// yields is only entries a successor can prove (a positive id, a command, a process number for a
// running task and none for a launch under way).
#include "FuzzCheck.h"
#include "tasks/StateFile.h"

#include <cstdint>

namespace {

void checkEntries(const StateRecord& record) {
    for (const StateEntry& entry : record.tasks)
        check(entry.id > 0 && entry.pid > 0 && !entry.command.isEmpty());
    for (const StateEntry& entry : record.launching)
        check(entry.id > 0 && !entry.command.isEmpty());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QString problem;
    if (const auto record = StateFile::decode(bytes, &problem))
        checkEntries(*record);
    else
        check(!problem.isEmpty());
    // The same bytes as the journal of a snapshot, after its own first line.
    StateRecord record{"boot", 1,  0, {{1, "A", "sleep 1", 11, 7}, {2, "B", "sleep 2", 12, 7}},
                       {},     "t"};
    problem.clear();
    const bool readable =
        StateFile::replay(record, StateFile::journalHeader("t") + bytes, &problem);
    check(readable == problem.isEmpty());
    checkEntries(record);
    return 0;
}
