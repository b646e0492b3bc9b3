// One HTTP/2 flow-control window pair (RFC 9113 section 6.9): the window as
// the peer knows it and the capacity known locally. Every change is checked
// signed 32-bit arithmetic; a failed step leaves its value unchanged.
// No Python here.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace wl::h2 {

inline constexpr int32_t kMaxWindow = 0x7fffffff;  // RFC 9113 6.9.1

enum class FlowError : uint8_t {
    None,
    SizeTooLarge,   // a size argument above kMaxWindow; nothing changed
    Overflow,       // a result left the signed 32-bit range (FLOW_CONTROL_ERROR)
    ExceedsWindow,  // send_data beyond the non-negative window; nothing changed
};

class FlowControl {
public:
    FlowControl() = default;
    FlowControl(int32_t window, int32_t available) : window_(window), available_(available) {}

    // The raw values; window_raw() may be negative.
    int32_t window_raw() const { return window_; }
    int32_t available() const { return available_; }

    // The window, or 0 while it is negative.
    int32_t window_size() const { return window_ < 0 ? 0 : window_; }

    bool has_unavailable() const { return window_ >= 0 && window_ > available_; }

    // The WINDOW_UPDATE increment to send now: once the capacity released
    // beyond the advertised window reaches half of that window. Computed
    // wide, so an extreme pair cannot wrap.
    std::optional<int64_t> unclaimed_capacity() const {
        if (window_ >= available_) return std::nullopt;
        int64_t unclaimed = int64_t(available_) - int64_t(window_);
        int64_t threshold = window_ / 2;  // truncates toward zero
        if (unclaimed < threshold) return std::nullopt;
        return unclaimed;
    }

    [[nodiscard]] FlowError claim_capacity(uint32_t capacity) { return sub(available_, capacity); }
    [[nodiscard]] FlowError assign_capacity(uint32_t capacity) { return add(available_, capacity); }

    // A WINDOW_UPDATE was received, or one is being sent.
    [[nodiscard]] FlowError inc_window(uint32_t sz) { return add(window_, sz); }

    // The peer lowered its initial window size.
    [[nodiscard]] FlowError dec_send_window(uint32_t sz) { return sub(window_, sz); }

    // Our lowered initial window size was acknowledged. The first step is
    // kept when the second fails.
    [[nodiscard]] FlowError dec_recv_window(uint32_t sz) {
        if (FlowError e = sub(window_, sz); e != FlowError::None) return e;
        return sub(available_, sz);
    }

    // sz bytes were framed; the caller has checked the window. The first
    // step is kept when the second fails.
    [[nodiscard]] FlowError send_data(uint32_t sz) {
        if (sz > uint32_t(kMaxWindow)) return FlowError::SizeTooLarge;
        if (sz == 0) return FlowError::None;
        if (int64_t(sz) > int64_t(window_size())) return FlowError::ExceedsWindow;
        window_ -= int32_t(sz);
        return sub(available_, sz);
    }

    // "FlowControl { window_size: Window(n), available: Window(m) }"
    std::string debug() const {
        return "FlowControl { window_size: Window(" + std::to_string(window_) +
               "), available: Window(" + std::to_string(available_) + ") }";
    }

private:
    static FlowError add(int32_t& v, uint32_t sz) {
        if (sz > uint32_t(kMaxWindow)) return FlowError::SizeTooLarge;
        int32_t r;
        if (__builtin_add_overflow(v, int32_t(sz), &r)) return FlowError::Overflow;
        v = r;
        return FlowError::None;
    }
    static FlowError sub(int32_t& v, uint32_t sz) {
        if (sz > uint32_t(kMaxWindow)) return FlowError::SizeTooLarge;
        int32_t r;
        if (__builtin_sub_overflow(v, int32_t(sz), &r)) return FlowError::Overflow;
        v = r;
        return FlowError::None;
    }

    int32_t window_ = 0;
    int32_t available_ = 0;
};

}  // namespace wl::h2
