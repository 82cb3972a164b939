#include "TableRules.h"

#include "MeasurementTable.h"

#include <utility>

namespace weighing {

bool TableRules::Begin(TableJob job) {
    if (Busy() || job == TableJob::None) return false;
    job_ = job;
    return true;
}

TableRules::Held TableRules::TakeNext() {
    if (Busy()) return kNothing;
    for (Held command : {kAutomaticSave, kDisconnect, kClose}) {
        if (held_ & command) {
            held_ &= ~static_cast<unsigned>(command);
            return command;
        }
    }
    return kNothing;
}

bool TableRules::RowAdded(std::size_t row) {
    if (row < lastRow_) return false;
    full_ = true;
    Hold(kAutomaticSave);
    return true;
}

void HeldWork::Run(const Steps& steps) {
    if (running_ || depth_ > 0) return;
    running_ = true;
    while (!steps.closing() && depth_ == 0) {
        if (afterJob_) {
            afterJob_ = false;
            rules_.End();
            steps.tableGivenBack();
            const std::u16string message = std::exchange(message_, {});
            if (!message.empty()) steps.message(mode_, message);
            continue;
        }
        if (rules_.Busy()) break;
        const TableRules::Held next = rules_.TakeNext();
        if (next == TableRules::kNothing) break;
        if (next == TableRules::kAutomaticSave) {
            steps.automaticSave();
        } else if (next == TableRules::kDisconnect) {
            steps.disconnect();
        } else {
            running_ = false;
            steps.close();
            return;
        }
    }
    running_ = false;
}

}  // namespace weighing
