#pragma once
// One row per parcel, for the scales that report their weight over and over (polled, or printing
// on their own): a weighing is taken when the scale says a weight of at least the minimum has
// settled and the pan was cleared since the last weighing taken. The pan is cleared by any
// report below the minimum — settled or moving, under zero included. A parcel left on the pan
// is one row; a new parcel put on without lifting the last one off is none.
#include <utility>

namespace scale {

class ParcelCapture {
public:
    explicit ParcelCapture(double minimumKg) : minimumKg_(minimumKg) {}

    // A weight the scale reported; true when it is a weighing to take.
    bool Weight(double kg, bool stable) {
        if (kg < minimumKg_) {
            cleared_ = true;
            return false;
        }
        if (!stable || !cleared_) return false;
        cleared_ = false;
        return true;
    }
    // The scale is over its capacity; true when that is a row of its own (once per loading).
    bool Overload() { return std::exchange(cleared_, false); }
    // The scale reports under zero (or at zero) without a weight.
    void Cleared() { cleared_ = true; }
    // A new connection: whatever is on the pan is a parcel of its own.
    void Restart() { cleared_ = true; }

private:
    double minimumKg_;
    bool cleared_ = true;
};

}  // namespace scale
