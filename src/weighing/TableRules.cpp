#include "TableRules.h"

#include "MeasurementTable.h"

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
    if (row < static_cast<std::size_t>(kRowLimit)) return false;
    full_ = true;
    Hold(kAutomaticSave);
    return true;
}

}  // namespace weighing
