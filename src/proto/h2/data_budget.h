// Connection-wide budget against peers that split data into very many small
// or empty DATA frames. Flow control bounds bytes, not frames: small
// non-final frames spend budget equal to the overhead they impose, large
// ones earn it back, and empty non-final frames have a lifetime cap.
// No Python here.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace wl::h2 {

inline constexpr size_t kDataFrameOverheadThreshold = 256;
inline constexpr size_t kDefaultDataFrameBudget = 25600;
inline constexpr size_t kMaxRecvEmptyDataFrames = 100;
inline constexpr uint32_t kDefaultConnectionWindow = 65535;

class DataFrameBudget {
public:
    // The budget for a connection receive window: half of it, at least the
    // default budget.
    static size_t budget_for_window(uint32_t connection_window) {
        size_t half = connection_window / 2;
        return half > kDefaultDataFrameBudget ? half : kDefaultDataFrameBudget;
    }

    DataFrameBudget() : DataFrameBudget(budget_for_window(kDefaultConnectionWindow)) {}
    explicit DataFrameBudget(size_t configured) : configured_(configured), available_(configured) {}

    size_t configured() const { return configured_; }
    size_t available() const { return available_; }
    size_t empty_frames() const { return empty_frames_; }

    // A non-final DATA frame of payload_len bytes arrived. On success stores
    // the charge to give back later in *charge and returns true; false means
    // too many small or empty frames (ENHANCE_YOUR_CALM).
    [[nodiscard]] bool record(uint64_t payload_len, size_t* charge) {
        *charge = 0;
        if (payload_len == 0) {
            size_t before = empty_frames_;
            if (empty_frames_ != SIZE_MAX) ++empty_frames_;
            return before < kMaxRecvEmptyDataFrames;
        }
        if (payload_len >= kDataFrameOverheadThreshold) {
            credit(payload_len - kDataFrameOverheadThreshold);
            return true;
        }
        size_t cost = kDataFrameOverheadThreshold - size_t(payload_len);
        if (available_ < cost) return false;
        available_ -= cost;
        *charge = cost;
        return true;
    }

    // A charge returned by record() is given back.
    void release(uint64_t charge) { credit(charge); }

    // "DataFrameBudget { configured: 25600, available: 25600, empty_frames: 0 }"
    std::string debug() const {
        return "DataFrameBudget { configured: " + std::to_string(configured_) +
               ", available: " + std::to_string(available_) +
               ", empty_frames: " + std::to_string(empty_frames_) + " }";
    }

private:
    // available = min(configured, available + n), without wrapping.
    void credit(uint64_t n) {
        size_t room = configured_ - available_;
        available_ = n >= room ? configured_ : available_ + size_t(n);
    }

    size_t configured_;
    size_t available_;
    size_t empty_frames_ = 0;
};

}  // namespace wl::h2
