// The declared content-length of one received HTTP/2 message and how much
// of it is still owed. A response to HEAD carries no body at all.
// No Python here.
#pragma once
#include <cstdint>
#include <string>

namespace wl::h2 {

class ContentLength {
public:
    enum class Kind : uint8_t { Omitted, Head, Remaining };

    ContentLength() = default;
    explicit ContentLength(bool is_head) : kind_(is_head ? Kind::Head : Kind::Omitted) {}

    Kind kind() const { return kind_; }
    uint64_t remaining() const { return kind_ == Kind::Remaining ? n_ : 0; }

    // A parsed content-length; a HEAD response stays bodiless.
    void set(uint64_t value) {
        if (kind_ == Kind::Head) return;
        kind_ = Kind::Remaining;
        n_ = value;
    }

    // Accounts len received body bytes; false (nothing changed) when they
    // run past the declaration.
    bool dec(uint64_t len) {
        switch (kind_) {
            case Kind::Omitted: return true;
            case Kind::Head: return len == 0;
            case Kind::Remaining:
                if (len > n_) return false;
                n_ -= len;
                return true;
        }
        return true;
    }

    bool is_head() const { return kind_ == Kind::Head; }
    bool is_satisfied() const { return kind_ != Kind::Remaining || n_ == 0; }

    // "Omitted", "Head", "Remaining(10)"
    std::string debug() const {
        switch (kind_) {
            case Kind::Omitted: return "Omitted";
            case Kind::Head: return "Head";
            case Kind::Remaining: break;
        }
        return "Remaining(" + std::to_string(n_) + ")";
    }

private:
    Kind kind_ = Kind::Omitted;
    uint64_t n_ = 0;
};

}  // namespace wl::h2
