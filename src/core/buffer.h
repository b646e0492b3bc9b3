// Growable byte buffer with a consumable front. No Python here.
//
// Invariant: data_ <= data_ + start_ <= data_ + end_ <= data_ + cap_.
// Readable bytes are [start_, end_); appends go at end_.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

namespace wl {

class ByteBuf {
public:
    ByteBuf() = default;
    ~ByteBuf() { std::free(data_); }
    ByteBuf(const ByteBuf&) = delete;
    ByteBuf& operator=(const ByteBuf&) = delete;
    ByteBuf(ByteBuf&& o) noexcept { swap(o); }
    ByteBuf& operator=(ByteBuf&& o) noexcept {
        if (this != &o) {
            clear_and_free();
            swap(o);
        }
        return *this;
    }

    const uint8_t* data() const { return data_ + start_; }
    uint8_t* data() { return data_ + start_; }
    size_t size() const { return end_ - start_; }
    bool empty() const { return end_ == start_; }
    size_t capacity() const { return cap_; }
    std::string_view view() const {
        return {reinterpret_cast<const char*>(data_ + start_), end_ - start_};
    }

    // Ensure room for n more bytes at the end; may compact or reallocate.
    void reserve_extra(size_t n) {
        if (cap_ - end_ >= n) return;
        size_t live = end_ - start_;
        if (start_ > 0 && cap_ - live >= n && start_ >= live) {
            // Sliding down is cheaper than growing when the front is mostly consumed.
            std::memmove(data_, data_ + start_, live);
            start_ = 0;
            end_ = live;
            return;
        }
        size_t need = live + n;
        size_t ncap = cap_ ? cap_ : 64;
        while (ncap < need) {
            if (ncap > (SIZE_MAX >> 1)) {
                ncap = need;
                break;
            }
            ncap <<= 1;
        }
        uint8_t* nd = static_cast<uint8_t*>(std::malloc(ncap));
        if (!nd) throw std::bad_alloc();
        if (live) std::memcpy(nd, data_ + start_, live);
        std::free(data_);
        data_ = nd;
        cap_ = ncap;
        start_ = 0;
        end_ = live;
    }

    void append(const void* p, size_t n) {
        if (n == 0) return;
        reserve_extra(n);
        std::memcpy(data_ + end_, p, n);
        end_ += n;
    }
    void append(std::string_view s) { append(s.data(), s.size()); }
    // Puts n bytes in front of the readable ones. All or nothing: a failed
    // allocation throws std::bad_alloc with the buffer unchanged.
    void prepend(const void* p, size_t n) {
        if (n == 0) return;
        if (start_ >= n) {
            start_ -= n;
            std::memcpy(data_ + start_, p, n);
            return;
        }
        size_t live = end_ - start_;
        if (n > SIZE_MAX - live) throw std::bad_alloc();
        size_t ncap = cap_ ? cap_ : 64;
        while (ncap < live + n) ncap = ncap > (SIZE_MAX >> 1) ? live + n : ncap << 1;
        uint8_t* nd = static_cast<uint8_t*>(std::malloc(ncap));
        if (!nd) throw std::bad_alloc();
        std::memcpy(nd, p, n);
        if (live) std::memcpy(nd + n, data_ + start_, live);
        std::free(data_);
        data_ = nd;
        cap_ = ncap;
        start_ = 0;
        end_ = n + live;
    }
    void push(uint8_t b) {
        reserve_extra(1);
        data_[end_++] = b;
    }
    // Writable tail of at least n bytes; commit() what was written.
    uint8_t* tail(size_t n) {
        reserve_extra(n);
        return data_ + end_;
    }
    void commit(size_t n) { end_ += n; }

    void consume(size_t n) {
        start_ += n;
        if (start_ >= end_) start_ = end_ = 0;
    }
    void truncate(size_t n) {  // keep only the first n readable bytes
        if (n < size()) end_ = start_ + n;
    }
    void clear() { start_ = end_ = 0; }
    void clear_and_free() {
        std::free(data_);
        data_ = nullptr;
        start_ = end_ = cap_ = 0;
    }
    void swap(ByteBuf& o) noexcept {
        std::swap(data_, o.data_);
        std::swap(start_, o.start_);
        std::swap(end_, o.end_);
        std::swap(cap_, o.cap_);
    }

private:
    uint8_t* data_ = nullptr;
    size_t start_ = 0, end_ = 0, cap_ = 0;
};

}  // namespace wl
